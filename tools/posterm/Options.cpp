// posterm's options: each one sets a part of the terminal's scenario (answers, faults, relay units).
#include "Options.h"

#include "Replay.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace posterm {

const char kUsage[] =
    "usage: posterm [options]\n"
    "Line:\n"
    "  --device PATH        answer on this serial device instead of a new pseudo-terminal\n"
    "  --baud N             device speed (default 9600)\n"
    "  --log FILE           append every frame seen and sent (hex) and every event to FILE, each line\n"
    "                       with the wall time and the milliseconds since start (monotonic clock)\n"
    "  --count N            exit after N transaction answers (default: run until SIGTERM)\n"
    "  --check-journal DIR  when a request's first byte arrives, check that the last line of the newest\n"
    "                       journal file in DIR is that request's SENT (JOURNAL OK | JOURNAL BAD <why>)\n"
    "Answers:\n"
    "  --code CC            return code of transaction answers (default 00)\n"
    "  --hs-code CC         return code of handshake answers (default 00; other = refuse the handshake)\n"
    "  --delay MS           pause before a transaction answer   --hs-delay MS  the same for the handshake\n"
    "  --reply-len N        content length of a transaction answer (default 507, at least 207 to fill\n"
    "                       every response field; up to 8000, beyond what the register accepts)\n"
    "  --field NAME=VALUE   answer field: info amount batch merchant terminal name card expiry issuer\n"
    "                       acquirer date time auth ref ref2 extra trace text (padded or cut to width)\n"
    "  --set OFFSET=TEXT    put TEXT at this content offset of the transaction answer\n"
    "Faults (transaction answers):\n"
    "  --noise HEX          bytes sent before the answer\n"
    "  --bad-lrc            send the answer with a wrong LRC first, then the good one\n"
    "  --stale-id           send the answer under the previous transaction's identifier first\n"
    "  --wrong-cmd CC       answer with this command code\n"
    "  --len-delta N        the answer's LEN field says N bytes more (or less) than the frame holds\n"
    "  --chunks N           write the answer in N pieces  (--chunk-gap MS between them, default 60)\n"
    "  --cut N              write only the first N bytes of the answer, then close the line\n"
    "  --silent             never answer transactions     --hs-silent  never answer the handshake\n"
    "  --hangup             close the line instead of answering (a new line is opened: READY again)\n"
    "  --hs-hangup-after    close the line just after answering the handshake (before the request)\n"
    "Host relay (before the transaction answer):\n"
    "  --relay HOST:PORT:TEXT      send TEXT to the host through the register (repeatable)\n"
    "  --relay-hex HOST:PORT:HEX   the same with a payload in hex\n"
    "  --relay-after HOST:PORT:TEXT  send this unit after the answer, between the register's calls\n"
    "  --relay-cmd CC       command code of the units (default 00)\n"
    "  --relay-expect TEXT  the host's answer expected in every reply\n"
    "  --relay-timeout MS   wait for each reply (default 5000)\n"
    "Replay:\n"
    "  --replay FILE        answer as the library's log FILE recorded (level 4 or more; level 5 for relay\n"
    "                       units): the recorded answers under the live identifier, the recorded \"D0\"\n"
    "                       units with a filler payload; a request the log does not hold ends the replay\n"
    "                       (REPLAY END <why>, exit status 3)\n"
    "Output lines: READY <path>, REQUEST <op><cmd> id=<id> len=<n>, ANSWER <cmd> code=<cc>, SILENT,\n"
    "HANGUP, RELAY OK <n> | RELAY FAIL <why>, JOURNAL OK id=<id> | JOURNAL BAD <why>.\n";

namespace {

bool ToInt(const std::string& s, long lo, long hi, long* out) {
  char* end = nullptr;
  errno = 0;
  const long v = strtol(s.c_str(), &end, 10);
  if (errno || end == s.c_str() || *end || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool Code2(const std::string& s, std::string* out) {
  if (s.size() != 2) return false;
  *out = s;
  return true;
}

bool ParseRelay(const std::string& arg, bool hex, RelayUnit* u) {
  const size_t a = arg.find(':');
  const size_t b = a == std::string::npos ? a : arg.find(':', a + 1);
  if (b == std::string::npos) return false;
  u->host = arg.substr(0, a);
  u->port = arg.substr(a + 1, b - a - 1);
  const std::string data = arg.substr(b + 1);
  if (u->host.empty() || u->host.size() > 40 || u->port.empty() || u->port.size() > 6) return false;
  if (hex) return ParseHex(data, &u->payload);
  u->payload.assign(data.begin(), data.end());
  return true;
}

}  // namespace

std::vector<std::string> SplitWords(const std::string& line) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    const size_t j = line.find(' ', i);
    const size_t end = j == std::string::npos ? line.size() : j;
    if (end > i) out.push_back(line.substr(i, end - i));
    i = end;
  }
  return out;
}

bool ParseOptions(const std::vector<std::string>& args, Options* opt, std::string* err) {
  Scenario& sc = opt->scenario;
  std::string relayCmd = "00", relayExpect;
  bool haveExpect = false;
  long relayTimeout = 5000;
  std::vector<RelayUnit> relay, after;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& o = args[i];
    std::string v;
    auto need = [&]() -> bool {
      if (i + 1 >= args.size()) {
        *err = o + " needs a value";
        return false;
      }
      v = args[++i];
      return true;
    };
    auto bad = [&]() {
      *err = "bad value for " + o + ": " + v;
      return false;
    };
    long n;
    if (o == "--help" || o == "-h") {
      opt->help = true;
      return true;
    }
    // Every option but the flags takes one value.
    static const char* const kFlags[] = {"--bad-lrc",   "--stale-id", "--silent",
                                         "--hs-silent", "--hangup",   "--hs-hangup-after"};
    bool flag = false;
    for (const char* f : kFlags) flag = flag || o == f;
    if (!flag && !need()) return false;
    if (o == "--device") {
      opt->device = v;
    } else if (o == "--baud") {
      if (!ToInt(v, 50, 4000000, &opt->baud)) return bad();
    } else if (o == "--replay") {
      std::string note;
      if (!LoadReplay(v, &sc.replay, err, &note)) return false;
      if (!note.empty()) fprintf(stderr, "posterm: %s\n", note.c_str());
    } else if (o == "--log") {
      opt->logPath = v;
    } else if (o == "--check-journal") {
      opt->journalDir = v;
    } else if (o == "--count") {
      if (!ToInt(v, 0, 1000000, &opt->count)) return bad();
    } else if (o == "--code") {
      if (!Code2(v, &sc.trans.retCode)) return bad();
    } else if (o == "--hs-code") {
      if (!Code2(v, &sc.handshake.retCode)) return bad();
    } else if (o == "--delay" || o == "--hs-delay") {
      if (!ToInt(v, 0, 3600000, &n)) return bad();
      (o == "--delay" ? sc.trans : sc.handshake).delayMs = static_cast<int>(n);
    } else if (o == "--reply-len") {
      if (!ToInt(v, 8, 8000, &n)) return bad();
      sc.replyLen = static_cast<size_t>(n);
    } else if (o == "--field") {
      const size_t eq = v.find('=');
      size_t off, width;
      if (eq == std::string::npos || !ReplyFieldOffset(v.substr(0, eq), &off, &width)) return bad();
      std::string val = v.substr(eq + 1);
      val.resize(width, ' ');
      sc.fields[off] = val;
    } else if (o == "--set") {
      const size_t eq = v.find('=');
      if (eq == std::string::npos || !ToInt(v.substr(0, eq), 0, 4084, &n)) return bad();
      sc.fields[static_cast<size_t>(n)] = v.substr(eq + 1);
    } else if (o == "--noise") {
      if (!ParseHex(v, &sc.trans.noise)) return bad();
    } else if (o == "--bad-lrc") {
      sc.trans.badLrcFirst = true;
    } else if (o == "--stale-id") {
      sc.trans.staleIdFirst = true;
    } else if (o == "--wrong-cmd") {
      if (!Code2(v, &sc.trans.cmdCode)) return bad();
    } else if (o == "--len-delta") {
      if (!ToInt(v, -4000, 4000, &n) || n == 0) return bad();
      sc.trans.lenDelta = static_cast<int>(n);
    } else if (o == "--chunks") {
      if (!ToInt(v, 1, 4096, &n)) return bad();
      sc.trans.chunks = static_cast<int>(n);
    } else if (o == "--chunk-gap") {
      if (!ToInt(v, 0, 60000, &n)) return bad();
      sc.trans.chunkGapMs = static_cast<int>(n);
    } else if (o == "--cut") {
      if (!ToInt(v, 0, 65535, &n)) return bad();
      sc.trans.cutAfter = static_cast<int>(n);
    } else if (o == "--silent") {
      sc.trans.end = Step::End::kSilence;
    } else if (o == "--hs-silent") {
      sc.handshake.end = Step::End::kSilence;
    } else if (o == "--hangup") {
      sc.trans.end = Step::End::kHangup;
    } else if (o == "--hs-hangup-after") {
      sc.handshake.hangupAfter = true;
    } else if (o == "--relay" || o == "--relay-hex" || o == "--relay-after") {
      RelayUnit u;
      if (!ParseRelay(v, o == "--relay-hex", &u)) return bad();
      (o == "--relay-after" ? after : relay).push_back(u);
    } else if (o == "--relay-cmd") {
      if (!Code2(v, &relayCmd)) return bad();
    } else if (o == "--relay-expect") {
      relayExpect = v;
      haveExpect = true;
    } else if (o == "--relay-timeout") {
      if (!ToInt(v, 1, 3600000, &relayTimeout)) return bad();
    } else {
      *err = "unknown option " + o;
      return false;
    }
  }
  for (std::vector<RelayUnit>* list : {&relay, &after}) {
    for (RelayUnit& u : *list) {
      u.cmd = relayCmd;
      u.timeoutMs = static_cast<int>(relayTimeout);
      u.checkPayload = haveExpect;
      u.expectPayload.assign(relayExpect.begin(), relayExpect.end());
    }
  }
  sc.trans.relay = relay;
  sc.trans.relayAfter = after;
  return true;
}

}  // namespace posterm
