// posterm: a simulated card terminal on a new pseudo-terminal or a serial device, for tests, the demo
// and integrators without hardware. Prints "READY <path>" when the line exists; exits cleanly on SIGTERM.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <string>

#include "Terminal.h"

namespace {

const char kUsage[] =
    "usage: posterm [options]\n"
    "Line:\n"
    "  --device PATH        answer on this serial device instead of a new pseudo-terminal\n"
    "  --baud N             device speed (default 9600)\n"
    "  --log FILE           append every frame seen and sent (hex) and every event to FILE\n"
    "  --count N            exit after N transaction answers (default: run until SIGTERM)\n"
    "Answers:\n"
    "  --code CC            return code of transaction answers (default 00)\n"
    "  --hs-code CC         return code of handshake answers (default 00; other = refuse the handshake)\n"
    "  --delay MS           pause before a transaction answer   --hs-delay MS  the same for the handshake\n"
    "  --reply-len N        content length of a transaction answer (default 507, at least 207 to fill\n"
    "                       every response field)\n"
    "  --field NAME=VALUE   answer field: info amount batch merchant terminal name card expiry issuer\n"
    "                       acquirer date time auth ref ref2 extra trace text (padded or cut to width)\n"
    "  --set OFFSET=TEXT    put TEXT at this content offset of the transaction answer\n"
    "Faults (transaction answers):\n"
    "  --noise HEX          bytes sent before the answer\n"
    "  --bad-lrc            send the answer with a wrong LRC first, then the good one\n"
    "  --stale-id           send the answer under the previous transaction's identifier first\n"
    "  --wrong-cmd CC       answer with this command code\n"
    "  --chunks N           write the answer in N pieces  (--chunk-gap MS between them, default 60)\n"
    "  --silent             never answer transactions     --hs-silent  never answer the handshake\n"
    "  --hangup             close the line instead of answering (a new line is opened: READY again)\n"
    "Host relay (before the transaction answer):\n"
    "  --relay HOST:PORT:TEXT      send TEXT to the host through the register (repeatable)\n"
    "  --relay-hex HOST:PORT:HEX   the same with a payload in hex\n"
    "  --relay-after HOST:PORT:TEXT  the same, sent after the transaction answer (between calls)\n"
    "  --relay-cmd CC       command code of the units (default 00)\n"
    "  --relay-expect TEXT  the host's answer expected in every reply\n"
    "  --relay-timeout MS   wait for each reply (default 5000)\n"
    "Output lines: READY <path>, REQUEST <op><cmd> id=<id> len=<n>, ANSWER <cmd> code=<cc>, SILENT,\n"
    "HANGUP, RELAY OK <n> | RELAY FAIL <why>.\n";

void PrintLine(const std::string& line, void*) {
  fprintf(stdout, "%s\n", line.c_str());
  fflush(stdout);
}

bool ToInt(const char* s, long lo, long hi, long* out) {
  char* end = nullptr;
  errno = 0;
  const long v = strtol(s, &end, 10);
  if (errno || end == s || *end || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool Code2(const char* s, std::string* out) {
  if (strlen(s) != 2) return false;
  *out = s;
  return true;
}

bool ParseRelay(const std::string& arg, bool hex, posterm::RelayUnit* u) {
  const size_t a = arg.find(':');
  const size_t b = a == std::string::npos ? a : arg.find(':', a + 1);
  if (b == std::string::npos) return false;
  u->host = arg.substr(0, a);
  u->port = arg.substr(a + 1, b - a - 1);
  const std::string data = arg.substr(b + 1);
  if (u->host.empty() || u->host.size() > 40 || u->port.empty() || u->port.size() > 6) return false;
  if (hex) return posterm::ParseHex(data, &u->payload);
  u->payload.assign(data.begin(), data.end());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  posterm::Scenario sc;
  std::string device, logPath, relayCmd = "00", relayExpect;
  bool haveExpect = false;
  long baud = 9600, count = 0, relayTimeout = 5000;
  std::vector<posterm::RelayUnit> relay, relayAfter;
  for (int i = 1; i < argc; ++i) {
    const std::string o = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    auto need = [&]() -> const char* {
      if (!v) {
        fprintf(stderr, "posterm: %s needs a value\n", o.c_str());
        exit(2);
      }
      ++i;
      return v;
    };
    auto bad = [&](const char* val) {
      fprintf(stderr, "posterm: bad value for %s: %s\n", o.c_str(), val);
      exit(2);
    };
    long n;
    if (o == "--help" || o == "-h") {
      fputs(kUsage, stdout);
      return 0;
    } else if (o == "--device") {
      device = need();
    } else if (o == "--baud") {
      if (!ToInt(need(), 50, 4000000, &baud)) bad(v);
    } else if (o == "--log") {
      logPath = need();
    } else if (o == "--count") {
      if (!ToInt(need(), 0, 1000000, &count)) bad(v);
    } else if (o == "--code") {
      if (!Code2(need(), &sc.trans.retCode)) bad(v);
    } else if (o == "--hs-code") {
      if (!Code2(need(), &sc.handshake.retCode)) bad(v);
    } else if (o == "--delay") {
      if (!ToInt(need(), 0, 3600000, &n)) bad(v);
      sc.trans.delayMs = static_cast<int>(n);
    } else if (o == "--hs-delay") {
      if (!ToInt(need(), 0, 3600000, &n)) bad(v);
      sc.handshake.delayMs = static_cast<int>(n);
    } else if (o == "--reply-len") {
      if (!ToInt(need(), 8, 4085, &n)) bad(v);
      sc.replyLen = static_cast<size_t>(n);
    } else if (o == "--field") {
      const std::string f = need();
      const size_t eq = f.find('=');
      size_t off, width;
      if (eq == std::string::npos || !posterm::ReplyFieldOffset(f.substr(0, eq), &off, &width)) bad(v);
      std::string val = f.substr(eq + 1);
      val.resize(width, ' ');
      sc.fields[off] = val;
    } else if (o == "--set") {
      const std::string f = need();
      const size_t eq = f.find('=');
      if (eq == std::string::npos || !ToInt(f.substr(0, eq).c_str(), 0, 4084, &n)) bad(v);
      sc.fields[static_cast<size_t>(n)] = f.substr(eq + 1);
    } else if (o == "--noise") {
      if (!posterm::ParseHex(need(), &sc.trans.noise)) bad(v);
    } else if (o == "--bad-lrc") {
      sc.trans.badLrcFirst = true;
    } else if (o == "--stale-id") {
      sc.trans.staleIdFirst = true;
    } else if (o == "--wrong-cmd") {
      if (!Code2(need(), &sc.trans.cmdCode)) bad(v);
    } else if (o == "--chunks") {
      if (!ToInt(need(), 1, 4096, &n)) bad(v);
      sc.trans.chunks = static_cast<int>(n);
    } else if (o == "--chunk-gap") {
      if (!ToInt(need(), 0, 60000, &n)) bad(v);
      sc.trans.chunkGapMs = static_cast<int>(n);
    } else if (o == "--silent") {
      sc.trans.end = posterm::Step::End::kSilence;
    } else if (o == "--hs-silent") {
      sc.handshake.end = posterm::Step::End::kSilence;
    } else if (o == "--hangup") {
      sc.trans.end = posterm::Step::End::kHangup;
    } else if (o == "--relay" || o == "--relay-hex") {
      posterm::RelayUnit u;
      if (!ParseRelay(need(), o == "--relay-hex", &u)) bad(v);
      relay.push_back(u);
    } else if (o == "--relay-after") {
      posterm::RelayUnit u;
      if (!ParseRelay(need(), false, &u)) bad(v);
      relayAfter.push_back(u);
    } else if (o == "--relay-cmd") {
      if (!Code2(need(), &relayCmd)) bad(v);
    } else if (o == "--relay-expect") {
      relayExpect = need();
      haveExpect = true;
    } else if (o == "--relay-timeout") {
      if (!ToInt(need(), 1, 3600000, &relayTimeout)) bad(v);
    } else {
      fprintf(stderr, "posterm: unknown option %s\n%s", o.c_str(), kUsage);
      return 2;
    }
  }
  for (std::vector<posterm::RelayUnit>* list : {&relay, &relayAfter}) {
    for (posterm::RelayUnit& u : *list) {
      u.cmd = relayCmd;
      u.timeoutMs = static_cast<int>(relayTimeout);
      u.checkPayload = haveExpect;
      u.expectPayload.assign(relayExpect.begin(), relayExpect.end());
    }
  }
  sc.trans.relay = relay;
  sc.trans.relayAfter = relayAfter;

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
      }
      term.Stop();
      PrintLine("EXIT", nullptr);
    }
  }
  if (log) fclose(log);
  return rc;
}
