// The register's call on a worker thread, its progress and its interruptions (see Run.h).
#include "Run.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace korvessa {

namespace {

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

// The call's handlers for Ctrl-C and SIGTERM, put back as they were when the call has ended.
class CallSignals {
 public:
  CallSignals() {
#ifdef _WIN32
    SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);
#else
    struct sigaction sa = {};
    sa.sa_handler = OnInterrupt;
    sigaction(SIGINT, &sa, &oldInt_);
    sa.sa_handler = OnTerminate;
    sigaction(SIGTERM, &sa, &oldTerm_);
#endif
  }
  ~CallSignals() {
#ifdef _WIN32
    SetConsoleCtrlHandler(OnConsoleCtrl, FALSE);
#else
    sigaction(SIGINT, &oldInt_, nullptr);
    sigaction(SIGTERM, &oldTerm_, nullptr);
#endif
  }
  CallSignals(const CallSignals&) = delete;
  CallSignals& operator=(const CallSignals&) = delete;

 private:
#ifndef _WIN32
  struct sigaction oldInt_ = {}, oldTerm_ = {};
#endif
};

// One look at the call's step: updated in place on a terminal (*shown: a line is up), else a line when
// the step changed since *last.
void ShowStep(const Library& lib, bool tty, std::string* last, bool* shown) {
  const std::string step = lib.getValue("state");
  const std::string seconds = lib.getValue("stateSeconds");
  const std::string host = step == "host" ? std::string(lib.getValue("stateHost")) : std::string();
  const std::string what = host.empty() ? step : step + ", bank host " + host;
  if (tty && step != "idle") {
    fprintf(stderr, "\r\x1b[K%s %s s", what.c_str(), seconds.c_str());
    *shown = true;
  } else if (what != *last && step != "idle") {
    fprintf(stderr, "state: %s\n", what.c_str());
  }
  fflush(stderr);
  *last = what;
}

}  // namespace

void RunWithProgress(const Library& lib, bool quiet, bool lines, const std::function<void()>& call) {
  std::atomic<bool> done{false};
  std::thread worker([&] {
    call();
    done = true;
  });
  const CallSignals signals;
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
    if (!quiet) ShowStep(lib, tty, &last, &shown);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  worker.join();
  if (shown) fputs("\r\x1b[K", stderr);
}

}  // namespace korvessa
