// Whole transactions through the exported functions against a small fake terminal on a
// pseudo-terminal: exact frames on the line, results, response records, the log.
// POSIX only (the Windows test executable leaves this file out).
#ifndef _WIN32

#include <dlfcn.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "EngineTestEnv.h"
#include "KorvessaDLL.h"
#include "LoopbackHost.h"
#include "PtyPair.h"
#include "export/ExportApi.h"

// Allocation failure on demand: the next allocation of the armed thread throws std::bad_alloc, as
// memory pressure would inside the library (the profile reader allocates).
namespace {
std::atomic<bool> g_failNextAllocation{false};
std::thread::id g_failingThread;
}  // namespace

// malloc and free underneath, so the sanitizers see matching pairs.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(size_t size) {
  if (g_failNextAllocation.load() && std::this_thread::get_id() == g_failingThread &&
      g_failNextAllocation.exchange(false))
    throw std::bad_alloc();
  void* p = malloc(size != 0 ? size : 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return malloc(size != 0 ? size : 1); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return malloc(size != 0 ? size : 1); }
void operator delete(void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace {

using Clock = std::chrono::steady_clock;

long long Ms(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count();
}

// The terminal's side of a pseudo-terminal (opened as the serial tests open theirs). Every complete frame the
// library writes is recorded and handed to the handler (on the terminal's thread), which answers with Send.
// Frames received and bytes sent carry their time on the monotonic clock.
class FakeTerminal {
 public:
  using Handler = std::function<void(FakeTerminal&, const std::string& frame)>;

  explicit FakeTerminal(int comPort) {
    EXPECT_TRUE(m_pty.ok());
    m_envName = "KORVESSA_COM" + std::to_string(comPort);
    setenv(m_envName.c_str(), m_pty.path().c_str(), 1);
    EXPECT_EQ(pipe(m_wake), 0);
    m_thread = std::thread([this] { Run(); });
  }
  ~FakeTerminal() {
    m_stop = true;
    (void)!write(m_wake[1], "x", 1);
    m_thread.join();
    close(m_wake[0]);
    close(m_wake[1]);
    unsetenv(m_envName.c_str());
  }
  FakeTerminal(const FakeTerminal&) = delete;
  FakeTerminal& operator=(const FakeTerminal&) = delete;

  void SetHandler(Handler h) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_handler = std::move(h);
  }
  void Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = write(m_pty.master(), bytes.data() + done, bytes.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sentAt.push_back(Clock::now());
  }
  const std::string& SlaveName() const { return m_pty.path(); }
  std::vector<std::string> Frames() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frames;
  }
  // When each frame arrived (its last byte read), and when each Send finished writing.
  std::vector<Clock::time_point> FrameTimes() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frameAt;
  }
  std::vector<Clock::time_point> SendTimes() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sentAt;
  }
  // Waits (bounded) until at least n frames have arrived.
  bool WaitFrames(size_t n, int ms = 5000) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_frames.size() >= n; });
  }

  static std::string Content(const std::string& frame) { return frame.substr(9, frame.size() - 11); }
  static std::string ID(const std::string& frame) { return frame.substr(3, 6); }

 private:
  void Run() {
    std::string pending;
    while (!m_stop) {
      pollfd fds[2] = {{m_pty.master(), POLLIN, 0}, {m_wake[0], POLLIN, 0}};
      if (poll(fds, 2, 1000) <= 0) continue;
      if (fds[1].revents) break;
      if (!(fds[0].revents & POLLIN)) continue;
      char buf[4096];
      ssize_t n = read(m_pty.master(), buf, sizeof(buf));
      if (n <= 0) continue;
      const Clock::time_point now = Clock::now();
      pending.append(buf, static_cast<size_t>(n));
      for (;;) {
        size_t stx = pending.find('\x02');
        if (stx == std::string::npos) {
          pending.clear();
          break;
        }
        pending.erase(0, stx);
        if (pending.size() < 3) break;
        size_t total =
            (static_cast<unsigned char>(pending[1]) << 8) + static_cast<unsigned char>(pending[2]) + 5;
        if (pending.size() < total) break;
        std::string frame = pending.substr(0, total);
        pending.erase(0, total);
        Handler h;
        {
          std::lock_guard<std::mutex> lock(m_mutex);
          m_frames.push_back(frame);
          m_frameAt.push_back(now);
          h = m_handler;
        }
        m_cv.notify_all();
        if (h) h(*this, frame);
      }
    }
  }

  PtyPair m_pty;  // the master is the terminal's end; the pair's slave keeps the line up
  int m_wake[2] = {-1, -1};
  std::string m_envName;
  std::atomic<bool> m_stop{false};
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<std::string> m_frames;
  std::vector<Clock::time_point> m_frameAt;
  std::vector<Clock::time_point> m_sentAt;
  Handler m_handler;
  std::thread m_thread;
};

// The answer a cooperative terminal gives: the handshake "01" with "00", every other
// request its command code + 1 with `ret`.
FakeTerminal::Handler Answering(const std::string& ret = "00", const std::string& handshakeRet = "00") {
  return [=](FakeTerminal& t, const std::string& frame) {
    const std::string c = FakeTerminal::Content(frame);
    if (c.compare(0, 2, "C0") == 0) {
      t.Send(WireFrame(ReplyContent("01", handshakeRet, "C0"), FakeTerminal::ID(frame)));
    } else {
      std::string cmd = c.substr(2, 2);
      cmd[1] = static_cast<char>(cmd[1] + 1);
      t.Send(WireFrame(ReplyContent(cmd, ret), FakeTerminal::ID(frame)));
    }
  };
}

const int kComPort = 7;

std::string PtyIni(int debugLog, const std::string& dir) {
  return "[COM]\r\nComPort=7\r\nBaudRate=9600\r\n" +
         EngineIni(debugLog).substr(EngineIni(debugLog).find("[TCP]")) +
         "[DEBUG_LOG]\r\nDebugLog=" + std::to_string(debugLog) + "\r\n" + "[TXTFILENAME]\r\nFilePath=" + dir +
         "\r\nFileName=receipt.txt\r\n[TXTFILECONTENT]\r\nContentNum=20\r\n001=RECEIPT\r\n005=ITEM5:%s\r\n";
}

class PtyTrans : public ::testing::Test {
 protected:
  PtyTrans() : env(""), term(kComPort) {
    EngineTestEnv::WriteFile(env.Path("Config.ini"), PtyIni(2, env.Dir()));
    LibraryAttach(NULL);
  }
  ~PtyTrans() override { LibraryDetach(); }

  void UseLogLevel(int level) { EngineTestEnv::WriteFile(env.Path("Config.ini"), PtyIni(level, env.Dir())); }
  std::string Run(const std::string& type, int* result) {
    std::string req = RequestRecord(type);
    char response[161];
    memset(response, 'r', sizeof(response));
    *result = BankTrans(req.data(), response);
    EXPECT_EQ(req, RequestRecord(type));  // the caller's record is untouched
    return std::string(response, sizeof(response));
  }

  EngineTestEnv env;
  FakeTerminal term;
};

TEST_F(PtyTrans, ApprovedTransactionMapsTheAnswerAndKeepsThePortOpen) {
  UseLogLevel(4);
  term.SetHandler(Answering());
  int r = -99;
  const std::string rsp = Run("30", &r);
  EXPECT_EQ(r, 0);
  const std::vector<std::string> frames = term.Frames();
  ASSERT_EQ(frames.size(), 2u);
  // The request follows the handshake's answer after the pause (both times the terminal's): the
  // library takes a chunk once the line has been quiet for its read interval (100 ms), then pauses
  // 200 ms.
  EXPECT_GE(Ms(term.SendTimes().at(0), term.FrameTimes().at(1)), 100 + 200 - 10);
  char idText[7];
  GetTransID(idText, sizeof(idText));
  const std::string id(idText);
  EXPECT_EQ(frames[0], WireFrame("C00001" + std::string(94, ' '), id));
  EXPECT_EQ(frames[1], WireFrame(RequestRecord("30").substr(0, 52) + std::string(48, ' '), id));
  // Response record: byte for byte from the answer, the gap blank, the request's reserved bytes.
  const std::string a = ReplyContent("31", "00");
  const std::string expected = a.substr(0, 8) + a.substr(41, 15) + a.substr(56, 8) + a.substr(139, 12) +
                               a.substr(127, 12) + a.substr(23, 12) + a.substr(104, 19) + a.substr(123, 4) +
                               a.substr(151, 8) + a.substr(159, 6) + a.substr(165, 6) + std::string(6, ' ') +
                               a.substr(171, 12) + a.substr(183, 12) + a.substr(195, 6) + a.substr(35, 6) +
                               a.substr(201, 6) + "RSV";
  EXPECT_EQ(rsp, expected);
  EXPECT_TRUE(GetEngine()->IsOpen());
  const std::string receipt = EngineTestEnv::ReadFile(env.Path("receipt.txt"));
  EXPECT_EQ(receipt.substr(0, 9), "RECEIPT\r\n");
  EXPECT_NE(receipt.find("ITEM5:" + a.substr(41, 15) + "\r\n"), std::string::npos);
  EXPECT_EQ(env.CountText("向打印文件中写数据失败"), 0);

  // The next call reuses the open port and draws a new identifier.
  Sleep(20);
  EXPECT_EQ(Run("30", &r).substr(6, 2), "00");
  EXPECT_EQ(r, 0);
  ASSERT_EQ(term.Frames().size(), 4u);
  EXPECT_NE(FakeTerminal::ID(term.Frames()[2]), FakeTerminal::ID(frames[0]));
  // Both exchanges of both calls are dumped at level 4 with the frame's length (218 = 0xDA).
  EXPECT_EQ(env.CountText("】【发送握手请求包数据】iLen=[0X6F(111)]\r\n"), 2);
  EXPECT_EQ(env.CountText("】【获取握手应答包数据】iLen=[0XDA(218)]\r\n"), 2);
  EXPECT_EQ(env.CountText("】【发送消费请求包数据】iLen=[0X6F(111)]\r\n"), 2);
  EXPECT_EQ(env.CountText("】【获取消费应答包数据】iLen=[0XDA(218)]\r\n"), 2);
}

TEST_F(PtyTrans, OpenPortIsReusedUntilAFailureClosesIt) {
  term.SetHandler(Answering());
  int r = -99;
  Run("30", &r);
  ASSERT_EQ(r, 0);
  // The open port is reused: its settings are not read again, so a port number that
  // cannot be opened goes unnoticed ...
  std::string ini = PtyIni(2, env.Dir());
  ini.replace(ini.find("ComPort=7"), 9, "ComPort=0");
  EngineTestEnv::WriteFile(env.Path("Config.ini"), ini);
  Sleep(20);
  Run("30", &r);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(env.CountText("打开 COM"), 0);
  // ... until a refusal closes the port; the next call reads the settings afresh.
  term.SetHandler(Answering("05"));
  Sleep(20);
  Run("30", &r);
  EXPECT_EQ(r, 0x3530);
  EXPECT_FALSE(GetEngine()->IsOpen());
  const std::string rsp = Run("30", &r);
  EXPECT_EQ(r, -1);
  EXPECT_EQ(rsp, std::string(161, 'r'));
  EXPECT_EQ(env.CountText("】打开 COM0 失败，代码："), 1);
  EXPECT_EQ(term.Frames().size(), 6u);
}

// [COM] Device names the device itself and wins over KORVESSA_COM7; a device that cannot be
// opened keeps the open-failure line and adds one naming the path.
TEST_F(PtyTrans, ComDeviceWinsOverThePortNumber) {
  term.SetHandler(Answering());
  setenv("KORVESSA_COM7", env.Path("no-such-tty").c_str(), 1);
  const std::string ini = PtyIni(2, env.Dir());
  const struct {
    std::string device;
    int result;
    std::string code;
  } cases[] = {
      {term.SlaveName(), 0, ""},
      {env.Path("gone-tty"), -1, "SP_ASSERT(OpenPort()) failed; SerialPort(333); Code:2;"},
      {"/" + std::string(MAX_PATH, 'd'), -1, "SP_ASSERT(OpenPort()) failed; SerialPort(333); Code:206;"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.device);
    std::string withDevice = ini;
    withDevice.insert(withDevice.find("ComPort=7\r\n") + 11, "Device=" + c.device + "\r\n");
    EngineTestEnv::WriteFile(env.Path("Config.ini"), withDevice);
    int r = -99;
    Run("30", &r);
    EXPECT_EQ(r, c.result);
    if (c.result != 0) {
      EXPECT_EQ(env.CountText("】打开 COM7 失败，代码：" + c.code), 1);
      // A path too long for the device buffer is named as far as it was read.
      EXPECT_EQ(env.CountMessage("打开串口设备失败：" + c.device.substr(0, MAX_PATH)), 1);
    }
    GetEngine()->Close(500);
  }
  EXPECT_EQ(term.Frames().size(), 2u);
}

TEST_F(PtyTrans, SignInWritesNoReceiptAndLogsNothingAboutIt) {
  UseLogLevel(6);
  term.SetHandler(Answering());
  int r = -99;
  const std::string rsp = Run("92", &r);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(rsp.substr(0, 8), "A0930100");
  EXPECT_FALSE(KvFileExists(env.Path("receipt.txt").c_str()));
  EXPECT_EQ(env.CountText("打印文件"), 0);
}

TEST_F(PtyTrans, UndefinedTypeSendsOnlyTheHandshake) {
  term.SetHandler(Answering());
  int r = 0;
  const std::string rsp = Run("77", &r);
  EXPECT_EQ(r, -2);
  EXPECT_EQ(term.Frames().size(), 1u);
  EXPECT_EQ(rsp.substr(0, 8), "C0010100");  // mapped from the handshake's answer
  EXPECT_EQ(rsp.substr(158), "RSV");
  EXPECT_FALSE(GetEngine()->IsOpen());
  EXPECT_EQ(env.CountMessage("交易类型不在规定的范围内(77)！"), 1);
}

// The register abandons as the handshake's answer goes out: whether the abandon meets the handshake's
// wait or the pause after it, the request never goes out, and the call ends -3 with nothing sent.
TEST_F(PtyTrans, AbandonAfterTheHandshakeSendsNoRequest) {
  term.SetHandler([](FakeTerminal& t, const std::string& frame) {
    Answering()(t, frame);
    PutValue("abandon", "1");
  });
  int r = 0;
  Run("30", &r);
  EXPECT_EQ(r, KORVESSA_ERR_TIMEOUT);
  EXPECT_EQ(term.Frames().size(), 1u);
  EXPECT_STREQ(GetValue("lastOutcome"), "not-sent");
  EXPECT_EQ(env.CountText("(发送->接收)被收银机放弃."), 1);
  EXPECT_FALSE(GetEngine()->IsOpen());
  term.SetHandler(Answering());
  Run("30", &r);  // the abandon does not reach the next call
  EXPECT_EQ(r, 0);
}

TEST_F(PtyTrans, RefusedHandshakeLeavesResponseUntouched) {
  UseLogLevel(3);
  term.SetHandler(Answering("00", "05"));
  int r = 0;
  const std::string rsp = Run("30", &r);
  EXPECT_EQ(r, 0x3530);
  EXPECT_EQ(rsp, std::string(161, 'r'));
  EXPECT_EQ(term.Frames().size(), 1u);
  EXPECT_FALSE(GetEngine()->IsOpen());
  EXPECT_EQ(env.CountMessage("POS机拒绝处理握手数据包，返回码(cRetValue=\"05\")."), 1);
}

TEST_F(PtyTrans, RefusedTransactionGivesPackedCodeAndNoReceipt) {
  UseLogLevel(3);
  term.SetHandler(Answering("05"));
  int r = 0;
  const std::string rsp = Run("30", &r);
  EXPECT_EQ(r, 0x3530);
  EXPECT_EQ(rsp.substr(6, 2), "05");
  EXPECT_FALSE(KvFileExists(env.Path("receipt.txt").c_str()));
  EXPECT_EQ(env.CountMessage("POS机拒绝处理消费数据包，返回码(cRetValue=\"05\")."), 1);
  EXPECT_FALSE(GetEngine()->IsOpen());
}

TEST_F(PtyTrans, TimeOutMapsTheHandshakeAnswer) {
  term.SetHandler([](FakeTerminal& t, const std::string& frame) {
    if (FakeTerminal::Content(frame).compare(0, 2, "C0") == 0) Answering()(t, frame);
  });
  int r = 0;
  const std::string rsp = Run("30", &r);
  const Clock::time_point end = Clock::now();
  EXPECT_EQ(r, -3);
  // Within the time-out and the port's close after the request reached the terminal, and well short of
  // twice the time-out: a loaded machine (two cores, builds beside the suite) took 1.7 s here.
  ASSERT_EQ(term.FrameTimes().size(), 2u);
  EXPECT_LE(Ms(term.FrameTimes()[1], end), 1000 + 900);
  EXPECT_EQ(rsp.substr(6, 2), "00");
  EXPECT_EQ(env.CountMessage("处理消费(发送->接收)时间超时，超时时间=1000(ms)."), 1);
  EXPECT_FALSE(GetEngine()->IsOpen());
}

TEST_F(PtyTrans, LateAnswerWithOldIdentifierIsRejected) {
  UseLogLevel(2);
  // Lives with the handler, which runs on the terminal's thread.
  auto firstID = std::make_shared<std::string>();
  term.SetHandler([firstID](FakeTerminal& t, const std::string& frame) {
    const std::string c = FakeTerminal::Content(frame);
    if (c.compare(0, 2, "C0") == 0) {
      if (firstID->empty()) {
        *firstID = FakeTerminal::ID(frame);
      } else {
        // The previous transaction's answer arrives first, then the handshake answer.
        t.Send(WireFrame(ReplyContent("01", "00", "C0"), *firstID));
        Sleep(150);
      }
    }
    Answering()(t, frame);
  });
  int r = -99;
  Run("30", &r);
  ASSERT_EQ(r, 0);
  Sleep(20);
  Run("30", &r);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(env.CountText("报文结构中唯一标识ID"), 1);
}

TEST_F(PtyTrans, MalformedTransmitDataDoesNotKeepTheAnswerOut) {
  term.SetHandler([](FakeTerminal& t, const std::string& frame) {
    if (FakeTerminal::Content(frame).compare(0, 2, "C0") == 0) return Answering()(t, frame);
    std::string unit = "D000" + std::string(40, '\0') + "9999  " + std::string("\x00\x09", 2) + "abc";
    t.Send(WireFrame(unit, "000000"));
    Sleep(150);
    Answering()(t, frame);
  });
  int r = -99;
  Run("30", &r);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(env.CountMessage("Transmit Data format error."), 1);
}

TEST_F(PtyTrans, PrintRequestCarriesThePrintText) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
  ASSERT_EQ(chdir(env.Dir().c_str()), 0);
  EngineTestEnv::WriteFile(env.Path("POS_print.txt"), "line1\r\nline2\r\n");
  term.SetHandler(Answering());
  int r = -99;
  Run("06", &r);
  EXPECT_EQ(r, 0);
  ASSERT_EQ(term.Frames().size(), 2u);
  const std::string c = FakeTerminal::Content(term.Frames()[1]);
  EXPECT_EQ(
      c, RequestRecord("06").substr(0, 52) + std::string(48, ' ') + "line1\nline2\n" + std::string(1, '\0'));

  // A longer text is cut after 2000 bytes.
  std::string text;
  for (int i = 0; i < 2500; ++i) text += static_cast<char>('A' + i % 26);
  EngineTestEnv::WriteFile(env.Path("POS_print.txt"), text);
  Sleep(20);
  Run("06", &r);
  EXPECT_EQ(r, 0);
  ASSERT_EQ(term.Frames().size(), 4u);
  EXPECT_EQ(FakeTerminal::Content(term.Frames()[3]).substr(100), text.substr(0, 2000) + std::string(1, '\0'));

  // Without the file the request is refused and nothing follows the handshake.
  KvRemoveFile(env.Path("POS_print.txt").c_str());
  Sleep(20);
  Run("06", &r);
  EXPECT_EQ(r, -2);
  EXPECT_EQ(term.Frames().size(), 5u);
  EXPECT_EQ(env.CountMessage("Fail to Open File.(POS_print.txt)"), 1);
  EXPECT_EQ(chdir(cwd), 0);
}

TEST_F(PtyTrans, FacadeApprovalAndUndefinedType) {
  term.SetHandler(Answering());
  PutValue("transType", "30");
  PutValue("amount", "100");
  TransProcess();
  EXPECT_STREQ(GetValue("rejCode"), "00");
  EXPECT_STREQ(GetValue("cardNumber"), "6222021234567890123");
  EXPECT_STREQ(GetValue("rejCodeExplain"), "交易成功");
  ASSERT_EQ(term.Frames().size(), 2u);
  const std::string c = FakeTerminal::Content(term.Frames()[1]);
  EXPECT_EQ(c.substr(0, 6), "A03001");
  EXPECT_EQ(c.substr(21, 12), "100         ");
  EXPECT_EQ(c.substr(45, 1), "Y");

  Sleep(20);
  PutValue("transType", "77");
  TransProcess();
  EXPECT_STREQ(GetValue("rejCode"), "x2");
}

TEST_F(PtyTrans, ConcurrentCallsAreSerialised) {
  term.SetHandler(Answering());
  int r1 = -99, r2 = -99;
  std::thread other([&] { Run("30", &r1); });
  Run("50", &r2);
  other.join();
  EXPECT_EQ(r1, 0);
  EXPECT_EQ(r2, 0);
  const std::vector<std::string> frames = term.Frames();
  ASSERT_EQ(frames.size(), 4u);
  // Each handshake is followed by its own transaction request.
  EXPECT_EQ(FakeTerminal::Content(frames[0]).substr(0, 2), "C0");
  EXPECT_EQ(FakeTerminal::Content(frames[2]).substr(0, 2), "C0");
  EXPECT_EQ(FakeTerminal::ID(frames[0]), FakeTerminal::ID(frames[1]));
  EXPECT_EQ(FakeTerminal::ID(frames[2]), FakeTerminal::ID(frames[3]));
}

// The bank host of the relay tests: one connection, it records the payload and answers `answer`.
void ServeOnce(LoopbackHost& host, const std::string& answer) {
  host.Serve(1, host.Answer(Bytes(answer.begin(), answer.end())));
}

// The payload the host received, empty before it did.
std::string HostPayload(LoopbackHost& host) {
  const std::vector<Bytes> received = host.Received();
  return received.empty() ? std::string() : std::string(received[0].begin(), received[0].end());
}

TEST_F(PtyTrans, TransmitDataIsRelayedToTheHostAndBack) {
  LoopbackHost host;
  ServeOnce(host, "HOSTREPLY");
  std::string head = "D000";
  std::string ip = "127.000.000.001";
  ip.resize(40, '\0');
  std::string port = host.Port();
  port.resize(6, '\0');
  const std::string payload = "PAYLOAD-TO-HOST";
  head += ip + port;
  head += static_cast<char>(0);
  head += static_cast<char>(payload.size());
  const std::string unit = head + payload;
  term.SetHandler([unit](FakeTerminal& t, const std::string& frame) {
    const std::string c = FakeTerminal::Content(frame);
    if (c.compare(0, 2, "C0") == 0) return Answering()(t, frame);
    if (c.compare(0, 2, "D1") == 0) {
      // The host's answer came back: now the final answer.
      t.Send(WireFrame(ReplyContent("31", "00"), FakeTerminal::ID(frame)));
      return;
    }
    t.Send(WireFrame(unit, "999999"));  // transmit data carries any identifier
  });
  int r = -99;
  Run("30", &r);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(HostPayload(host), payload);
  const std::vector<std::string> frames = term.Frames();
  ASSERT_EQ(frames.size(), 3u);
  std::string reply = "D101" + unit.substr(4, 46);
  reply += static_cast<char>(0);
  reply += static_cast<char>(9);
  reply += "HOSTREPLY";
  EXPECT_EQ(frames[2], WireFrame(reply, FakeTerminal::ID(frames[0])));
}

TEST_F(PtyTrans, ShortAnswerLeavesMissingFieldsBlank) {
  term.SetHandler([](FakeTerminal& t, const std::string& frame) {
    if (FakeTerminal::Content(frame).compare(0, 2, "C0") == 0) return Answering()(t, frame);
    t.Send(WireFrame(ReplyContent("31", "00").substr(0, 60), FakeTerminal::ID(frame)));
  });
  int r = -99;
  const std::string rsp = Run("30", &r);
  EXPECT_EQ(r, 0);
  const std::string a = ReplyContent("31", "00");
  std::string expected(161, ' ');
  expected.replace(0, 8, a.substr(0, 8));
  expected.replace(8, 15, a.substr(41, 15));
  expected.replace(23, 4, a.substr(56, 4));  // content bytes 56..59 exist, 60.. do not
  expected.replace(55, 12, a.substr(23, 12));
  expected.replace(146, 6, a.substr(35, 6));
  expected.replace(158, 3, "RSV");
  EXPECT_EQ(rsp, expected);
}

TEST_F(PtyTrans, TimeOutStopsTheRelay) {
  UseLogLevel(5);
  LoopbackHost host;
  ServeOnce(host, "HOSTREPLY");
  std::string ip = "127.0.0.1";
  ip.resize(40, '\0');
  std::string port = host.Port();
  port.resize(6, ' ');
  const std::string unit = "D000" + ip + port + std::string("\x00\x02", 2) + "HI";
  term.SetHandler([unit](FakeTerminal& t, const std::string& frame) {
    const std::string c = FakeTerminal::Content(frame);
    if (c.compare(0, 2, "C0") == 0) return Answering()(t, frame);
    if (c.compare(0, 2, "D1") != 0) t.Send(WireFrame(unit, "000000"));  // and no final answer
  });
  int r = 0;
  Run("30", &r);
  EXPECT_EQ(r, -3);
  EXPECT_EQ(HostPayload(host), "HI");
  ASSERT_EQ(term.Frames().size(), 3u);  // handshake, request, the host's answer in a D1 frame
  const std::string log = env.Log();
  const size_t timeout = log.find("处理消费(发送->接收)时间超时");
  ASSERT_NE(timeout, std::string::npos);
  EXPECT_NE(log.find("TCP Thread exit successfully.", timeout), std::string::npos);
}

// An exception after the request went out (memory pressure while the answer is handled) is -3, the
// payment in doubt, never -1 ("not sent, try again"); before the request it stays -1.
TEST_F(PtyTrans, UnexpectedFailureAfterTheRequestIsInDoubt) {
  g_failingThread = std::this_thread::get_id();  // the caller's: the one that runs the transaction
  for (const char* armOn : {"request", "handshake"}) {
    LibraryDetach();
    LibraryAttach(NULL);
    const bool onRequest = strcmp(armOn, "request") == 0;
    term.SetHandler([onRequest](FakeTerminal& t, const std::string& frame) {
      if ((FakeTerminal::Content(frame).compare(0, 2, "C0") != 0) == onRequest) g_failNextAllocation = true;
      Answering()(t, frame);
    });
    int r = 0;
    Run("30", &r);
    g_failNextAllocation = false;
    EXPECT_EQ(r, onRequest ? -3 : -1) << armOn;
    EXPECT_STREQ(GetValue("lastOutcome"), onRequest ? "uncertain" : "not-sent") << armOn;
  }
}

#ifdef KV_ENGINE_LIBRARY_FILE
// The built library, copied into a folder of its own with its Config.ini, loaded and
// unloaded while its port is open.
TEST(LibraryLoad, UnloadWithThePortOpenReturns) {
  EngineTestEnv env("");
  FakeTerminal term(kComPort);
  term.SetHandler(Answering());
  EngineTestEnv::WriteFile(env.Path("Config.ini"), PtyIni(2, env.Dir()));
  const std::string lib = env.Path("libKorvessaDLL.so");
  EngineTestEnv::WriteFile(lib, EngineTestEnv::ReadFile(KV_ENGINE_LIBRARY_FILE));
  for (int round = 0; round < 2; ++round) {
    void* h = dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(h, nullptr) << dlerror();
    auto bankTrans = reinterpret_cast<PFN_BankTrans>(dlsym(h, "BankTrans"));
    ASSERT_NE(bankTrans, nullptr);
    EXPECT_EQ(dlsym(h, "LibraryAttach"), nullptr);  // only the four functions are visible
    const std::string req = RequestRecord("30");
    char response[161];
    EXPECT_EQ(bankTrans(req.data(), response), 0);
    EXPECT_EQ(std::string(response + 6, 2), "00");
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(dlclose(h), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
  }
  EXPECT_EQ(term.Frames().size(), 4u);
}
#endif

}  // namespace

#endif  // _WIN32
