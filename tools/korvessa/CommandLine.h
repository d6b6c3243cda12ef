// korvessa's command line: the options of one transaction and the request record built from them, before
// the library is touched (so that a usage error changes nothing). Separate so that it can be read, and
// tested, without a library.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "Records.h"

namespace korvessa {

extern const char kUsage[];

struct Options {
  std::string lib, encoding, receipt;
  bool encodingSet = false, raw = false, noReceipt = false, facade = false, showCard = false;
  bool waitStdin = false, noUnload = false, quiet = false, progress = false;
  std::string record;
  bool haveRecord = false;
  std::vector<std::pair<std::string, std::string>> fields;  // request field name -> value
  std::vector<std::pair<std::string, std::string>> puts;
  std::vector<std::string> gets;
};

enum class Parsed { kRun, kHelp, kUsageError };

// Reads argv[1..argc-1] into *o. kUsageError: *err says why; kHelp: --help or -h came first.
Parsed ParseOptions(int argc, char** argv, Options* o, std::string* err);

// The request record (kRequestSize characters, space-padded, NUL after) from the options: the register's
// defaults, then --record, then the single fields. With the facade the fields join o->puts under the
// facade's names instead and the record is not used. False with *err on a usage error.
bool BuildRequest(Options* o, char (&request)[kRequestSize + 1], std::string* err);

}  // namespace korvessa
