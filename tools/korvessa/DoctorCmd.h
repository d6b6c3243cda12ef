// "korvessa doctor": checks a till's setup one line at a time (Config.ini, the port, the terminal, the
// bank hosts, the folders, the journal, the library's version), for the reseller on the phone.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "KorvessaDLL.h"

namespace korvessa {

// One check's line: status "ok", "warn" or "fail".
struct DoctorLine {
  std::string status, check, text;
};

// What the doctor needs of the loaded library: its folder and two of its functions.
struct DoctorLibrary {
  std::string dir;  // the library's folder (Log and Journal live there)
  PFN_PutValue putValue = nullptr;
  PFN_GetValue getValue = nullptr;
};

// The keys of Config.ini the library does not read ("[SECTION] Key" or "[SECTION]"), each with the
// nearest known name when one is close (a typo). Names compare without case, as the library reads them.
std::vector<std::string> UnknownConfigKeys(const std::string& text);

// Offset of the first byte that is not GBK (a UTF-8 byte order mark counts as not GBK); -1 when
// the whole text reads as GBK.
long FirstNonGbk(const std::string& text);

// The command: args are what follows "doctor" (--lib already taken by the caller). Exit status 0 when
// no check fails, 1 otherwise, 3 for a usage error.
int DoctorCommand(const std::vector<std::string>& args, const DoctorLibrary& lib, FILE* out, FILE* err);

}  // namespace korvessa
