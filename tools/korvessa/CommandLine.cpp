// korvessa's command line and the request built from it (see CommandLine.h).
#include "CommandLine.h"

#include <cstring>

namespace korvessa {

const char kUsage[] =
    "usage: korvessa [options]\n"
    "       korvessa journal [--day YYYYMMDD] [--dir FOLDER] [--uncertain]   (see korvessa journal --help)\n"
    "       korvessa doctor [--json] [--lib PATH]   (checks the till's setup: see korvessa doctor --help)\n"
    "       korvessa log [--json] [--config Config.ini] FILE...   (a timeline per transaction from the "
    "logs)\n"
    "  --lib PATH            the library (default: beside this program)\n"
    "Request record (BankTrans):\n"
    "  --type CC             transaction type (required)\n"
    "  --oper CC             operation type (default A0)     --card-type CC  card type (default 01)\n"
    "  --amount 123.45       amount in units (converted to 12 digits of minor units)\n"
    "  --amount-raw DIGITS   amount field as it stands (12 characters at most)\n"
    "  --register TEXT  --operator TEXT  --trace TEXT  --print Y|N (default Y)\n"
    "  --old-trace TEXT  --ref TEXT (reference number)  --auth TEXT  --date YYYYMMDD  --card DIGITS\n"
    "  --reserved TEXT       3 characters, returned in the response's last bytes\n"
    "  --record TEXT         the whole request record (padded with spaces to 106)\n"
    "Key-value facade (PutValue, TransProcess, GetValue):\n"
    "  --facade              use the facade; --type, --amount, --old-trace, --ref, --date map to its names\n"
    "  --put NAME=VALUE      PutValue (repeatable; implies --facade)\n"
    "  --get NAME            GetValue after the transaction (repeatable; default: all of them)\n"
    "Output:\n"
    "  --encoding NAME       convert the library's GBK texts to NAME (default: the locale's, else UTF-8)\n"
    "  --raw                 print the library's GBK texts unconverted\n"
    "  --receipt PATH        the receipt file to show (default: as the library's Config.ini names it)\n"
    "  --no-receipt          do not show the receipt\n"
    "  --show-card-number    show card numbers whole (masked by default: first six and last four)\n"
    "  --wait-stdin          after the transaction, print WAITING and keep the library loaded until a line\n"
    "                        or the end of standard input (a register between calls), then unload and exit\n"
    "  --no-unload           end the process with the library loaded (always so on Windows)\n"
    "  --quiet               no progress while the call runs (for scripts)\n"
    "Progress: while the call runs, its step and seconds (\"bank host ADDRESS:PORT\" while the terminal "
    "talks\n"
    "to its bank through the library): one line updated in place on a terminal, a line per step otherwise\n"
    "(standard error). Ctrl-C stops waiting for the terminal (the call ends -3); once the request went out\n"
    "the terminal may still have charged the card. SIGTERM ends the program at once, the library's exit\n"
    "steps included.\n"
    "Exit status: 0 approved, 1 refused by the terminal, 2 local failure, 3 usage or load error.\n";

namespace {

// Options that set one request field each, and the field's name.
const struct {
  const char* opt;
  const char* field;
} kFieldOpts[] = {
    {"--type", "transType"},       {"--oper", "operType"},
    {"--card-type", "cardType"},   {"--register", "cashRegisterNo"},
    {"--operator", "operatorNo"},  {"--trace", "cashTraceNumber"},
    {"--print", "printFlag"},      {"--old-trace", "oldTraceNumber"},
    {"--ref", "hostserialNumber"}, {"--auth", "oldAuthNumber"},
    {"--date", "transDate"},       {"--card", "cardNumber"},
    {"--reserved", "reserved"},    {"--amount-raw", "amount"},
};

// The facade's own names for the options that have one.
const char* const kFacadeNames[] = {"amount", "oldTraceNumber", "hostserialNumber", "transDate", "transType"};

Parsed Fail(std::string* err, const std::string& why) {
  *err = why;
  return Parsed::kUsageError;
}

}  // namespace

Parsed ParseOptions(int argc, char** argv, Options* o, std::string* err) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    const std::string v = hasValue ? argv[i + 1] : "";
    bool matched = false;
    for (const auto& fo : kFieldOpts) {
      if (a == fo.opt) {
        if (!hasValue) return Fail(err, a + " needs a value");
        o->fields.emplace_back(fo.field, v);
        ++i;
        matched = true;
      }
    }
    if (matched) continue;
    if (a == "--help" || a == "-h") {
      return Parsed::kHelp;
    } else if (a == "--facade") {
      o->facade = true;
    } else if (a == "--raw") {
      o->raw = true;
    } else if (a == "--no-receipt") {
      o->noReceipt = true;
    } else if (a == "--show-card-number") {
      o->showCard = true;
    } else if (a == "--wait-stdin") {
      o->waitStdin = true;
    } else if (a == "--no-unload") {
      o->noUnload = true;
    } else if (a == "--quiet") {
      o->quiet = true;
    } else if (a == "--progress") {
      o->progress = true;
    } else if (!hasValue && (a == "--lib" || a == "--amount" || a == "--record" || a == "--put" ||
                             a == "--get" || a == "--encoding" || a == "--receipt")) {
      return Fail(err, a + " needs a value");
    } else if (a == "--lib") {
      o->lib = v, ++i;
    } else if (a == "--encoding") {
      o->encoding = v, o->encodingSet = true, ++i;
    } else if (a == "--receipt") {
      o->receipt = v, ++i;
    } else if (a == "--record") {
      if (v.size() > kRequestSize) return Fail(err, "--record is longer than 106 characters");
      o->record = v, o->haveRecord = true, ++i;
    } else if (a == "--amount") {
      std::string minor;
      if (!AmountToMinor(v, &minor)) return Fail(err, "bad amount: " + v);
      o->fields.emplace_back("amount", minor);
      ++i;
    } else if (a == "--put") {
      const size_t eq = v.find('=');
      if (eq == std::string::npos) return Fail(err, "--put wants NAME=VALUE");
      o->puts.emplace_back(v.substr(0, eq), v.substr(eq + 1));
      o->facade = true;
      ++i;
    } else if (a == "--get") {
      o->gets.push_back(v), o->facade = true, ++i;
    } else {
      return Fail(err, "unknown option " + a);
    }
  }
  return Parsed::kRun;
}

bool BuildRequest(Options* o, char (&request)[kRequestSize + 1], std::string* err) {
  memset(request, ' ', kRequestSize);
  request[kRequestSize] = 0;
  if (o->facade) {
    for (const auto& f : o->fields) {
      bool known = false;
      for (const char* n : kFacadeNames) known = known || f.first == n;
      if (!known) {
        *err = "the facade has no field " + f.first;
        return false;
      }
      o->puts.insert(o->puts.begin(), f);
    }
    if (o->haveRecord) {
      *err = "--record cannot be used with the facade";
      return false;
    }
    return true;
  }
  // Defaults of a register's request, then the whole record if one was given, then single fields.
  bool typeGiven = o->haveRecord;
  PutField(request, *FindField(RequestFields(), "operType"), "A0");
  PutField(request, *FindField(RequestFields(), "cardType"), "01");
  PutField(request, *FindField(RequestFields(), "printFlag"), "Y");
  if (o->haveRecord) memcpy(request, o->record.data(), o->record.size());
  for (const auto& f : o->fields) {
    const Field* fd = FindField(RequestFields(), f.first);
    if (!PutField(request, *fd, f.second)) {
      *err = f.first + " takes at most " + std::to_string(fd->width) + " characters";
      return false;
    }
    typeGiven = typeGiven || f.first == "transType";
  }
  if (!typeGiven) {
    *err = "--type is required";
    return false;
  }
  return true;
}

}  // namespace korvessa
