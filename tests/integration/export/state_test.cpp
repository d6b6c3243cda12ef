// The call's state read from a second thread while the call runs, and the register abandoning the wait:
// through the built library, with the simulated terminal and a bank host on 127.0.0.1.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "LogCmd.h"
#include "e2e_harness.h"

namespace e2e {
namespace {

using posterm::Scenario;
using posterm::Step;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// A host that takes the connection and the payload and never answers.
class MuteHost {
 public:
  MuteHost() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd_, 4) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
      port_ = ntohs(a.sin_port);
    }
  }
  ~MuteHost() { close(fd_); }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// Polls GetValue("state") (and the seconds, and the host while relaying) every 30 ms on its own thread
// until stopped; keeps each change and the longest time one poll took.
class Poller {
 public:
  explicit Poller(PFN_GetValue get) : get_(get), thread_([this] { Run(); }) {}
  ~Poller() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // Waits until the state reads `what` (true) or the time is up.
  bool WaitFor(const std::string& what, int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
      if (current_.load() == Index(what)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }
  std::vector<std::string> seen;  // read after Stop
  std::vector<std::string> hosts;
  double longest = 0;
  bool secondsNumeric = true;

 private:
  static int Index(const std::string& s) {
    static const char* const kNames[] = {"idle", "opening", "handshake", "waiting", "host", "finishing"};
    for (int i = 0; i < 6; ++i) {
      if (s == kNames[i]) return i;
    }
    return -1;
  }
  void Run() {
    while (!stop_) {
      const auto t0 = Clock::now();
      const std::string s = get_("state");
      const std::string sec = get_("stateSeconds");
      const std::string host = get_("stateHost");
      const double took = SecondsSince(t0);
      if (took > longest) longest = took;
      secondsNumeric =
          secondsNumeric && !sec.empty() && sec.find_first_not_of("0123456789") == std::string::npos;
      if (seen.empty() || seen.back() != s) seen.push_back(s);
      if (s == "host" && !host.empty()) hosts.push_back(host);
      current_ = Index(s);
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
  }
  PFN_GetValue get_;
  std::atomic<bool> stop_{false};
  std::atomic<int> current_{-1};
  std::thread thread_;
};

// Index of `what` in `v` at or after `from`; v.size() when absent.
size_t Find(const std::vector<std::string>& v, const std::string& what, size_t from = 0) {
  for (size_t i = from; i < v.size(); ++i) {
    if (v[i] == what) return i;
  }
  return v.size();
}

TEST_F(E2eTest, StateFollowsTheCallFromAnotherThreadWithoutWaitingForIt) {
  MuteHost host;
  ASSERT_NE(0, host.port());
  Ini ini = DefaultIni();
  ini.Set("TCP", "TradeTimeOut", "5");
  WriteConfig(ini);
  Scenario s = FixedScenario();
  s.handshake.delayMs = 300;
  s.trans.delayMs = 300;
  posterm::RelayUnit u;
  u.host = "127.0.0.1";
  u.port = std::to_string(host.port());
  u.payload = {'P', 'A', 'Y'};
  u.expectReply = false;
  u.timeoutMs = 500;  // the host never answers: the unit is relayed for half a second
  s.trans.relay = {u};
  term_.SetScenario(s);
  for (bool facade : {false, true}) {
    SCOPED_TRACE(facade ? "TransProcess" : "BankTrans");
    EXPECT_STREQ("idle", getValue_("state"));
    Poller poll(getValue_);
    if (facade) {
      putValue_("transType", "30");
      transProcess_();
      EXPECT_STREQ("00", getValue_("rejCode"));
    } else {
      ASSERT_EQ(0, Run(FullRequest("30"), nullptr));
    }
    const char* own = getValue_("lastOutcome");  // this thread's value stays while the other polls
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    poll.Stop();
    EXPECT_STREQ("approved", own);
    EXPECT_LT(poll.longest, 1.0);  // no poll waited for the call (one takes microseconds)
    EXPECT_TRUE(poll.secondsNumeric);
    const size_t hs = Find(poll.seen, "handshake");
    const size_t wait = Find(poll.seen, "waiting", hs);
    const size_t relay = Find(poll.seen, "host", wait);
    EXPECT_LT(relay, poll.seen.size()) << testing::PrintToString(poll.seen);
    EXPECT_EQ("idle", poll.seen.back()) << testing::PrintToString(poll.seen);
    ASSERT_FALSE(poll.hosts.empty());
    EXPECT_EQ("127.0.0.1:" + std::to_string(host.port()), poll.hosts.front());
  }
}

TEST_F(E2eTest, AbandonEndsTheWaitLikeATimeOut) {
  Ini ini = DefaultIni();
  ini.Set("TCP", "TradeTimeOut", "30");
  WriteConfig(ini);
  struct Case {
    const char* name;
    bool silentHandshake;
    const char* waitFor;  // the state in which the register gives up
    const char* outcome;
    const char* event;
    const char* timeline;  // the result korvessa log gives the call
  } cases[] = {
      {"request", false, "waiting", "uncertain", "UNCERTAIN", "after the request went out: UNCERTAIN"},
      {"handshake", true, "handshake", "not-sent", "NOT-SENT", "before the request went out (nothing sent)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scenario s = FixedScenario();
    (c.silentHandshake ? s.handshake : s.trans).end = Step::End::kSilence;
    term_.SetScenario(s);
    const int before = static_cast<int>(JournalLines(Dir()).size());
    std::atomic<int> r{1};
    std::atomic<bool> done{false};
    std::thread call([&] {
      r = bankTrans_(FullRequest("30").c_str(), std::vector<char>(KORVESSA_RESPONSE_SIZE).data());
      done = true;
    });
    Poller poll(getValue_);
    ASSERT_TRUE(poll.WaitFor(c.waitFor, 5000));
    const auto t0 = Clock::now();
    putValue_("abandon", "1");
    EXPECT_LT(SecondsSince(t0), 1.0);  // PutValue returns at once
    while (!done && SecondsSince(t0) < 10) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const double took = SecondsSince(t0);
    call.join();
    EXPECT_LT(took, 3.0);
    EXPECT_EQ(KORVESSA_ERR_TIMEOUT, r.load());
    EXPECT_STREQ(c.outcome, getValue_("lastOutcome"));
    const auto lines = JournalLines(Dir());
    ASSERT_GT(static_cast<int>(lines.size()), before);
    EXPECT_EQ(c.event, lines.back()[6]);
    const std::string log = Log();
    EXPECT_EQ(1, CountOf(log, "被收银机放弃.")) << log;
    EXPECT_EQ(0, CountOf(log, "时间超时")) << log;
    EXPECT_EQ(c.silentHandshake ? 1u : 2u, Requests().size());
    EXPECT_EQ(1, LineDescriptors());  // the port was closed as after a time-out

    // The log reader tells the abandoned call apart.
    char day[16];
    const time_t now = time(nullptr);
    strftime(day, sizeof day, "%Y%m%d", localtime(&now));
    FILE* out = tmpfile();
    FILE* err = tmpfile();
    korvessa::LogCommand({Dir() + "/Log/ErrorLog" + day + ".log"}, out, err);
    rewind(out);
    std::string timeline;
    char buf[4096];
    while (fgets(buf, sizeof buf, out)) timeline += buf;
    fclose(out);
    fclose(err);
    EXPECT_NE(std::string::npos, timeline.find("-3 abandoned by the register")) << timeline;
    remove((Dir() + "/Log/ErrorLog" + day + ".log").c_str());
    term_.ClearRecords();
  }
}

TEST_F(E2eTest, AbandonWithNoCallChangesNothing) {
  ASSERT_EQ(0, Run(FullRequest("30"), nullptr));
  putValue_("transType", "30");
  transProcess_();
  putValue_("abandon", "1");  // late: the records stay, the next call is not touched
  EXPECT_STREQ("00", getValue_("rejCode"));
  EXPECT_STREQ("approved", getValue_("lastOutcome"));
  EXPECT_EQ(0, Run(FullRequest("30"), nullptr));
  EXPECT_EQ(0, CountOf(Log(), "被收银机放弃"));
}

}  // namespace
}  // namespace e2e
