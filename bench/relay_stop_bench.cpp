// How long the register waits on a host relay that misbehaves: the time a hanging connect adds
// to a call that times out, and the time of an unload (dlclose) and of a process exit while the
// relay waits for a further payload between calls. Figures in BENCHMARKS.md.
//   relay_stop_bench <libKorvessaDLL.so> [rounds]
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "EndToEnd.h"
#include "EndToEndHosts.h"
#include "KorvessaDLL.h"
#include "Terminal.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

posterm::RelayUnit Unit(int port, bool expectReply) {
  posterm::RelayUnit u;
  u.host = "127.0.0.1";
  u.port = std::to_string(port);
  u.payload = {'p', 'i', 'n', 'g'};
  u.expectReply = expectReply;
  u.timeoutMs = expectReply ? 5000 : 300;
  return u;
}

PFN_BankTrans Load(const std::string& lib, void** h) {
  *h = dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (*h == nullptr) {
    fprintf(stderr, "cannot load %s: %s\n", lib.c_str(), dlerror());
    exit(2);
  }
  return reinterpret_cast<PFN_BankTrans>(dlsym(*h, "BankTrans"));
}

int Call(PFN_BankTrans bankTrans) {
  std::string req(KORVESSA_REQUEST_SIZE, ' ');
  req.replace(0, 6, "A03001");
  req.replace(KV_REQ_amount, 12, "000000000100");
  char rsp[KORVESSA_RESPONSE_SIZE];
  return bankTrans(req.data(), rsp);
}

bool WaitRelays(const posterm::Terminal& term, size_t n) {
  for (int i = 0; i < 1000 && term.RelayResults().size() < n; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return term.RelayResults().size() >= n;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: relay_stop_bench <libKorvessaDLL.so> [rounds]\n");
    return 2;
  }
  const int rounds = argc > 2 ? atoi(argv[2]) : 5;
  std::string dir, err;
  if (!e2e::MakeScratchFolder("kv-bench.", &dir)) return 2;
  if (!e2e::CopyLibrary(argv[1], dir, &err)) {
    fprintf(stderr, "%s\n", err.c_str());
    return 2;
  }
  const std::string lib = dir + "/libKorvessaDLL.so";
  e2e::WriteFile(dir + "/Config.ini",
                 "[COM]\nComPort=7\n[DEBUG_LOG]\nDebugLog=1\n[TCP]\nConnTimeOut=4\nTradeTimeOut=1\n"
                 "[TRANSNAMEDSP]\n001=00 HS\n002=30 SALE\n[TXTFILENAME]\nFilePath=./\nFileName=print.txt\n");
  if (chdir(dir.c_str()) != 0) return 2;
  posterm::Terminal term;
  if (!term.OpenPty(&err) || !term.Start(&err)) {
    fprintf(stderr, "posterm: %s\n", err.c_str());
    return 2;
  }
  setenv("KORVESSA_COM7", term.LinePath().c_str(), 1);
  e2e::Host answeringHost;
  e2e::HangingHost hangingHost;
  const int answering = answeringHost.port();
  const int hanging = hangingHost.port();
  if (answering == 0 || hanging == 0) return 2;

  // 1. A call that times out (TradeTimeOut 1 s), without and with a hanging connect.
  void* h = nullptr;
  PFN_BankTrans bankTrans = Load(lib, &h);
  std::vector<double> plain, withConnect;
  for (int i = 0; i < rounds; ++i) {
    posterm::Scenario s;
    s.trans.end = posterm::Step::End::kSilence;
    term.SetScenario(s);
    auto t0 = Clock::now();
    const int r1 = Call(bankTrans);
    plain.push_back(Ms(t0));
    s.trans.relay = {Unit(hanging, false)};
    term.SetScenario(s);
    t0 = Clock::now();
    const int r2 = Call(bankTrans);
    withConnect.push_back(Ms(t0));
    if (r1 != KORVESSA_ERR_TIMEOUT || r2 != KORVESSA_ERR_TIMEOUT)
      fprintf(stderr, "unexpected %d %d\n", r1, r2);
  }
  printf("time-out call, plain:                 median %.0f ms\n", Median(plain));
  printf("time-out call, hanging connect:       median %.0f ms (added: %.0f ms)\n", Median(withConnect),
         Median(withConnect) - Median(plain));

  // 2. dlclose while the relay waits for a further payload after a unit between calls.
  std::vector<double> unload;
  size_t relays = term.RelayResults().size();
  for (int i = 0; i < rounds; ++i) {
    posterm::Scenario s;
    s.trans.relayAfter = {Unit(answering, true)};
    term.SetScenario(s);
    if (h == nullptr) bankTrans = Load(lib, &h);
    if (Call(bankTrans) != 0 || !WaitRelays(term, ++relays)) fprintf(stderr, "relay between calls failed\n");
    const auto t0 = Clock::now();
    dlclose(h);
    h = nullptr;
    unload.push_back(Ms(t0));
  }
  printf("dlclose, relay waiting between calls: median %.1f ms, max %.1f ms\n", Median(unload),
         *std::max_element(unload.begin(), unload.end()));

  // 3. Process exit in the same state: a child loads the library, runs the call, and exits when told.
  std::vector<double> exits;
  for (int i = 0; i < rounds; ++i) {
    int ready[2], go[2];
    if (pipe(ready) != 0 || pipe(go) != 0) return 2;
    fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
      void* ch = nullptr;
      PFN_BankTrans bt = Load(lib, &ch);
      const char ok = Call(bt) == 0 ? '1' : '0';
      if (write(ready[1], &ok, 1) != 1) _exit(3);
      char c;
      if (read(go[0], &c, 1) < 0) _exit(3);
      exit(0);  // static destructors and the library's unload run
    }
    char ok = 0;
    if (read(ready[0], &ok, 1) != 1 || ok != '1' || !WaitRelays(term, ++relays)) {
      fprintf(stderr, "child call or relay failed\n");
    }
    const auto t0 = Clock::now();
    if (write(go[1], "x", 1) != 1) return 2;
    while (waitpid(pid, nullptr, WNOHANG) == 0) {
      if (getenv("KV_BENCH_STACKS") != nullptr && Ms(t0) > 2000) {
        system(("gdb -p " + std::to_string(pid) +
                " -batch -ex 'thread apply all bt' > /tmp/kv-bench-stacks.txt 2>&1")
                   .c_str());
        waitpid(pid, nullptr, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    exits.push_back(Ms(t0));
    close(ready[0]), close(ready[1]), close(go[0]), close(go[1]);
  }
  printf("process exit, relay waiting:          median %.1f ms, max %.1f ms\n", Median(exits),
         *std::max_element(exits.begin(), exits.end()));
  term.Stop();
  if (chdir("/") == 0) e2e::RemoveScratchFolder(dir);
  return 0;
}
