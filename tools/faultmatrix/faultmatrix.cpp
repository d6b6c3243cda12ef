// faultmatrix: the library against the simulated terminal and bank hosts under one fault at a time, from
// one table. Each row gives posterm and bankhost options, the documented result, the bound on the call's
// time, and what the response record, the receipt, the log and the relay must show; after each row an
// approval shows the port reopens. Modes:
// - (default) the matrix on Linux, in this process; descriptors, threads and memory checked at the end;
// - --wine DIR: the rows marked for Windows with DIR/kvwin.exe and DIR/KorvessaDLL.dll under Wine, then
//   LoadLibrary, one transaction, FreeLibrary 50 times;
// - --soak N: N approvals, a quarter with a relay round trip; resources checked;
// - --reload N: dlopen, one transaction, dlclose, N times; resources checked.
// --row TEXT runs only the rows whose name holds TEXT; --all also the rows kept disabled (each says what
// it waits for). Exit status 0 when every check passed. KV_E2E_KEEP=1 keeps the work folders.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Options.h"
#include "KorvessaDLL.h"
#include "Rig.h"

extern char** environ;

namespace {

using posterm::Frame;

// What the response record must hold: the mapping of the last frame decoded (the transaction's answer, the
// handshake's answer, or a transmit-data unit), or the caller's bytes untouched.
enum class Rsp { kAnswer, kHandshake, kUnit, kUntouched };

const char* OperOf(Rsp r) { return r == Rsp::kAnswer ? "A0" : r == Rsp::kHandshake ? "C0" : "D0"; }

struct Row {
  std::string name;
  std::string posterm;   // posterm options; "{port}" is the bank host's port
  std::string bankhost;  // bankhost options; "" = no host
  int result;            // documented result code
  Rsp rsp;
  int boundMs;     // the step's time-out + 0.5 s (+ 0.3 s for a handshake and its pause before a request)
  int relay = -1;  // -1: no unit; 1: the terminal gets the host's reply; 0: it gets none
  std::string logText;   // a line the call must log ("" = none checked)
  bool wine = false;     // in the Windows subset
  std::string disabled;  // why the row does not run yet ("" = it runs)
};

const int kTrade = 1000;  // TradeTimeOut=1

// Resident memory may grow this much (KiB); a sanitizer's own bookkeeping grows without bound, so under
// one only descriptors and threads are compared.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const long kRssSlackKiB = 1L << 30;
#else
const long kRssSlackKiB = 1024;
#endif
const int kTradeBound = 300 + kTrade + 500;
const int kHsBound = 2000 + 500;

std::string Garbage() {  // 256 bytes in a scrambled order: every value once, ETX included, STX replaced
  std::string h;
  char b[3];
  for (int i = 0; i < 256; ++i) {
    const int v = (i * 37 + 11) & 0xFF;
    snprintf(b, sizeof b, "%02X", v == 0x02 ? 0xFE : v);
    h += b;
  }
  return h;
}

std::vector<Row> Matrix() {
  const std::string relay = "--relay-timeout 400 --relay 127.0.0.1:{port}:PAYLOAD-1";
  return {
      {"approval", "", "", KORVESSA_OK, Rsp::kAnswer, kTradeBound, -1, "", true},
      {"silence", "--silent", "", KORVESSA_ERR_TIMEOUT, Rsp::kHandshake, kTradeBound, -1,
       "处理消费(发送->接收)时间超时，超时时间=1000(ms).", true},
      {"handshake unanswered", "--hs-silent", "", KORVESSA_ERR_TIMEOUT, Rsp::kUntouched, kHsBound, -1,
       "处理握手(发送->接收)时间超时，超时时间=2000(ms)."},
      {"refusal 05", "--code 05", "", KORVESSA_REFUSAL('0', '5'), Rsp::kAnswer, kTradeBound, -1, "", true},
      {"handshake refused", "--hs-code 05", "", KORVESSA_REFUSAL('0', '5'), Rsp::kUntouched, kHsBound},
      {"line closed before the request", "--hs-hangup-after", "", KORVESSA_ERR_WRITE, Rsp::kHandshake,
       kTradeBound, -1, "往串口写入数据异常，有可能是连接的串口线坏了或拔掉了", true},
      {"line closed in mid-frame", "--cut 3", "", KORVESSA_ERR_TIMEOUT, Rsp::kHandshake, kTradeBound},
      {"line closed in mid-answer", "--chunks 4 --chunk-gap 50 --cut 300", "", KORVESSA_ERR_TIMEOUT,
       Rsp::kHandshake, kTradeBound},
      {"line closed instead of the answer", "--hangup", "", KORVESSA_ERR_TIMEOUT, Rsp::kHandshake,
       kTradeBound},
      {"garbage burst", "--noise " + Garbage(), "", KORVESSA_OK, Rsp::kAnswer, kTradeBound, -1, "", true},
      {"noise before STX", "--noise 4141", "", KORVESSA_OK, Rsp::kAnswer, kTradeBound},
      {"stray STX before the answer", "--noise 0202", "", KORVESSA_OK, Rsp::kAnswer, kTradeBound},
      {"stray STX, a 300-byte answer", "--noise 02 --reply-len 300", "", KORVESSA_OK, Rsp::kAnswer,
       kTradeBound},
      {"5000-byte frame", "--reply-len 4989", "", KORVESSA_ERR_TIMEOUT, Rsp::kHandshake, kTradeBound},
      {"LEN says 10 more", "--len-delta 10", "", KORVESSA_ERR_TIMEOUT, Rsp::kHandshake, kTradeBound},
      // Decoded (and mapped) although it fails the check: the response holds what was loaded last.
      {"LEN says 10 less", "--len-delta -10", "", KORVESSA_ERR_TIMEOUT, Rsp::kAnswer, kTradeBound},
      {"stale identifier", "--stale-id", "", KORVESSA_OK, Rsp::kAnswer, kTradeBound, -1, "", true},
      {"wrong command code", "--wrong-cmd 52", "", KORVESSA_ERR_TIMEOUT, Rsp::kAnswer, kTradeBound, -1,
       "发送数据的指令代码(\"30\":消费)和接收数据的指令代码(\"52\""},
      {"relay round trip", relay + " --relay-expect HOST-OK", "--mode answer --reply-text HOST-OK",
       KORVESSA_OK, Rsp::kAnswer, kTradeBound, 1, "", true},
      {"host refuses", relay, "--mode refuse", KORVESSA_OK, Rsp::kAnswer, kTradeBound, 0, "", true},
      {"host never answers", relay, "--mode silent", KORVESSA_OK, Rsp::kAnswer, kTradeBound, 0},
      {"host closes at once", relay, "--mode hangup", KORVESSA_OK, Rsp::kAnswer, kTradeBound, 0},
      {"host answers 4033 bytes", relay, "--mode answer --reply-len 4033", KORVESSA_OK, Rsp::kAnswer,
       kTradeBound, 1},
      {"host answers 4034 bytes", relay, "--mode answer --reply-len 4034", KORVESSA_OK, Rsp::kAnswer,
       kTradeBound, 0},
      {"host's connect hangs", "--relay-timeout 3000 --relay 127.0.0.1:{port}:PAYLOAD-1 --silent",
       "--mode hang", KORVESSA_ERR_TIMEOUT, Rsp::kUnit, kTradeBound, 0, "", true},
      {"unit between calls", "--relay-after 127.0.0.1:{port}:BETWEEN --relay-expect HOST-OK",
       "--mode answer --reply-text HOST-OK", KORVESSA_OK, Rsp::kAnswer, kTradeBound, 1},
  };
}

struct Tally {
  int failed = 0;
  bool Check(bool ok, const std::string& what) {
    if (!ok) {
      printf("    FAIL: %s\n", what.c_str());
      ++failed;
    }
    return ok;
  }
};

std::string Here(const char* argv0, const char* name) {
  char real[4096];
  std::string p = realpath(argv0, real) ? real : argv0;
  const size_t s = p.rfind('/');
  return (s == std::string::npos ? std::string(".") : p.substr(0, s)) + "/" + name;
}

// The content of the last frame the terminal sent with this operation type, as its LEN gives it (the
// library loads a frame that fails the check all the same); empty when none.
posterm::Bytes LastSent(const posterm::Terminal& term, const std::string& op) {
  const std::vector<Frame> sent = term.Sent();
  for (auto it = sent.rbegin(); it != sent.rend(); ++it) {
    if (it->OperType() == op) return it->content;
  }
  return {};
}

bool SameResources(const rig::Resources& a, const rig::Resources& b, long rssSlackKiB) {
  return a.fds == b.fds && a.threads == b.threads && b.rssKiB - a.rssKiB <= rssSlackKiB;
}

// Counts settle once the port's and the relay's threads are gone: wait a little for that, bounded.
rig::Resources SettledLike(const rig::Resources& want, long rssSlackKiB) {
  rig::Resources now = rig::Measure();
  for (int i = 0; i < 30 && !SameResources(want, now, rssSlackKiB); ++i) {
    usleep(100 * 1000);
    now = rig::Measure();
  }
  return now;
}

void PrintResources(const char* what, const rig::Resources& r) {
  printf("%s: %d descriptors, %d threads, %ld KiB resident\n", what, r.fds, r.threads, r.rssKiB);
}

struct Env {
  std::string library, posterm, bankhost;
};

// One row in this process. Returns false when a check failed.
bool RunRow(const Env& env, const Row& row, posterm::Terminal& term, rig::Library& lib, Tally& t) {
  rig::Host host;
  std::string err;
  if (!row.bankhost.empty() && !t.Check(host.Start(env.bankhost, row.bankhost, &err), err)) return false;
  posterm::Options opt;
  if (!t.Check(
          posterm::ParseOptions(posterm::SplitWords(rig::WithPort(row.posterm, host.port())), &opt, &err),
          "posterm options: " + err)) {
    return false;
  }
  opt.scenario.fields = e2e::FixedScenario().fields;
  term.ClearRecords();
  term.SetScenario(opt.scenario);
  rig::FollowLine(term);
  const int hangups = term.Hangups();
  const std::string receipt = lib.Dir() + "/print.txt";
  remove(receipt.c_str());
  const size_t logBefore = lib.LogText().size();
  const std::string req = e2e::FullRequest("30");
  std::string rsp;
  double ms = 0;
  const int r = lib.Call(req, &rsp, &ms);
  const int failedBefore = t.failed;
  t.Check(r == row.result, "result " + std::to_string(r) + ", documented " + std::to_string(row.result));
  t.Check(ms <= row.boundMs, "returned after " + std::to_string(static_cast<int>(ms)) + " ms, bound " +
                                 std::to_string(row.boundMs) + " ms");
  std::string want(KORVESSA_RESPONSE_SIZE, '#');
  if (row.rsp != Rsp::kUntouched) {
    const posterm::Bytes c = LastSent(term, OperOf(row.rsp));
    t.Check(!c.empty(), "the terminal sent the frame the response comes from");
    want = e2e::ExpectedResponse(c, req);
  }
  t.Check(rsp == want, "response record\n      got  [" + rsp + "]\n      want [" + want + "]");
  const std::string printed = e2e::ReadFile(receipt);
  if (r == 0) {
    t.Check(printed.find("卡号:6222 02** **** ***0 123|\r\n") != std::string::npos &&
                printed.find("金额:RMB 123.45 100%\r\n") != std::string::npos,
            "receipt with the masked card and the amount");
  } else {
    t.Check(access(receipt.c_str(), F_OK) != 0, "no receipt after a failure");
  }
  if (!row.logText.empty()) {
    // Bounded: the log line may follow the return by a moment when another thread writes it.
    bool seen = false;
    for (int i = 0; i < 20 && !seen; ++i, usleep(i > 1 ? 50 * 1000 : 0)) {
      seen = lib.LogText().find(row.logText, logBefore) != std::string::npos;
    }
    t.Check(seen, "log line: " + row.logText);
  }
  if (row.relay >= 0) {
    bool got = false;
    for (int i = 0; i < 60 && !got; ++i, usleep(50 * 1000)) got = !term.RelayResults().empty();
    const std::vector<posterm::RelayResult> rr = term.RelayResults();
    t.Check(got && rr.back().ok == (row.relay == 1),
            std::string("relay ") + (row.relay ? "reply" : "no reply") + (got ? ": " + rr.back().error : ""));
  }
  if (term.Hangups() != hangups) rig::FollowLine(term);
  // The port is reopened (or reused) by the next call: an approval.
  term.ClearRecords();
  term.SetScenario(e2e::FixedScenario());
  const int again = lib.Call(req, nullptr, nullptr);
  t.Check(again == 0 && !term.Received().empty(), "next call approved: " + std::to_string(again));
  printf("  %-36s %6d %6.0f ms  %s\n", row.name.c_str(), r, ms, t.failed == failedBefore ? "ok" : "FAILED");
  return t.failed == failedBefore;
}

int RunMatrix(const Env& env, bool all, const std::string& only) {
  posterm::Terminal term;
  rig::Library lib;
  std::string err;
  if (!rig::StartTerminal(&term, &err) || !lib.Prepare(env.library, rig::RigIni(1, 4), &err) ||
      !lib.Load(&err)) {
    fprintf(stderr, "faultmatrix: %s\n", err.c_str());
    return 2;
  }
  Tally t;
  rig::Resources base;
  bool first = true;
  for (const Row& row : Matrix()) {
    if (!only.empty() && row.name.find(only) == std::string::npos && !first) continue;
    if (!row.disabled.empty() && !all) {
      printf("  %-36s disabled: %s\n", row.name.c_str(), row.disabled.c_str());
      continue;
    }
    RunRow(env, row, term, lib, t);
    if (first) base = rig::Measure();
    first = false;
  }
  // After the whole matrix the port is open again, as after the first call: nothing more is held.
  const rig::Resources end = SettledLike(base, kRssSlackKiB);
  PrintResources("after the first call", base);
  PrintResources("after the matrix    ", end);
  t.Check(SameResources(base, end, kRssSlackKiB), "descriptors, threads and memory back at their level");
  lib.Unload();
  term.Stop();
  if (t.failed == 0 && !getenv("KV_E2E_KEEP")) lib.RemoveDir();
  printf("%s (%d failed checks)\n", t.failed ? "FAILED" : "PASSED", t.failed);
  return t.failed ? 1 : 0;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double Quantile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))];
}

// Approvals in one process, one in four with a relay round trip. Every call must be approved and every
// unit answered; after the run the descriptors and threads are those after the warm-up and the resident
// memory is within 1 MiB of it.
int RunSoak(const Env& env, int calls) {
  const int kWarmUp = 20;
  posterm::Terminal term;
  rig::Library lib;
  rig::Host host;
  std::string err;
  if (!rig::StartTerminal(&term, &err) || !lib.Prepare(env.library, rig::RigIni(2, 4), &err) ||
      !lib.Load(&err) || !host.Start(env.bankhost, "--mode answer --reply-text HOST-OK", &err)) {
    fprintf(stderr, "faultmatrix: %s\n", err.c_str());
    return 2;
  }
  posterm::Options relay;
  if (!posterm::ParseOptions(posterm::SplitWords(rig::WithPort(
                                 "--relay 127.0.0.1:{port}:PAYLOAD --relay-expect HOST-OK", host.port())),
                             &relay, &err)) {
    fprintf(stderr, "faultmatrix: %s\n", err.c_str());
    return 2;
  }
  relay.scenario.fields = e2e::FixedScenario().fields;
  const std::string req = e2e::FullRequest("30");
  Tally t;
  rig::Resources base;
  std::vector<double> plain, relayed;
  int approved = 0;
  const double start = rig::NowMs();
  for (int i = 0; i < kWarmUp + calls && t.failed < 10; ++i) {
    if (i == kWarmUp) base = rig::Measure();
    const bool withRelay = i % 4 == 0;
    term.ClearRecords();
    term.SetScenario(withRelay ? relay.scenario : e2e::FixedScenario());
    double ms = 0;
    const int r = lib.Call(req, nullptr, &ms);
    const std::vector<posterm::RelayResult> rr = term.RelayResults();
    const bool ok = r == 0 && (!withRelay || (rr.size() == 1 && rr[0].ok));
    t.Check(ok, "call " + std::to_string(i) + ": result " + std::to_string(r) +
                    (withRelay ? ", relay " + (rr.empty() ? std::string("none") : rr[0].error) : ""));
    if (i < kWarmUp) continue;
    approved += ok;
    (withRelay ? relayed : plain).push_back(ms);
  }
  const double total = rig::NowMs() - start;
  const rig::Resources end = SettledLike(base, kRssSlackKiB);
  printf("%d/%d approved (%d with a relay round trip) in %.1f s\n", approved, calls,
         static_cast<int>(relayed.size()), total / 1000);
  printf("BankTrans: median %.1f ms, 90%% %.1f ms, max %.1f ms; with a relay: median %.1f ms\n",
         Median(plain), Quantile(plain, 0.9), Quantile(plain, 1.0), Median(relayed));
  PrintResources("after the warm-up", base);
  PrintResources("after the run    ", end);
  printf("growth per 1000 calls: %.1f descriptors, %.1f threads, %.0f KiB\n",
         (end.fds - base.fds) * 1000.0 / calls, (end.threads - base.threads) * 1000.0 / calls,
         static_cast<double>(end.rssKiB - base.rssKiB) * 1000.0 / calls);
  t.Check(approved == calls, "every call approved");
  t.Check(SameResources(base, end, kRssSlackKiB), "descriptors, threads and memory back at their level");
  lib.Unload();
  term.Stop();
  if (t.failed == 0 && !getenv("KV_E2E_KEEP")) lib.RemoveDir();
  printf("%s\n", t.failed ? "FAILED" : "PASSED");
  return t.failed ? 1 : 0;
}

// Load, one transaction, unload, again and again: with the port left open (an approval), with it closed
// (a refusal closes it) and with a relay waiting for a further payload (a unit relayed between calls).
// Every unload is prompt; nothing grows.
int RunReload(const Env& env, int rounds) {
  posterm::Terminal term;
  rig::Library lib;
  rig::Host host;
  std::string err;
  if (!rig::StartTerminal(&term, &err) || !lib.Prepare(env.library, rig::RigIni(2, 4), &err) ||
      !host.Start(env.bankhost, "--mode answer --reply-text HOST-OK", &err)) {
    fprintf(stderr, "faultmatrix: %s\n", err.c_str());
    return 2;
  }
  const std::vector<std::string> kinds = {"port left open", "port closed", "relay waiting"};
  const std::string req = e2e::FullRequest("30");
  Tally t;
  rig::Resources base;
  std::vector<double> unloadMs;
  for (int i = 0; i < rounds && t.failed < 10; ++i) {
    const size_t kind = static_cast<size_t>(i) % 3;
    posterm::Options opt;
    const std::string o = kind == 1 ? "--code 05" : kind == 2 ? "--relay-after 127.0.0.1:{port}:BETWEEN" : "";
    posterm::ParseOptions(posterm::SplitWords(rig::WithPort(o, host.port())), &opt, &err);
    opt.scenario.fields = e2e::FixedScenario().fields;
    term.ClearRecords();
    term.SetScenario(opt.scenario);
    if (!t.Check(lib.Load(&err), "load: " + err)) break;
    const int r = lib.Call(req, nullptr, nullptr);
    t.Check(r == (kind == 1 ? KORVESSA_REFUSAL('0', '5') : KORVESSA_OK),
            kinds[kind] + ": result " + std::to_string(r));
    if (kind == 2) {
      bool got = false;
      for (int k = 0; k < 60 && !got; ++k, usleep(50 * 1000)) got = !term.RelayResults().empty();
      t.Check(got && term.RelayResults()[0].ok, "the unit between calls was relayed");
    }
    const double t0 = rig::NowMs();
    lib.Unload();
    unloadMs.push_back(rig::NowMs() - t0);
    t.Check(unloadMs.back() < 1000, kinds[kind] + ": unload took " + std::to_string(unloadMs.back()) + " ms");
    t.Check(!lib.Mapped(), kinds[kind] + ": the library is still mapped after dlclose");
    if (i == 0) base = SettledLike(rig::Measure(), 0);
  }
  const rig::Resources end = SettledLike(base, kRssSlackKiB);
  printf("%d rounds; unload: median %.1f ms, max %.1f ms\n", rounds, Median(unloadMs),
         Quantile(unloadMs, 1.0));
  PrintResources("after the first round", base);
  PrintResources("after the last round ", end);
  t.Check(SameResources(base, end, kRssSlackKiB), "descriptors, threads and memory back at their level");
  term.Stop();
  if (t.failed == 0 && !getenv("KV_E2E_KEEP")) lib.RemoveDir();
  printf("%s\n", t.failed ? "FAILED" : "PASSED");
  return t.failed ? 1 : 0;
}

// A program run in the background with its output in a file (posterm for the Windows rows).
class Child {
 public:
  ~Child() { Stop(); }
  bool Start(const std::vector<std::string>& words, const std::string& outFile) {
    std::vector<std::string> w = words;
    std::vector<char*> argv;
    for (std::string& x : w) argv.push_back(&x[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int rc = posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) pid_ = -1;
    return rc == 0;
  }
  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

// Waits (bounded) for a line starting with prefix in a file; returns the rest of the line.
std::string WaitLine(const std::string& file, const std::string& prefix, int ms) {
  for (double end = rig::NowMs() + ms; rig::NowMs() < end; usleep(50 * 1000)) {
    const std::string text = e2e::ReadFile(file);
    size_t at = text.find("\n" + prefix);
    if (text.compare(0, prefix.size(), prefix) == 0) {
      at = 0;
    } else if (at == std::string::npos) {
      continue;
    } else {
      ++at;
    }
    const size_t nl = text.find('\n', at);
    if (nl != std::string::npos) return text.substr(at + prefix.size(), nl - at - prefix.size());
  }
  return "";
}

// The content of the last frame of this operation type that posterm logged as written ("TX <hex>").
posterm::Bytes LastLogged(const std::string& logFile, const std::string& op) {
  posterm::Bytes found;
  const std::string text = e2e::ReadFile(logFile);
  for (size_t at = 0; (at = text.find(" TX ", at)) != std::string::npos; at += 4) {
    const size_t nl = text.find('\n', at);
    std::string hex = text.substr(at + 4, nl == std::string::npos ? std::string::npos : nl - at - 4);
    if (hex.compare(0, 16, "(transmit data) ") == 0) hex.erase(0, 16);
    posterm::Bytes raw;
    if (hex.empty() || hex[0] == '(' || !posterm::ParseHex(hex, &raw) || raw.size() < 13) continue;
    const posterm::Bytes content(raw.begin() + 9, raw.end() - 2);
    if (content[0] == op[0] && content[1] == op[1]) found = content;
  }
  return found;
}

// The rows marked for Windows, with kvwin.exe and KorvessaDLL.dll of a Windows build under Wine, a fresh
// posterm for each row on a pseudo-terminal linked as the prefix's COM7, the hosts on 127.0.0.1. Then
// load, one transaction, unload 50 times (LoadLibrary/FreeLibrary).
int RunWine(const Env& env, const std::string& winDir, bool all, const std::string& only) {
  // The prefix as scripts/wine-run chooses it.
  std::string prefixDir = getenv("WINEPREFIX") ? getenv("WINEPREFIX")
                          : getenv("KV_WINEPREFIX")
                              ? getenv("KV_WINEPREFIX")
                              : std::string(getenv("HOME") ? getenv("HOME") : "/tmp") + "/.korvessa-wine";
  const char* prefix = prefixDir.c_str();
  setenv("WINEPREFIX", prefix, 1);
  setenv("WINEDEBUG", "-all", 1);
  std::string err;
  std::string dir;
  if (!e2e::MakeScratchFolder("kv_wine_matrix_", &dir)) return 2;
  for (const char* f : {"kvwin.exe", "KorvessaDLL.dll"}) {
    e2e::WriteFile(dir + "/" + f, e2e::ReadFile(winDir + "/" + f));
  }
  e2e::WriteFile(dir + "/Config.ini", rig::RigIni(1, 4).Text());
  const std::string com = std::string(prefix) + "/dosdevices/com7";
  const std::string wine = std::string(KV_SOURCE_DIR) + "/scripts/wine-run";
  const std::string req = e2e::FullRequest("30");
  auto runKvwin = [&](int rounds, int holdMs) {
    const std::string cmd = "cd " + dir + " && timeout 300 " + wine + " ./kvwin.exe " + req + " " +
                            std::to_string(rounds) + " " + std::to_string(holdMs) + " >kvwin.out 2>&1";
    return system(cmd.c_str());
  };
  runKvwin(0, 0);  // the prefix exists after the first program has run in it
  Tally t;
  Child pt;
  auto startPosterm = [&](const std::string& options) {
    pt.Stop();
    std::vector<std::string> words =
        posterm::SplitWords(options + " --field date=20261208 --field time=143015");
    words.insert(words.begin(), {env.posterm, "--log", dir + "/posterm.log"});
    remove((dir + "/posterm.log").c_str());
    if (!pt.Start(words, dir + "/posterm.out")) return false;
    const std::string line = WaitLine(dir + "/posterm.out", "READY ", 5000);
    remove(com.c_str());
    return !line.empty() && symlink(line.c_str(), com.c_str()) == 0;
  };
  for (const Row& row : Matrix()) {
    if (!row.wine || (!only.empty() && row.name.find(only) == std::string::npos)) continue;
    if (!row.disabled.empty() && !all) {
      printf("  %-36s disabled: %s\n", row.name.c_str(), row.disabled.c_str());
      continue;
    }
    const int failedBefore = t.failed;
    rig::Host host;
    if (!row.bankhost.empty() && !t.Check(host.Start(env.bankhost, row.bankhost, &err), err)) continue;
    if (!t.Check(startPosterm(rig::WithPort(row.posterm, host.port())), "posterm did not start")) continue;
    remove((dir + "/print.txt").c_str());
    runKvwin(1, 0);
    const std::string out = e2e::ReadFile(dir + "/kvwin.out");
    int r = 0, ms = 0, freeMs = 0, round = -1;
    char rsp[KORVESSA_RESPONSE_SIZE + 1] = {0};
    const size_t at = out.find("ROUND ");
    if (at == std::string::npos || sscanf(out.c_str() + at, "ROUND %d RESULT %d MS %d FREE %d RESPONSE [",
                                          &round, &r, &ms, &freeMs) != 4) {
      t.Check(false, "kvwin.exe output:\n" + out);
      continue;
    }
    const size_t open = out.find('[', at);
    if (open != std::string::npos && open + 1 + KORVESSA_RESPONSE_SIZE <= out.size()) {
      memcpy(rsp, out.data() + open + 1, KORVESSA_RESPONSE_SIZE);
    }
    t.Check(r == row.result, "result " + std::to_string(r) + ", documented " + std::to_string(row.result));
    t.Check(ms <= row.boundMs,
            "returned after " + std::to_string(ms) + " ms, bound " + std::to_string(row.boundMs));
    std::string want(KORVESSA_RESPONSE_SIZE, '#');
    if (row.rsp != Rsp::kUntouched) {
      want = e2e::ExpectedResponse(LastLogged(dir + "/posterm.log", OperOf(row.rsp)), req);
    }
    const std::string got(rsp, KORVESSA_RESPONSE_SIZE);
    t.Check(want == got, "response record\n      got  [" + got + "]\n      want [" + want + "]");
    const bool receipt = access((dir + "/print.txt").c_str(), F_OK) == 0;
    t.Check(receipt == (r == 0), r == 0 ? "a receipt after an approval" : "no receipt after a failure");
    if (!row.logText.empty()) {
      std::string log;
      if (DIR* d = opendir((dir + "/Log").c_str())) {
        while (struct dirent* e = readdir(d)) log += e2e::ReadFile(dir + "/Log/" + e->d_name);
        closedir(d);
      }
      t.Check(log.find(row.logText) != std::string::npos, "log line: " + row.logText);
    }
    if (row.relay >= 0) {
      const std::string relay = WaitLine(dir + "/posterm.out", "RELAY ", 3000);
      t.Check((relay.compare(0, 2, "OK") == 0) == (row.relay == 1), "relay: " + relay);
    }
    printf("  %-36s %6d %6d ms  %s\n", row.name.c_str(), r, ms, t.failed == failedBefore ? "ok" : "FAILED");
  }
  // Load, one transaction, unload: 50 times with the port left open by every approval, then 10 times with
  // a relay waiting for a further payload (a unit relayed between calls) at every FreeLibrary. There the
  // relay thread cannot end under the loader lock, and the library's bounded wait for it (3 s) runs out
  // every time: no hang, no crash, but each FreeLibrary takes about 3.5 s, hence the fewer rounds.
  rig::Host relayHost;
  for (int waiting = 0; only.empty() && waiting <= 1; ++waiting) {
    const int want = waiting ? 10 : 50, freeBound = waiting ? 5000 : 1000;
    std::string options;
    if (waiting) {
      if (!t.Check(relayHost.Start(env.bankhost, "--mode answer --reply-text HOST-OK", &err), err)) break;
      options = rig::WithPort("--relay-after 127.0.0.1:{port}:BETWEEN", relayHost.port());
    }
    if (!t.Check(startPosterm(options), "posterm did not start")) break;
    runKvwin(want, waiting ? 1000 : 0);  // waiting: the unit is relayed before FreeLibrary
    const std::string out = e2e::ReadFile(dir + "/kvwin.out");
    int rounds = 0, approved = 0, maxFree = 0;
    for (size_t at = 0; (at = out.find("ROUND ", at)) != std::string::npos; ++at) {
      int i, r, ms, fr;
      if (sscanf(out.c_str() + at, "ROUND %d RESULT %d MS %d FREE %d", &i, &r, &ms, &fr) != 4) continue;
      ++rounds;
      approved += r == 0;
      maxFree = std::max(maxFree, fr);
    }
    const size_t h = out.find("HANDLES ");
    printf("  LoadLibrary, BankTrans, FreeLibrary%s: %d/%d approved, longest FreeLibrary %d ms, %s\n",
           waiting ? " (relay waiting)" : "", approved, want, maxFree,
           h == std::string::npos ? "no counts" : out.substr(h, out.find('\n', h) - h).c_str());
    t.Check(rounds == want && approved == want && maxFree < freeBound,
            std::to_string(want) + " rounds of load, approval, unload, FreeLibrary under " +
                std::to_string(freeBound) + " ms");
    if (waiting) {
      const std::string pt = e2e::ReadFile(dir + "/posterm.out");
      int relayed = 0;
      for (size_t at = 0; (at = pt.find("RELAY OK", at)) != std::string::npos; ++at) ++relayed;
      t.Check(relayed == want, std::to_string(relayed) + " units between calls relayed");
    }
  }
  pt.Stop();
  remove(com.c_str());
  if (t.failed == 0 && !getenv("KV_E2E_KEEP")) {
    e2e::RemoveScratchFolder(dir);
  }
  printf("%s (%d failed checks)\n", t.failed ? "FAILED" : "PASSED", t.failed);
  return t.failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  Env env{KV_LIBRARY_FILE, Here(argv[0], "posterm"), Here(argv[0], "bankhost")};
  bool all = false;
  std::string mode = "matrix", arg, only;
  for (int i = 1; i < argc; ++i) {
    const std::string o = argv[i];
    if (o == "--all") {
      all = true;
    } else if (o == "--row" && i + 1 < argc) {
      only = argv[++i];
    } else if ((o == "--wine" || o == "--soak" || o == "--reload") && i + 1 < argc) {
      mode = o.substr(2);
      arg = argv[++i];
    } else {
      fprintf(stderr, "usage: faultmatrix [--all] [--row TEXT] [--wine DIR | --soak N | --reload N]\n");
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  if (mode == "matrix") return RunMatrix(env, all, only);
  const int n = atoi(arg.c_str());
  if (mode == "soak" && n > 0) return RunSoak(env, n);
  if (mode == "reload" && n > 0) return RunReload(env, n);
  if (mode == "wine") return RunWine(env, arg, all, only);
  fprintf(stderr, "faultmatrix: mode %s not built yet\n", mode.c_str());
  return 2;
}
