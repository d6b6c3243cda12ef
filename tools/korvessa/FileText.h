// Reading a whole file into memory, shared by the register's run (the receipt before and after) and the
// doctor (Config.ini, the rejection-code table): one place, so both read the same bytes the same way.
#pragma once

#include <string>

namespace korvessa {

// The file's bytes, unchanged (binary: CR LF stays as the library wrote it); false when it cannot be opened.
bool ReadWholeFile(const std::string& path, std::string* out);

}  // namespace korvessa
