// The key-value facade end to end, and the host relay: the terminal reaching a bank host on 127.0.0.1
// through the library during a transaction.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "e2e_harness.h"
#include "EndToEndHosts.h"

namespace e2e {
namespace {

using posterm::Scenario;
using posterm::Step;

TEST_F(E2eTest, FacadeApprovalRefusalAndLocalFailures) {
  putValue_("transType", "30");
  putValue_("amount", "000000012345");
  putValue_("hostserialNumber", "HSN1");
  transProcess_();
  EXPECT_STREQ("00", getValue_("rejCode"));
  EXPECT_STREQ("交易成功", getValue_("rejCodeExplain"));
  EXPECT_STREQ("6222021234567890123", getValue_("cardNumber"));
  EXPECT_STREQ("000123", getValue_("posTraceNumber"));
  EXPECT_STREQ("R00000000001", getValue_("hostserialNumber"));
  EXPECT_STREQ("20261208", getValue_("transDate"));
  // What travelled: A0, the type, 01, spaces, the amount, 'Y'; the reference number is not sent for "30".
  auto f = Requests();
  ASSERT_EQ(2u, f.size());
  std::string c(100, ' ');
  c.replace(0, 6, "A03001");
  c.replace(21, 12, "000000012345");
  c[45] = 'Y';
  EXPECT_EQ(c, std::string(f[1].content.begin(), f[1].content.end()));

  // An unknown name is ignored; GetValue of an unknown name repeats the last value.
  EXPECT_STREQ("20261208", getValue_("TransDate"));

  // Undefined type: "x2"; the request record was reset, so a bare TransProcess has no type either.
  putValue_("transType", "77");
  transProcess_();
  EXPECT_STREQ("x2", getValue_("rejCode"));
  transProcess_();
  EXPECT_STREQ("x2", getValue_("rejCode"));

  // Handshake refused: no mapping, the record PutValue zeroed reads empty.
  Scenario s = FixedScenario();
  s.handshake.retCode = "05";
  term_.SetScenario(s);
  putValue_("transType", "30");
  transProcess_();
  EXPECT_STREQ("", getValue_("rejCode"));

  // Terminal refusal of the transaction.
  s.handshake.retCode = "00";
  s.trans.retCode = "05";
  term_.SetScenario(s);
  putValue_("transType", "30");
  transProcess_();
  EXPECT_STREQ("05", getValue_("rejCode"));
  EXPECT_STREQ("发卡行不予承兑", getValue_("rejCodeExplain"));

  // Time-out: "x3".
  Ini ini = DefaultIni();
  ini.Set("TCP", "TradeTimeOut", "1");
  WriteConfig(ini);
  s.trans.retCode = "00";
  s.trans.end = Step::End::kSilence;
  term_.SetScenario(s);
  putValue_("transType", "30");
  transProcess_();
  EXPECT_STREQ("x3", getValue_("rejCode"));
  EXPECT_STREQ("无此返回码的错误说明", getValue_("rejCodeExplain"));
}

posterm::RelayUnit Unit(const std::string& host, int port, const std::string& payload) {
  posterm::RelayUnit u;
  u.host = host;
  u.port = std::to_string(port);
  u.payload.assign(payload.begin(), payload.end());
  u.checkPayload = true;
  const std::string expect = "OK:" + payload;
  u.expectPayload.assign(expect.begin(), expect.end());
  u.timeoutMs = 3000;
  return u;
}

TEST_F(E2eTest, RelayRoundTripsBeforeTheAnswer) {
  Host host;
  ASSERT_NE(0, host.port());
  Ini ini = DefaultIni();
  ini.Set("DEBUG_LOG", "DebugLog", "5");
  ini.Set("TCP", "TradeTimeOut", "5");
  WriteConfig(ini);
  Scenario s = FixedScenario();
  s.trans.relay = {Unit("127.000.000.001", host.port(), "first unit"),
                   Unit("localhost", host.port(), std::string("binary\0\x02\x03", 9))};
  term_.SetScenario(s);
  ASSERT_EQ(0, Run(FullRequest("30"), nullptr));
  const auto res = term_.RelayResults();
  ASSERT_EQ(2u, res.size());
  for (const auto& r : res) EXPECT_TRUE(r.ok) << r.error;
  const auto got = host.received();
  ASSERT_EQ(2u, got.size());
  EXPECT_EQ("first unit", got[0]);
  EXPECT_EQ(std::string("binary\0\x02\x03", 9), got[1]);
  // The reply carries the transaction's identifier and answers "D0" "00" with "D1" "01".
  const auto frames = Requests();
  ASSERT_GE(frames.size(), 2u);
  EXPECT_EQ("D101", std::string(res[0].reply.content.begin(), res[0].reply.content.begin() + 4));
  EXPECT_EQ(frames[0].id, res[0].reply.id);
  EXPECT_NE(std::string::npos, Log().find("Destination IP: 127.0.0.1"));
}

TEST_F(E2eTest, RelayLargestHostBlock) {
  Host host;
  Ini ini = DefaultIni();
  ini.Set("TCP", "TradeTimeOut", "5");
  WriteConfig(ini);
  // The host answers "OK:" + payload: 4030 bytes give a 4033-byte block, framed into exactly 4096 bytes.
  posterm::RelayUnit fits = Unit("127.0.0.1", host.port(), std::string(4030, 'p'));
  posterm::RelayUnit over = Unit("127.0.0.1", host.port(), std::string(4031, 'q'));
  over.expectReply = false;
  over.timeoutMs = 1000;
  Scenario s = FixedScenario();
  s.trans.relay = {fits, over};
  term_.SetScenario(s);
  ASSERT_EQ(0, Run(FullRequest("30"), nullptr));
  const auto res = term_.RelayResults();
  ASSERT_EQ(2u, res.size());
  EXPECT_TRUE(res[0].ok) << res[0].error;
  EXPECT_EQ(4096u, res[0].reply.raw.size());
  EXPECT_TRUE(res[1].ok) << res[1].error;  // no reply to the terminal
  EXPECT_EQ(2, host.connections());
}

TEST_F(E2eTest, MalformedTransmitDataIsDropped) {
  Host host;
  Ini ini = DefaultIni();
  ini.Set("TCP", "TradeTimeOut", "3");
  WriteConfig(ini);
  Scenario s = FixedScenario();
  posterm::RelayUnit u = Unit("127.0.0.1", host.port(), "abc");
  u.lengthDelta = 1;
  u.expectReply = false;
  u.timeoutMs = 500;
  s.trans.relay = {u};
  term_.SetScenario(s);
  ASSERT_EQ(0, Run(FullRequest("30"), nullptr));
  ASSERT_EQ(1u, term_.RelayResults().size());
  EXPECT_TRUE(term_.RelayResults()[0].ok) << term_.RelayResults()[0].error;
  EXPECT_EQ(0, host.connections());
  EXPECT_NE(std::string::npos, Log().find("Transmit Data format error. \r\n"));
}

int CountEntries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

double SecondsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A unit for which the terminal does not wait for a reply.
posterm::RelayUnit Unanswered(const std::string& host, int port, const std::string& payload) {
  posterm::RelayUnit u = Unit(host, port, payload);
  u.expectReply = false;
  u.timeoutMs = 300;
  return u;
}

// A unit to a host that never completes the connection.
posterm::RelayUnit UnitToNowhere(int port) { return Unanswered("127.0.0.1", port, "lost"); }

TEST_F(E2eTest, HangingConnectDoesNotDelayTheTimeOut) {
  HangingHost hang;
  ASSERT_NE(0, hang.port());
  Ini ini = DefaultIni();
  ini.Set("DEBUG_LOG", "DebugLog", "5");
  ini.Set("TCP", "ConnTimeOut", "4");
  ini.Set("TCP", "TradeTimeOut", "1");
  WriteConfig(ini);
  // Port open and watch thread running: the state the next call must come back to.
  ASSERT_EQ(0, Run(FullRequest("30"), nullptr));
  const int threads = CountEntries("/proc/self/task");
  const int fds = CountEntries("/proc/self/fd");

  Scenario s = FixedScenario();
  s.trans.relay = {UnitToNowhere(hang.port())};
  s.trans.end = Step::End::kSilence;
  term_.SetScenario(s);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(KORVESSA_ERR_TIMEOUT, Run(FullRequest("30"), nullptr));
  EXPECT_LT(SecondsSince(t0), 2.0);  // 1 s of TradeTimeOut, not the 4 s of the connect
  const std::string log = Log();
  EXPECT_EQ(1, CountOf(log, "stopped before it completed."));
  EXPECT_EQ(0, CountOf(log, "connect TimeOut!"));

  term_.SetScenario(FixedScenario());
  EXPECT_EQ(0, Run(FullRequest("30"), nullptr));
  EXPECT_EQ(threads, CountEntries("/proc/self/task"));
  EXPECT_EQ(fds, CountEntries("/proc/self/fd"));
}

TEST_F(E2eTest, AnswerDuringAHangingConnectIsTakenAtOnce) {
  HangingHost hang;
  ASSERT_NE(0, hang.port());
  Ini ini = DefaultIni();
  ini.Set("TCP", "ConnTimeOut", "4");
  ini.Set("TCP", "TradeTimeOut", "6");
  WriteConfig(ini);
  Scenario s = FixedScenario();
  s.trans.relay = {UnitToNowhere(hang.port())};  // the answer follows 0.3 s after the unit
  term_.SetScenario(s);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(0, Run(FullRequest("30"), nullptr));
  EXPECT_LT(SecondsSince(t0), 3.0);  // not after the connect's 4 s
}

TEST_F(E2eTest, UnloadWithARelayBetweenCallsIsPrompt) {
  Host host;
  HangingHost hang;
  ASSERT_NE(0, hang.port());
  Ini ini = DefaultIni();
  ini.Set("DEBUG_LOG", "DebugLog", "5");
  ini.Set("TCP", "ConnTimeOut", "20");
  WriteConfig(ini);
  struct Case {
    const char* name;
    posterm::RelayUnit unit;
    const char* reached;  // log line that shows the relay in the state to unload in
  } cases[] = {
      {"waiting for a further payload", Unit("127.0.0.1", host.port(), "between calls"),
       "recv Data success!"},
      {"connecting", UnitToNowhere(hang.port()), "Destination IP"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (lib_ == nullptr) Load();
    const int before = CountOf(Log(), c.reached);
    Scenario s = FixedScenario();
    s.trans.relayAfter = {c.unit};
    term_.SetScenario(s);
    ASSERT_EQ(0, Run(FullRequest("30"), nullptr));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (CountOf(Log(), c.reached) == before && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(before + 1, CountOf(Log(), c.reached));
    const auto t0 = std::chrono::steady_clock::now();
    Unload();
    EXPECT_LT(SecondsSince(t0), 1.0);
  }
}

// The start of a relay unit's audit line, up to its time.
std::string AuditLine(const std::string& dest, const std::string& counts) {
  return "主机转发：目的地址=" + dest + "，" + counts + "，用时=";
}

// Two entries; the units: allowed, another port of that host, another host, the allowed address written
// with leading zeros, a name not listed. The refused ones never connect (nor look the name up), nothing
// comes back for them, and the terminal's final answer still completes the call.
TEST_F(E2eTest, AllowedHostsDecideWhereTheRelayConnects) {
  Host host;
  ASSERT_NE(0, host.port());
  const std::string p = std::to_string(host.port());
  Ini ini = DefaultIni();
  ini.Set("DEBUG_LOG", "DebugLog", "5");
  ini.Set("TCP", "TradeTimeOut", "5");
  ini.Set("TCP", "AllowedHosts", "127.0.0.1:" + p + ", bank.example:*");
  WriteConfig(ini);
  Scenario s = FixedScenario();
  s.trans.relay = {
      Unit("127.0.0.1", host.port(), "unit one"), Unanswered("127.0.0.1", host.port() + 1, "two"),
      Unanswered("127.0.0.3", host.port(), "three"), Unit("127.000.000.001", host.port(), "four"),
      Unanswered("unlisted.example", host.port(), "five")};
  term_.SetScenario(s);
  ASSERT_EQ(0, Run(FullRequest("30"), nullptr));
  for (const auto& r : term_.RelayResults()) EXPECT_TRUE(r.ok) << r.error;
  EXPECT_EQ(2, host.connections());
  EXPECT_EQ((std::vector<std::string>{"unit one", "four"}), host.received());
  const std::string log = Log();
  const std::string refused = "，结果=目的地址不在AllowedHosts中，未连接，已丢弃 \r\n";
  EXPECT_EQ(3, CountOf(log, refused)) << log;
  for (const std::string& dest :
       {"127.0.0.1:" + std::to_string(host.port() + 1), "127.0.0.3:" + p, "unlisted.example:" + p}) {
    EXPECT_NE(std::string::npos, log.find(AuditLine(dest, "发送=0字节，接收=0字节"))) << dest;
  }
  EXPECT_EQ(2, CountOf(log, "，结果=已应答 \r\n")) << log;
  EXPECT_NE(std::string::npos, log.find(AuditLine("127.0.0.1:" + p, "发送=8字节，接收=11字节")));
  EXPECT_EQ(std::string::npos, log.find("gethostbyname")) << log;
  EXPECT_EQ(2, CountOf(log, "Destination IP: "));
}

// A refused connection and a host that never answers (stopped by the terminal's final answer) each
// end with their own audit line.
TEST_F(E2eTest, RelayAuditLineForRefusedAndStoppedUnits) {
  const int closedPort = RefusingPort();
  // Listens, never accepts: the connection completes, the payload is taken, no answer comes.
  const int mute = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(0, bind(mute, reinterpret_cast<sockaddr*>(&a), sizeof a));
  ASSERT_EQ(0, listen(mute, 4));
  getsockname(mute, reinterpret_cast<sockaddr*>(&a), &len);
  const int mutePort = ntohs(a.sin_port);
  Scenario s = FixedScenario();
  s.trans.relay = {Unanswered("127.0.0.1", closedPort, "refused"),
                   Unanswered("127.0.0.1", mutePort, "quiet")};
  term_.SetScenario(s);
  ASSERT_EQ(0, Run(FullRequest("30"), nullptr));
  close(mute);
  const std::string log = Log();  // the default level 2
  EXPECT_NE(std::string::npos,
            log.find(AuditLine("127.0.0.1:" + std::to_string(closedPort), "发送=0字节，接收=0字节")))
      << log;
  EXPECT_EQ(1, CountOf(log, "ms，结果=连接失败(被拒绝) \r\n")) << log;
  EXPECT_NE(std::string::npos,
            log.find(AuditLine("127.0.0.1:" + std::to_string(mutePort), "发送=5字节，接收=0字节")))
      << log;
  EXPECT_EQ(1, CountOf(log, "ms，结果=已停止 \r\n")) << log;
}

// The support probe: one handshake and nothing more. The port is left as a transaction leaves it
// (open after an answer, closed after none), nothing is journalled, and a purchase follows as usual.
TEST_F(E2eTest, ProbeRunsOneHandshakeAndJournalsNothing) {
  EXPECT_STREQ("", getValue_("probe"));
  putValue_("probe", "1");
  const std::string answered = getValue_("probe");
  EXPECT_EQ(0u, answered.find("0 ")) << answered;
  EXPECT_EQ(2, LineDescriptors());  // the terminal's and ours
  const auto sent = Requests();
  ASSERT_EQ(1u, sent.size());
  EXPECT_EQ("C0", std::string(sent[0].content.begin(), sent[0].content.begin() + 2));
  Scenario s = FixedScenario();
  s.handshake.end = Step::End::kSilence;
  term_.SetScenario(s);
  putValue_("probe", "1");
  EXPECT_EQ(0u, std::string(getValue_("probe")).find("-3 ")) << getValue_("probe");
  EXPECT_EQ(1, LineDescriptors());  // the terminal's alone
  EXPECT_TRUE(JournalLines(Dir()).empty());
  EXPECT_STREQ((Dir() + "/Config.ini").c_str(), getValue_("configFile"));
  EXPECT_STRNE("", getValue_("version"));
  term_.SetScenario(FixedScenario());
  std::string response;
  EXPECT_EQ(0, Run(FullRequest("30"), &response));
  EXPECT_EQ(2u, JournalLines(Dir()).size());  // SENT and APPROVED of the purchase alone
}

}  // namespace
}  // namespace e2e
