// "korvessa log": reads the library's GBK diagnostic logs and prints a UTF-8 timeline per transaction, as
// text or one JSON object per transaction. Reading is in LogParse, putting together in LogTimeline.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "LogParse.h"
#include "LogTimeline.h"

namespace korvessa {

// The reader's parts under the command's name, for the command's callers.
using kvtools::LevelNote;
using kvtools::LogEntry;
using kvtools::LogLevelOf;
using kvtools::ParseLog;

// The command; args follow "log". Exit status 0, 3 usage error or a file that cannot be read.
int LogCommand(const std::vector<std::string>& args, FILE* out, FILE* err);

}  // namespace korvessa
