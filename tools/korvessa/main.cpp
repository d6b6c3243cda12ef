// korvessa: the cash register on the command line. Loads the card-terminal library at run time, like a
// real register (dlopen + dlsym here, LoadLibrary + GetProcAddress by ordinal on Windows), runs one
// transaction from options and prints the result code with its meaning, the response fields by name, the
// explanation of the return code and the receipt.
//
// Exit status: 0 approved, 1 refused by the terminal, 2 local failure (port, time-out, ...), 3 usage error
// or the library could not be loaded.
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DoctorCmd.h"
#include "JournalCmd.h"
#include "KorvessaDLL.h"
#include "LogCmd.h"
#include "Records.h"
#include "log/CardMask.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#include <langinfo.h>
#include <unistd.h>
#endif

namespace {

static_assert(korvessa::kRequestSize == KORVESSA_REQUEST_SIZE, "request record size");
static_assert(korvessa::kResponseSize == KORVESSA_RESPONSE_SIZE, "response record size");

typedef PFN_BankTrans BankTransFn;
typedef PFN_PutValue PutValueFn;
typedef PFN_TransProcess TransProcessFn;
typedef PFN_GetValue GetValueFn;

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

std::string DirOf(const std::string& path) {
  const size_t s = path.find_last_of("/\\");
  return s == std::string::npos ? std::string(".") : path.substr(0, s);
}

std::string ProgramDir() {
#ifdef _WIN32
  char buf[MAX_PATH] = {0};
  const DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
  if (n == 0 || n >= sizeof buf) return ".";
  return DirOf(buf);
#else
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  buf[n] = 0;
  return DirOf(buf);
#endif
}

std::string DefaultEncoding() {
#ifdef _WIN32
  return "";  // the console's code page is GBK on the systems this library serves: print as is
#else
  setlocale(LC_CTYPE, "");
  const char* cs = nl_langinfo(CODESET);
  if (!cs || !*cs || strcmp(cs, "ANSI_X3.4-1968") == 0) return "UTF-8";
  return cs;
#endif
}

bool ReadFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  *out = ss.str();
  return true;
}

// The library stores each line end as CR LF; show plain lines.
std::string FoldCrLf(const std::string& s) {
  std::string o;
  o.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
    o.push_back(s[i]);
  }
  return o;
}

struct Library {
#ifdef _WIN32
  HMODULE h = nullptr;
#else
  void* h = nullptr;
#endif
  BankTransFn bankTrans = nullptr;
  PutValueFn putValue = nullptr;
  TransProcessFn transProcess = nullptr;
  GetValueFn getValue = nullptr;

  bool Load(const std::string& path, std::string* err) {
#ifdef _WIN32
    h = LoadLibraryA(path.c_str());
    if (!h) {
      *err = "LoadLibrary failed, error " + std::to_string(GetLastError());
      return false;
    }
    // By ordinal, as the registers do: 1 BankTrans, 2 PutValue, 3 TransProcess, 4 GetValue.
    bankTrans =
        reinterpret_cast<BankTransFn>(reinterpret_cast<void*>(GetProcAddress(h, MAKEINTRESOURCEA(1))));
    putValue = reinterpret_cast<PutValueFn>(reinterpret_cast<void*>(GetProcAddress(h, MAKEINTRESOURCEA(2))));
    transProcess =
        reinterpret_cast<TransProcessFn>(reinterpret_cast<void*>(GetProcAddress(h, MAKEINTRESOURCEA(3))));
    getValue = reinterpret_cast<GetValueFn>(reinterpret_cast<void*>(GetProcAddress(h, MAKEINTRESOURCEA(4))));
#else
    h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
      const char* e = dlerror();
      *err = e ? e : "dlopen failed";
      return false;
    }
    bankTrans = reinterpret_cast<BankTransFn>(dlsym(h, "BankTrans"));
    putValue = reinterpret_cast<PutValueFn>(dlsym(h, "PutValue"));
    transProcess = reinterpret_cast<TransProcessFn>(dlsym(h, "TransProcess"));
    getValue = reinterpret_cast<GetValueFn>(dlsym(h, "GetValue"));
#endif
    if (!bankTrans || !putValue || !transProcess || !getValue) {
      *err = "the library does not export BankTrans, PutValue, TransProcess and GetValue";
      return false;
    }
    return true;
  }

  ~Library() {
#ifdef _WIN32
    // Left to the end of the process, as a register closed at the end of a shift does: Windows
    // ends the library's worker threads before it detaches the library. A FreeLibrary while they
    // run waits for them under the loader lock, where they cannot end (bounded, but seconds).
    (void)h;
#else
    if (h) dlclose(h);
#endif
  }
};

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

// The card number at the start of a field, masked like the library's log shows it.
void MaskCardText(std::string* text) {
  if (text->empty()) return;
  MaskCardField(reinterpret_cast<unsigned char*>(&(*text)[0]), text->size());
}

int Usage(const std::string& msg) {
  fprintf(stderr, "korvessa: %s\n%s", msg.c_str(), kUsage);
  return 3;
}

// Ctrl-C while a call runs: stop waiting. SIGTERM: the register is being closed.
std::atomic<int> g_interrupts{0};
std::atomic<bool> g_terminate{false};

#ifdef _WIN32
BOOL WINAPI OnConsoleCtrl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  return g_interrupts.fetch_add(1) == 0 ? TRUE : FALSE;  // a second Ctrl-C ends the program
}
bool StderrIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}
#else
extern "C" void OnInterrupt(int) {
  if (g_interrupts.fetch_add(1) > 0) {
    signal(SIGINT, SIG_DFL);
    raise(SIGINT);  // a second Ctrl-C ends the program
  }
}
extern "C" void OnTerminate(int) { g_terminate = true; }
bool StderrIsTerminal() { return isatty(2) != 0; }
#endif

const char kAbandonNote[] =
    "korvessa: Ctrl-C: stopped waiting for the terminal (the call ends -3). If the request had gone out,\n"
    "  the terminal may still have charged the card: ask it for its last transaction or check\n"
    "  \"korvessa journal --uncertain\" before charging again.\n";

// Runs the call on a worker thread and, on this one, shows its progress as the library reports it
// (GetValue "state", "stateSeconds", "stateHost": answered at once while the call runs).
void RunWithProgress(const Library& lib, bool quiet, bool lines, const std::function<void()>& call) {
  std::atomic<bool> done{false};
  std::thread worker([&] {
    call();
    done = true;
  });
#ifdef _WIN32
  SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);
#else
  struct sigaction sa = {}, oldInt = {}, oldTerm = {};
  sa.sa_handler = OnInterrupt;
  sigaction(SIGINT, &sa, &oldInt);
  sa.sa_handler = OnTerminate;
  sigaction(SIGTERM, &sa, &oldTerm);
#endif
  const bool tty = StderrIsTerminal();
  quiet = quiet || (!tty && !lines);
  std::string last;
  bool abandoned = false, shown = false;
  while (!done) {
    if (g_interrupts.load() > 0 && !abandoned) {
      abandoned = true;
      lib.putValue("abandon", "1");
      if (shown) fputs("\n", stderr);
      fputs(kAbandonNote, stderr);
      shown = false;
    }
    if (g_terminate.load()) {
      // The register is closed while its call runs: the library's exit steps end the call.
      fputs("\nkorvessa: terminated while the call runs\n", stderr);
      fflush(stdout);
      worker.detach();  // still inside the call: the library's exit steps end it
      exit(2);
    }
    if (!quiet) {
      const std::string step = lib.getValue("state");
      const std::string seconds = lib.getValue("stateSeconds");
      const std::string host = step == "host" ? std::string(lib.getValue("stateHost")) : std::string();
      const std::string what = host.empty() ? step : step + ", bank host " + host;
      if (tty && step != "idle") {
        fprintf(stderr, "\r\x1b[K%s %s s", what.c_str(), seconds.c_str());
        shown = true;
      } else if (what != last && step != "idle") {
        fprintf(stderr, "state: %s\n", what.c_str());
      }
      fflush(stderr);
      last = what;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  worker.join();
  if (shown) fputs("\r\x1b[K", stderr);
#ifdef _WIN32
  SetConsoleCtrlHandler(OnConsoleCtrl, FALSE);
#else
  sigaction(SIGINT, &oldInt, nullptr);
  sigaction(SIGTERM, &oldTerm, nullptr);
#endif
}

std::string DefaultLibrary() {
#ifdef _WIN32
  return ProgramDir() + "\\KorvessaDLL.dll";
#else
  return ProgramDir() + "/libKorvessaDLL.so";
#endif
}

// "korvessa doctor [--lib PATH] ...": the checks through the library itself.
int Doctor(int argc, char** argv) {
  std::vector<std::string> args;
  std::string libPath = DefaultLibrary();
  for (int i = 2; i < argc; ++i) {
    if (strcmp(argv[i], "--lib") == 0 && i + 1 < argc) {
      libPath = argv[++i];
    } else {
      args.push_back(argv[i]);
    }
  }
  Library lib;
  std::string err;
  if (!lib.Load(libPath, &err)) {
    fprintf(stdout, "fail  library   cannot load %s: %s\n", libPath.c_str(), err.c_str());
    return 1;
  }
  korvessa::DoctorLibrary d;
  d.dir = DirOf(libPath);
  d.putValue = lib.putValue;
  d.getValue = lib.getValue;
  return korvessa::DoctorCommand(args, d, stdout, stderr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], "journal") == 0) {
    return korvessa::JournalCommand(std::vector<std::string>(argv + 2, argv + argc),
                                    ProgramDir() + "/Journal", stdout, stderr);
  }
  if (argc > 1 && strcmp(argv[1], "doctor") == 0) return Doctor(argc, argv);
  if (argc > 1 && strcmp(argv[1], "log") == 0) {
    return korvessa::LogCommand(std::vector<std::string>(argv + 2, argv + argc), stdout, stderr);
  }
  Options o;
  static const struct {
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
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    const std::string v = hasValue ? argv[i + 1] : "";
    bool matched = false;
    for (const auto& fo : kFieldOpts) {
      if (a == fo.opt) {
        if (!hasValue) return Usage(a + " needs a value");
        o.fields.emplace_back(fo.field, v);
        ++i;
        matched = true;
      }
    }
    if (matched) continue;
    if (a == "--help" || a == "-h") {
      fputs(kUsage, stdout);
      return 0;
    } else if (a == "--facade") {
      o.facade = true;
    } else if (a == "--raw") {
      o.raw = true;
    } else if (a == "--no-receipt") {
      o.noReceipt = true;
    } else if (a == "--show-card-number") {
      o.showCard = true;
    } else if (a == "--wait-stdin") {
      o.waitStdin = true;
    } else if (a == "--no-unload") {
      o.noUnload = true;
    } else if (a == "--quiet") {
      o.quiet = true;
    } else if (a == "--progress") {
      o.progress = true;
    } else if (!hasValue && (a == "--lib" || a == "--amount" || a == "--record" || a == "--put" ||
                             a == "--get" || a == "--encoding" || a == "--receipt")) {
      return Usage(a + " needs a value");
    } else if (a == "--lib") {
      o.lib = v, ++i;
    } else if (a == "--encoding") {
      o.encoding = v, o.encodingSet = true, ++i;
    } else if (a == "--receipt") {
      o.receipt = v, ++i;
    } else if (a == "--record") {
      if (v.size() > korvessa::kRequestSize) return Usage("--record is longer than 106 characters");
      o.record = v, o.haveRecord = true, ++i;
    } else if (a == "--amount") {
      std::string minor;
      if (!korvessa::AmountToMinor(v, &minor)) return Usage("bad amount: " + v);
      o.fields.emplace_back("amount", minor);
      ++i;
    } else if (a == "--put") {
      const size_t eq = v.find('=');
      if (eq == std::string::npos) return Usage("--put wants NAME=VALUE");
      o.puts.emplace_back(v.substr(0, eq), v.substr(eq + 1));
      o.facade = true;
      ++i;
    } else if (a == "--get") {
      o.gets.push_back(v), o.facade = true, ++i;
    } else {
      return Usage("unknown option " + a);
    }
  }
  const std::string enc = o.raw ? "" : (o.encodingSet ? o.encoding : DefaultEncoding());

  // The request, built before the library is touched so that a usage error changes nothing.
  char request[korvessa::kRequestSize + 1];
  memset(request, ' ', korvessa::kRequestSize);
  request[korvessa::kRequestSize] = 0;
  if (o.facade) {
    // The facade's own names for the options that have one.
    static const char* const kFacadeNames[] = {"amount", "oldTraceNumber", "hostserialNumber", "transDate",
                                               "transType"};
    for (const auto& f : o.fields) {
      bool known = false;
      for (const char* n : kFacadeNames) known = known || f.first == n;
      if (!known) return Usage("the facade has no field " + f.first);
      o.puts.insert(o.puts.begin(), f);
    }
    if (o.haveRecord) return Usage("--record cannot be used with the facade");
  } else {
    // Defaults of a register's request, then the whole record if one was given, then single fields.
    bool typeGiven = o.haveRecord;
    PutField(request, *FindField(korvessa::RequestFields(), "operType"), "A0");
    PutField(request, *FindField(korvessa::RequestFields(), "cardType"), "01");
    PutField(request, *FindField(korvessa::RequestFields(), "printFlag"), "Y");
    if (o.haveRecord) memcpy(request, o.record.data(), o.record.size());
    for (const auto& f : o.fields) {
      const korvessa::Field* fd = korvessa::FindField(korvessa::RequestFields(), f.first);
      if (!korvessa::PutField(request, *fd, f.second)) {
        return Usage(f.first + " takes at most " + std::to_string(fd->width) + " characters");
      }
      typeGiven = typeGiven || f.first == "transType";
    }
    if (!typeGiven) return Usage("--type is required");
  }

  const std::string libPath = o.lib.empty() ? DefaultLibrary() : o.lib;
  Library lib;
  std::string err;
  if (!lib.Load(libPath, &err)) {
    fprintf(stderr, "korvessa: cannot load %s: %s\n", libPath.c_str(), err.c_str());
    return 3;
  }
  const std::string ini = DirOf(libPath) + "/Config.ini";

  // What the receipt file held before, to tell a new receipt from an old one.
  std::string receiptPath = o.receipt.empty() ? korvessa::ReceiptPath(ini) : o.receipt;
  std::string before;
  const bool hadReceipt = ReadFile(receiptPath, &before);
  const time_t start = time(nullptr);

  int status;
  std::string rejCode;
  if (o.facade) {
    for (const auto& p : o.puts) lib.putValue(p.first.c_str(), p.second.c_str());
    RunWithProgress(lib, o.quiet, o.progress, [&] { lib.transProcess(); });
    rejCode = lib.getValue("rejCode");
    status = korvessa::ExitStatusForRejCode(rejCode);
    printf("rejCode: %s (%s)\n", rejCode.c_str(),
           status == 0 ? "approved" : (status == 2 ? "local failure" : "refused by the terminal"));
    std::vector<std::string> gets = o.gets;
    if (gets.empty()) {
      gets = {"rejCode", "rejCodeExplain", "cardNumber", "posTraceNumber", "hostserialNumber", "transDate"};
    }
    for (const std::string& g : gets) {
      std::string v = lib.getValue(g.c_str());
      if (g == "cardNumber" && !o.showCard) MaskCardText(&v);
      printf("  %-17s = \"%s\"\n", g.c_str(), korvessa::FromGbk(v, enc).c_str());
    }
  } else {
    char response[korvessa::kResponseSize + 1];
    memset(response, 0, sizeof response);
    int r = 0;
    RunWithProgress(lib, o.quiet, o.progress, [&] { r = lib.bankTrans(request, response); });
    status = korvessa::ExitStatusFor(r);
    printf("Result: %d (%s)\n", r, korvessa::ResultMeaning(r).c_str());
    bool filled = false;
    for (size_t i = 0; i < korvessa::kResponseSize; ++i) filled = filled || response[i] != 0;
    if (!filled) {
      printf("Response: not filled\n");
    } else {
      printf("Response:\n");
      for (const korvessa::Field& f : korvessa::ResponseFields()) {
        std::string v(response + f.off, f.width);
        if (strcmp(f.name, "cardNumber") == 0 && !o.showCard) MaskCardText(&v);
        printf("  %-17s = \"%s\"\n", f.name, korvessa::FromGbk(v, enc).c_str());
      }
      rejCode.assign(response + KV_RSP_rejCode, KV_RSP_rejCode_LEN);
      bool found = false;
      const std::string text = korvessa::RejCodeExplain(ini, rejCode, &found);
      printf("Explanation: %s\n", found ? korvessa::FromGbk(text, enc).c_str() : "(none configured)");
    }
  }

  if (!o.noReceipt) {
    std::string after;
    struct stat st;
    const bool fresh = ReadFile(receiptPath, &after) && stat(receiptPath.c_str(), &st) == 0 &&
                       (!hadReceipt || after != before || st.st_mtime >= start);
    if (status == 0 && fresh) {
      printf("Receipt (%s):\n%s", receiptPath.c_str(), korvessa::FromGbk(FoldCrLf(after), enc).c_str());
      if (!after.empty() && after.back() != '\n') printf("\n");
    } else {
      printf("Receipt: none written\n");
    }
  }
  printf("Log: %s/Log/\n", DirOf(libPath).c_str());
  if (o.waitStdin) {
    printf("WAITING\n");
    fflush(stdout);
    for (int c = getchar(); c != EOF && c != '\n'; c = getchar()) {
    }
  }
  fflush(stdout);
  if (o.noUnload) exit(status);  // static destructors and the library's own exit steps run
  return status;
}
