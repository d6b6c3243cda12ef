// posterm: a simulated card terminal on a new pseudo-terminal or a serial device, for tests, the demo
// and integrators without hardware. Prints "READY <path>" when the line exists; exits cleanly on SIGTERM.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "Options.h"
#include "Terminal.h"

namespace {

void PrintLine(const std::string& line, void*) {
  fprintf(stdout, "%s\n", line.c_str());
  fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  posterm::Options opt;
  std::string err;
  if (!posterm::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), &opt, &err)) {
    fprintf(stderr, "posterm: %s\n%s", err.c_str(), posterm::kUsage);
    return 2;
  }
  if (opt.help) {
    fputs(posterm::kUsage, stdout);
    return 0;
  }
  const posterm::Scenario& sc = opt.scenario;
  const std::string& device = opt.device;
  const std::string& logPath = opt.logPath;
  const long baud = opt.baud, count = opt.count;

  // Signals are taken by this thread only, with sigtimedwait; the terminal's thread never sees them.
  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGTERM);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
  signal(SIGPIPE, SIG_IGN);

  FILE* log = nullptr;
  if (!logPath.empty()) {
    log = fopen(logPath.c_str(), "a");
    if (!log) {
      fprintf(stderr, "posterm: cannot open log %s: %s\n", logPath.c_str(), strerror(errno));
      return 1;
    }
  }
  int rc = 0;
  {
    posterm::Terminal term;
    term.SetScenario(sc);
    term.SetLog(log);
    term.SetJournalCheck(opt.journalDir);
    std::string err;
    const bool opened =
        device.empty() ? term.OpenPty(&err) : term.OpenDevice(device, static_cast<int>(baud), &err);
    if (!opened || !term.Start(&err)) {
      fprintf(stderr, "posterm: %s\n", err.c_str());
      rc = 1;
    } else {
      term.SetNotify(PrintLine, nullptr);
      PrintLine("READY " + term.LinePath(), nullptr);
      // --count counts transaction answers only, not the handshake's.
      for (;;) {
        struct timespec ts = {0, 200 * 1000 * 1000};
        const int sig = sigtimedwait(&sigs, nullptr, &ts);
        if (sig > 0) break;
        if (count > 0 && term.TransactionAnswers() >= static_cast<size_t>(count)) break;
        if (!term.ReplayEnded().empty()) {
          rc = 3;
          break;
        }
      }
      term.Stop();
      PrintLine("EXIT", nullptr);
    }
  }
  if (log) fclose(log);
  return rc;
}
