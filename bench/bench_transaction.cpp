// Whole-transaction figures through the built library (loaded with dlopen), against the simulated terminal
// answering at once and a simulated bank host on 127.0.0.1:
//   BankTrans: median of 50 approvals, against the protocol's floor;
//   a relay round trip through the library (approvals with one unit, less those without) against the same
//   payload sent by a plain socket client (connect, send, receive, close);
//   idle cost: CPU time of the process over 10 s with the port open between calls.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "Options.h"
#include "Rig.h"

namespace {

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

double CpuMs() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000.0 +
         (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000.0;
}

// One exchange of a plain client with the host: connect, send, receive the whole answer, close.
bool PlainRoundTrip(int port, const std::string& payload, size_t answer) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return false;
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(s, reinterpret_cast<struct sockaddr*>(&a), sizeof a) == 0 &&
            send(s, payload.data(), payload.size(), 0) == static_cast<ssize_t>(payload.size());
  size_t got = 0;
  char buf[4096];
  while (ok && got < answer) {
    const ssize_t n = recv(s, buf, sizeof buf, 0);
    ok = n > 0;
    got += ok ? static_cast<size_t>(n) : 0;
  }
  close(s);
  return ok;
}

}  // namespace

int main() {
  const int kCalls = 50;
  posterm::Terminal term;
  rig::Library lib;
  rig::Host host;
  std::string err;
  if (!rig::StartTerminal(&term, &err) || !lib.Prepare(KV_LIBRARY_FILE, rig::RigIni(2, 4), &err) ||
      !lib.Load(&err) || !host.Start(KV_BANKHOST_FILE, "--mode answer --reply-text HOST-OK", &err)) {
    fprintf(stderr, "bench_transaction: %s\n", err.c_str());
    return 2;
  }
  posterm::Options relay;
  posterm::ParseOptions(posterm::SplitWords(rig::WithPort(
                            "--relay 127.0.0.1:{port}:PAYLOAD --relay-expect HOST-OK", host.port())),
                        &relay, &err);
  relay.scenario.fields = e2e::FixedScenario().fields;
  const std::string req = e2e::FullRequest("30");
  auto series = [&](const posterm::Scenario& s, int n, std::vector<double>* ms) {
    term.SetScenario(s);
    for (int i = 0; i < n; ++i) {
      term.ClearRecords();
      double t = 0;
      if (lib.Call(req, nullptr, &t) != 0) return false;
      if (!s.trans.relay.empty() && (term.RelayResults().size() != 1 || !term.RelayResults()[0].ok))
        return false;
      if (ms) ms->push_back(t);
    }
    return true;
  };
  std::vector<double> plain, relayed, client;
  if (!series(e2e::FixedScenario(), 5, nullptr) || !series(e2e::FixedScenario(), kCalls, &plain) ||
      !series(relay.scenario, kCalls, &relayed)) {
    fprintf(stderr, "bench_transaction: a call failed\n");
    return 1;
  }
  for (int i = 0; i < kCalls; ++i) {
    const double t0 = rig::NowMs();
    if (!PlainRoundTrip(host.port(), "PAYLOAD", 7)) {
      fprintf(stderr, "bench_transaction: the plain client failed\n");
      return 1;
    }
    client.push_back(rig::NowMs() - t0);
  }
  // Idle: the port open after an approval, the terminal's own thread stopped, nothing else running.
  series(e2e::FixedScenario(), 1, nullptr);
  term.Stop();
  const double cpu0 = CpuMs();
  sleep(10);
  const double idle = CpuMs() - cpu0;

  printf("BankTrans, approval answered at once: median of %d %.1f ms (min %.1f, max %.1f); floor 600 ms\n",
         kCalls, Median(plain), *std::min_element(plain.begin(), plain.end()),
         *std::max_element(plain.begin(), plain.end()));
  printf("BankTrans with one relay round trip: median %.1f ms; the relay adds %.1f ms\n", Median(relayed),
         Median(relayed) - Median(plain));
  printf("plain socket client, same payload and host: median %.3f ms\n", Median(client));
  printf("idle, port open: %.1f ms of CPU in 10 s\n", idle);
  lib.Unload();
  lib.RemoveDir();
  return 0;
}
