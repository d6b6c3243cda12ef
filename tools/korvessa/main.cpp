// korvessa: the cash register on the command line. Loads the card-terminal library at run time, like a
// real register (Library), runs one transaction from options (CommandLine, Run) and prints the result
// code with its meaning, the response fields by name, the explanation of the return code and the receipt
// (Output). This file picks the sub-command and puts those steps in order.
//
// Exit status: 0 approved, 1 refused by the terminal, 2 local failure (port, time-out, ...), 3 usage error
// or the library could not be loaded.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "DoctorCmd.h"
#include "JournalCmd.h"
#include "KorvessaDLL.h"
#include "Library.h"
#include "LogCmd.h"
#include "CommandLine.h"
#include "Output.h"
#include "Records.h"
#include "Run.h"

namespace {

static_assert(korvessa::kRequestSize == KORVESSA_REQUEST_SIZE, "request record size");
static_assert(korvessa::kResponseSize == KORVESSA_RESPONSE_SIZE, "response record size");

int Usage(const std::string& msg) {
  fprintf(stderr, "korvessa: %s\n%s", msg.c_str(), korvessa::kUsage);
  return 3;
}

// "korvessa doctor [--lib PATH] ...": the checks through the library itself.
int Doctor(int argc, char** argv) {
  std::vector<std::string> args;
  std::string libPath = korvessa::DefaultLibrary();
  for (int i = 2; i < argc; ++i) {
    if (strcmp(argv[i], "--lib") == 0 && i + 1 < argc) {
      libPath = argv[++i];
    } else {
      args.push_back(argv[i]);
    }
  }
  korvessa::Library lib;
  std::string err;
  if (!lib.Load(libPath, &err)) {
    fprintf(stdout, "fail  library   cannot load %s: %s\n", libPath.c_str(), err.c_str());
    return 1;
  }
  korvessa::DoctorLibrary d;
  d.dir = korvessa::DirOf(libPath);
  d.putValue = lib.putValue;
  d.getValue = lib.getValue;
  return korvessa::DoctorCommand(args, d, stdout, stderr);
}

// One transaction from the options: the request first (a usage error touches nothing), then the library,
// the call and what it gave.
int Transaction(int argc, char** argv) {
  korvessa::Options o;
  std::string err;
  switch (korvessa::ParseOptions(argc, argv, &o, &err)) {
    case korvessa::Parsed::kHelp:
      fputs(korvessa::kUsage, stdout);
      return 0;
    case korvessa::Parsed::kUsageError:
      return Usage(err);
    case korvessa::Parsed::kRun:
      break;
  }
  const std::string enc = o.raw ? "" : (o.encodingSet ? o.encoding : korvessa::DefaultEncoding());
  char request[korvessa::kRequestSize + 1];
  if (!korvessa::BuildRequest(&o, request, &err)) return Usage(err);

  const std::string libPath = o.lib.empty() ? korvessa::DefaultLibrary() : o.lib;
  korvessa::Library lib;
  if (!lib.Load(libPath, &err)) {
    fprintf(stderr, "korvessa: cannot load %s: %s\n", libPath.c_str(), err.c_str());
    return 3;
  }
  const std::string ini = korvessa::DirOf(libPath) + "/Config.ini";
  const korvessa::ReceiptBefore receipt =
      korvessa::TakeReceiptBefore(o.receipt.empty() ? korvessa::ReceiptPath(ini) : o.receipt);

  int status;
  if (o.facade) {
    for (const auto& p : o.puts) lib.putValue(p.first.c_str(), p.second.c_str());
    korvessa::RunWithProgress(lib, o.quiet, o.progress, [&] { lib.transProcess(); });
    status = korvessa::PrintFacadeResult(lib.getValue, o.gets, o.showCard, enc);
  } else {
    char response[korvessa::kResponseSize + 1];
    memset(response, 0, sizeof response);
    int r = 0;
    korvessa::RunWithProgress(lib, o.quiet, o.progress, [&] { r = lib.bankTrans(request, response); });
    status = korvessa::PrintBankTransResult(r, response, o.showCard, ini, enc);
  }

  if (!o.noReceipt) korvessa::PrintReceipt(receipt, status, enc);
  printf("Log: %s/Log/\n", korvessa::DirOf(libPath).c_str());
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

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], "journal") == 0) {
    return korvessa::JournalCommand(std::vector<std::string>(argv + 2, argv + argc),
                                    korvessa::ProgramDir() + "/Journal", stdout, stderr);
  }
  if (argc > 1 && strcmp(argv[1], "doctor") == 0) return Doctor(argc, argv);
  if (argc > 1 && strcmp(argv[1], "log") == 0) {
    return korvessa::LogCommand(std::vector<std::string>(argv + 2, argv + argc), stdout, stderr);
  }
  return Transaction(argc, argv);
}
