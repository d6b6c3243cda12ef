// The simulated terminal seen from the register's end of a pseudo-terminal: the answers it builds, the
// faults it injects, and the checks it makes on the host relay's replies.
#include <fcntl.h>
#include <cerrno>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "Options.h"
#include "Terminal.h"

namespace posterm {
namespace {

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Request(const std::string& op, const std::string& cmd, const std::string& amount = "000000012345") {
  Bytes c(100, ' ');
  const std::string head = op + cmd + "01" + "REG000001" + "OPER01" + amount;
  std::copy(head.begin(), head.end(), c.begin());
  return c;
}

// The register's end of the line.
class Register {
 public:
  explicit Register(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  }
  ~Register() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  void Send(const Bytes& b) { ASSERT_EQ(static_cast<ssize_t>(b.size()), write(fd_, b.data(), b.size())); }
  // Reads until n frames came or the time is up; every read's size is kept in reads.
  std::vector<Frame> Read(size_t n, int timeoutMs) {
    std::vector<Frame> out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
              .count();
      if (left <= 0) break;
      struct pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      uint8_t buf[4096];
      const ssize_t r = read(fd_, buf, sizeof buf);
      if (r <= 0) break;
      reads.push_back(static_cast<size_t>(r));
      raw.insert(raw.end(), buf, buf + r);
      reader_.Feed(buf, static_cast<size_t>(r), &out);
    }
    return out;
  }
  // True when the other end of the line has gone (hang-up, error or end of file) within the time.
  bool HungUp(int timeoutMs) {
    struct pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    if (p.revents & (POLLHUP | POLLERR)) return true;
    uint8_t b;
    const ssize_t r = read(fd_, &b, 1);
    return r == 0 || (r < 0 && errno != EAGAIN);
  }
  std::vector<size_t> reads;
  Bytes raw;

 private:
  int fd_ = -1;
  FrameReader reader_;
};

class TerminalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string err;
    ASSERT_TRUE(term_.OpenPty(&err)) << err;
    ASSERT_TRUE(term_.Start(&err)) << err;
  }
  Terminal term_;
};

TEST_F(TerminalTest, AnswersHandshakeAndTransactionWithFullContent) {
  Scenario s;
  s.fields[104] = "1234567890123456   ";
  s.fields[151] = "20261208";
  term_.SetScenario(s);
  Register reg(term_.LinePath());
  ASSERT_TRUE(reg.ok());

  reg.Send(EncodeFrame("101010", Request("C0", "00")));
  auto hs = reg.Read(1, 3000);
  ASSERT_EQ(1u, hs.size());
  EXPECT_TRUE(hs[0].valid);
  EXPECT_EQ("101010", hs[0].id);
  ASSERT_EQ(100u, hs[0].content.size());
  EXPECT_EQ(
      "C00101"
      "00",
      hs[0].Text(0, 8));
  EXPECT_EQ(std::string(92, ' '), hs[0].Text(8, 92));

  reg.Send(EncodeFrame("101010", Request("A0", "30", "000000012345")));
  auto tr = reg.Read(1, 3000);
  ASSERT_EQ(1u, tr.size());
  const Frame& a = tr[0];
  ASSERT_EQ(507u, a.content.size());
  EXPECT_EQ("A0310100", a.Text(0, 8));
  EXPECT_EQ("000000012345", a.Text(23, 12));  // the amount asked for
  EXPECT_EQ("1234567890123456   ", a.Text(104, 19));
  EXPECT_EQ("20261208", a.Text(151, 8));
  EXPECT_EQ("000123", a.Text(201, 6));
  EXPECT_TRUE(term_.WaitAnswers(2, 1000));
  EXPECT_EQ(1u, term_.TransactionAnswers());
  ASSERT_EQ(2u, term_.Received().size());
  EXPECT_EQ(EncodeFrame("101010", Request("C0", "00")), term_.Received()[0].raw);
}

TEST_F(TerminalTest, RefusesWithConfiguredCodesAndCommandCode) {
  Scenario s;
  s.handshake.retCode = "05";
  s.trans.retCode = "51";
  s.trans.cmdCode = "52";
  term_.SetScenario(s);
  Register reg(term_.LinePath());
  reg.Send(EncodeFrame("202020", Request("C0", "00")));
  auto f = reg.Read(1, 3000);
  ASSERT_EQ(1u, f.size());
  EXPECT_EQ("05", f[0].Text(6, 2));
  reg.Send(EncodeFrame("202020", Request("A0", "50")));
  f = reg.Read(1, 3000);
  ASSERT_EQ(1u, f.size());
  EXPECT_EQ("52", f[0].CmdCode());
  EXPECT_EQ("51", f[0].Text(6, 2));
}

TEST_F(TerminalTest, FaultsBeforeTheAnswer) {
  Scenario s;
  s.trans.noise = {0x41, 0x41};
  s.trans.badLrcFirst = true;
  s.trans.staleIdFirst = true;
  s.trans.chunks = 3;
  s.trans.chunkGapMs = 30;
  term_.SetScenario(s);
  Register reg(term_.LinePath());
  reg.Send(EncodeFrame("111111", Request("C0", "00")));
  ASSERT_EQ(1u, reg.Read(1, 3000).size());
  reg.Send(EncodeFrame("222222", Request("A0", "30")));
  auto f = reg.Read(3, 3000);
  ASSERT_EQ(3u, f.size());
  EXPECT_FALSE(f[0].valid);  // the bad LRC copy
  EXPECT_EQ("222222", f[0].id);
  EXPECT_NE(kStx, f[0].raw.back());
  EXPECT_TRUE(f[1].valid);  // the stale copy: previous transaction's identifier
  EXPECT_EQ("111111", f[1].id);
  EXPECT_TRUE(f[2].valid);
  EXPECT_EQ("222222", f[2].id);
  EXPECT_EQ(f[1].content, f[2].content);
  // The noise sits right before the good answer.
  const size_t good = reg.raw.size() - f[2].raw.size();
  EXPECT_EQ(0x41, reg.raw[good - 1]);
  EXPECT_EQ(0x41, reg.raw[good - 2]);
  EXPECT_GE(reg.reads.size(), 1u + 3u);  // handshake answer, then the three pieces
}

TEST_F(TerminalTest, SilenceAndHangup) {
  Scenario s;
  s.trans.end = Step::End::kSilence;
  term_.SetScenario(s);
  {
    Register reg(term_.LinePath());
    reg.Send(EncodeFrame("333333", Request("A0", "30")));
    EXPECT_TRUE(reg.Read(1, 400).empty());
  }
  s.trans.end = Step::End::kHangup;
  term_.SetScenario(s);
  const std::string first = term_.LinePath();
  Register reg(first);
  reg.Send(EncodeFrame("333333", Request("A0", "30")));
  ASSERT_TRUE(term_.WaitHangups(1, 3000));
  // The old line is gone for the register that held it; a new line is ready (the system may give
  // it the same pseudo-terminal number again).
  EXPECT_TRUE(reg.HungUp(2000));
  s.trans.end = Step::End::kAnswer;
  term_.SetScenario(s);
  Register again(term_.LinePath());
  ASSERT_TRUE(again.ok());
  again.Send(EncodeFrame("444444", Request("A0", "30")));
  EXPECT_EQ(1u, again.Read(1, 3000).size());
}

// The faults of the fault matrix, given as posterm options: a LEN that says more than the frame holds,
// and the line cut after 20 bytes of it; the handshake's answer followed by a hang-up.
TEST_F(TerminalTest, OptionFaultsLyingLenCutLineHangupAfterHandshake) {
  Options o;
  std::string err;
  ASSERT_TRUE(ParseOptions(SplitWords(" --len-delta 10  --cut 20 --hs-hangup-after"), &o, &err)) << err;
  term_.SetScenario(o.scenario);
  Register reg(term_.LinePath());
  reg.Send(EncodeFrame("555555", Request("A0", "30")));
  EXPECT_TRUE(reg.Read(1, 1000).empty());
  ASSERT_TRUE(reg.HungUp(3000));
  ASSERT_EQ(20u, reg.raw.size());
  EXPECT_EQ(507u + 6 + 10, static_cast<size_t>(reg.raw[1]) << 8 | reg.raw[2]);
  // The register sees the hang-up before the terminal has opened its new line: wait for that line.
  ASSERT_TRUE(term_.WaitHangups(1, 3000));
  Register next(term_.LinePath());
  next.Send(EncodeFrame("666666", Request("C0", "00")));
  EXPECT_EQ(1u, next.Read(1, 3000).size());
  EXPECT_TRUE(next.HungUp(3000));
  for (const char* bad : {"--len-delta 0", "--cut -1", "--reply-len 8001", "--code", "--code 5", "--bogus"}) {
    Options b;
    EXPECT_FALSE(ParseOptions(SplitWords(bad), &b, &err)) << bad;
  }
}

TEST_F(TerminalTest, RelayUnitsAndReplyChecks) {
  Scenario s;
  RelayUnit u;
  u.host = "127.000.000.001";
  u.port = "9000";
  u.payload = Text("PING");
  u.checkPayload = true;
  u.expectPayload = Text("PONG");
  u.timeoutMs = 2000;
  s.trans.relay = {u, u, u};
  term_.SetScenario(s);
  Register reg(term_.LinePath());
  reg.Send(EncodeFrame("555555", Request("A0", "30")));

  auto Reply = [](const Frame& unit, const std::string& id, const Bytes& host, int lenDelta) {
    Bytes c(unit.content.begin(), unit.content.begin() + 50);
    c[1] = static_cast<uint8_t>(c[1] + 1);
    c[3] = static_cast<uint8_t>(c[3] + 1);
    const size_t n = host.size() + lenDelta;
    c.push_back(static_cast<uint8_t>(n >> 8));
    c.push_back(static_cast<uint8_t>(n & 0xFF));
    c.insert(c.end(), host.begin(), host.end());
    return EncodeFrame(id, c);
  };
  // Unit 1: a correct reply.
  auto f = reg.Read(1, 3000);
  ASSERT_EQ(1u, f.size());
  const Frame unit = f[0];
  EXPECT_EQ("D000", unit.Text(0, 4));
  EXPECT_EQ(std::string("127.000.000.001") + std::string(25, '\0'), unit.Text(4, 40));
  EXPECT_EQ(std::string("9000\0\0", 6), unit.Text(44, 6));
  EXPECT_EQ(std::string("\0\4PING", 6), unit.Text(50, 6));
  reg.Send(Reply(unit, "555555", Text("PONG"), 0));
  // Unit 2: a reply whose length disagrees; unit 3: a reply under another identifier.
  f = reg.Read(1, 3000);
  ASSERT_EQ(1u, f.size());
  reg.Send(Reply(unit, "555555", Text("PONG"), 1));
  f = reg.Read(1, 3000);
  ASSERT_EQ(1u, f.size());
  reg.Send(Reply(unit, "999999", Text("PONG"), 0));
  f = reg.Read(1, 3000);  // the transaction answer
  ASSERT_EQ(1u, f.size());
  EXPECT_EQ("A031", f[0].Text(0, 4));
  const auto res = term_.RelayResults();
  ASSERT_EQ(3u, res.size());
  EXPECT_TRUE(res[0].ok) << res[0].error;
  EXPECT_FALSE(res[1].ok);
  EXPECT_NE(std::string::npos, res[1].error.find("length")) << res[1].error;
  EXPECT_FALSE(res[2].ok);
  EXPECT_NE(std::string::npos, res[2].error.find("identifier")) << res[2].error;
}

TEST_F(TerminalTest, MalformedUnitExpectsNoReply) {
  Scenario s;
  RelayUnit u;
  u.host = "localhost";
  u.port = "1";
  u.payload = Text("ABC");
  u.lengthDelta = 1;
  u.expectReply = false;
  u.timeoutMs = 200;
  s.trans.relay = {u};
  term_.SetScenario(s);
  Register reg(term_.LinePath());
  reg.Send(EncodeFrame("666666", Request("A0", "30")));
  auto f = reg.Read(2, 3000);
  ASSERT_EQ(2u, f.size());
  EXPECT_EQ(52u + 3u, f[0].content.size());
  EXPECT_EQ(2, f[0].content[51]);  // header says 2: content is one byte longer
  const auto res = term_.RelayResults();
  ASSERT_EQ(1u, res.size());
  EXPECT_TRUE(res[0].ok) << res[0].error;
}

// The lines the terminal tells a script, awaited without sleeping.
struct NotifySink {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::string> lines;
  static void Add(const std::string& line, void* ctx) {
    auto* s = static_cast<NotifySink*>(ctx);
    {
      std::lock_guard<std::mutex> lk(s->mu);
      s->lines.push_back(line);
    }
    s->cv.notify_all();
  }
  // The first line that starts with prefix within timeoutMs, or "".
  std::string Wait(const std::string& prefix, int timeoutMs) {
    std::unique_lock<std::mutex> lk(mu);
    std::string found;
    cv.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] {
      for (const std::string& l : lines) {
        if (l.compare(0, prefix.size(), prefix) == 0) return found = l, true;
      }
      return false;
    });
    return found;
  }
};

// A replayed answer shorter than an answer's head (a scenario made by hand) goes out as it stands, and
// the ANSWER line shows only the bytes it has.
TEST_F(TerminalTest, ShortReplayedAnswerIsSentAndToldWithinItsBytes) {
  NotifySink sink;
  term_.SetNotify(&NotifySink::Add, &sink);
  Scenario s;
  ReplayStep step;
  step.op = "A0";
  step.cmd = "30";
  step.answered = true;
  step.answer = Text("A03");
  s.replay.push_back(step);
  term_.SetScenario(s);
  Register reg(term_.LinePath());
  reg.Send(EncodeFrame("303030", Request("A0", "30")));
  const auto f = reg.Read(1, 3000);
  ASSERT_EQ(1u, f.size());
  EXPECT_EQ(Text("A03"), f[0].content);
  EXPECT_EQ("ANSWER 3 code=", sink.Wait("ANSWER", 3000));
  term_.Stop();  // no line for the sink once it is gone
}

TEST(TerminalLine, StartNeedsALineAndStopIsPrompt) {
  Terminal t;
  std::string err;
  EXPECT_FALSE(t.Start(&err));
  EXPECT_EQ("no line open", err);
  EXPECT_FALSE(t.OpenDevice("/nonexistent/tty", 9600, &err));
  EXPECT_NE(std::string::npos, err.find("/nonexistent/tty"));
  ASSERT_TRUE(t.OpenPty(&err));
  ASSERT_TRUE(t.Start(&err));
  const auto t0 = std::chrono::steady_clock::now();
  t.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
}

}  // namespace
}  // namespace posterm
