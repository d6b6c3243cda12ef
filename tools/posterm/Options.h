// The simulated terminal's command line, parsed into its scenario: shared by the posterm program and the
// fault-matrix driver, whose rows are written as posterm options.
#pragma once

#include <string>
#include <vector>

#include "Terminal.h"

namespace posterm {

struct Options {
  Scenario scenario;
  std::string device;
  std::string logPath;
  std::string journalDir;  // --check-journal
  long baud = 9600;
  long count = 0;
  bool help = false;
};

extern const char kUsage[];

// Parses the options (without the program name). False with a message for an unknown option or a bad value.
bool ParseOptions(const std::vector<std::string>& args, Options* o, std::string* err);

// Splits a command line at blanks (no quoting: the matrix's rows need none).
std::vector<std::string> SplitWords(const std::string& line);

}  // namespace posterm
