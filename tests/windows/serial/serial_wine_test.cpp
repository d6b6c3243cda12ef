// The serial port of the Windows build on real Win32 communications calls, run under Wine by
// run-wine-serial.sh. Two COM ports, named by number in KV_WINE_COM_A and KV_WINE_COM_B, are
// the two ends of one pseudo-terminal line; KV_WINE_COM_MISSING names a COM number that has no
// device. Port A runs as the library runs it (options 7: watch thread, overlapped I/O, receive
// buffer); port B is a plain synchronous port that plays the card terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/SerialPort.h"
#include "RecordingPort.h"
#include "SerialTexts.h"

namespace {

using Clock = std::chrono::steady_clock;

DWORD PortFromEnv(const char* name) {
  const char* v = getenv(name);
  if (v == nullptr || v[0] == '\0') return 0;
  const long n = strtol(v, nullptr, 10);
  return (n >= 1 && n <= 1024) ? static_cast<DWORD>(n) : 0;
}

// Polls a condition until it holds; false after `ms`.
template <typename P>
bool Eventually(P pred, int ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (Clock::now() > end) return false;
    Sleep(5);
  }
  return true;
}

// Reads from a synchronous port until `n` bytes came or `ms` passed.
std::vector<BYTE> ReadFor(SerialPort& port, size_t n, int ms) {
  std::vector<BYTE> out;
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  BYTE buf[1024];
  while (out.size() < n && Clock::now() < end) {
    const size_t want = n - out.size() < sizeof(buf) ? n - out.size() : sizeof(buf);
    const DWORD got = port.Read(buf, static_cast<DWORD>(want));
    out.insert(out.end(), buf, buf + got);
  }
  return out;
}

// Writes all of `bytes` to a synchronous port.
bool WriteAll(SerialPort& port, const std::vector<BYTE>& bytes) {
  size_t at = 0;
  for (int tries = 0; at < bytes.size() && tries < 100; ++tries) {
    at += port.Write(bytes.data() + at, static_cast<DWORD>(bytes.size() - at));
  }
  return at == bytes.size();
}

class WineSerial : public ::testing::Test {
 protected:
  void SetUp() override {
    comA_ = PortFromEnv("KV_WINE_COM_A");
    comB_ = PortFromEnv("KV_WINE_COM_B");
    comMissing_ = PortFromEnv("KV_WINE_COM_MISSING");
    ASSERT_NE(comA_, 0u) << "KV_WINE_COM_A must name a COM port number (run through run-wine-serial.sh)";
    ASSERT_NE(comB_, 0u) << "KV_WINE_COM_B must name a COM port number (run through run-wine-serial.sh)";
    ASSERT_NE(comMissing_, 0u) << "KV_WINE_COM_MISSING must name a COM number without a device";
  }

  DWORD comA_ = 0;
  DWORD comB_ = 0;
  DWORD comMissing_ = 0;
};

TEST_F(WineSerial, OpenTakesTheConfiguredSettingsAndTimeOuts) {
  RecordingPort a;
  ASSERT_TRUE(a.Open(comA_, 19200, 0, 8, 0));
  EXPECT_TRUE(a.IsOpen());
  EXPECT_EQ(a.GetPort(), comA_);
  EXPECT_EQ(std::string(a.GetName()), "\\\\.\\COM" + std::to_string(comA_));
  EXPECT_NE(a.WatchThread(), nullptr);

  DCB dcb;
  memset(&dcb, 0, sizeof(dcb));
  dcb.DCBlength = sizeof(dcb);
  ASSERT_TRUE(GetCommState(a.Comm(), &dcb));
  EXPECT_EQ(dcb.BaudRate, 19200u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(dcb.fParity, 0u);

  // Overlapped: reads end 100 ms after the last byte or 500 ms in all; writes 10 s + 1 ms/byte.
  COMMTIMEOUTS to;
  memset(&to, 0, sizeof(to));
  ASSERT_TRUE(GetCommTimeouts(a.Comm(), &to));
  EXPECT_EQ(to.ReadIntervalTimeout, 100u);
  EXPECT_EQ(to.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(to.ReadTotalTimeoutConstant, 500u);
  EXPECT_EQ(to.WriteTotalTimeoutMultiplier, 1u);
  EXPECT_EQ(to.WriteTotalTimeoutConstant, 10000u);

  // A synchronous port gets the short time-outs.
  RecordingPort b(0);
  ASSERT_TRUE(b.Open(comB_, 9600, 0, 8, 0));
  EXPECT_EQ(b.WatchThread(), nullptr);
  memset(&to, 0, sizeof(to));
  ASSERT_TRUE(GetCommTimeouts(b.Comm(), &to));
  EXPECT_EQ(to.ReadIntervalTimeout, 100u);
  EXPECT_EQ(to.ReadTotalTimeoutConstant, 250u);
  EXPECT_EQ(to.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(to.WriteTotalTimeoutConstant, 250u);

  // Opening the object again is refused before any device is touched. (That the device itself is
  // held exclusively cannot be seen here: Wine lets a second opener share a serial device.)
  SetLastError(0);
  EXPECT_EQ(Raised([&] { a.Open(comA_, 19200, 0, 8, 0); }),
            "SP_ASSERT(!IsOpen()) failed; SerialPort(1719); ");
  EXPECT_TRUE(a.IsOpen());
}

TEST_F(WineSerial, RawBytesPassBothWaysUnchanged) {
  RecordingPort a;
  RecordingPort b(0);
  ASSERT_TRUE(a.Open(comA_, 9600, 0, 8, 0));
  ASSERT_TRUE(b.Open(comB_, 9600, 0, 8, 0));
  std::vector<BYTE> all = {0x00, 0x0D, 0x11, 0x13, 0x7F, 0xFF, 0x0A, 0x0D, 0x03, 0x04, 0x1A};
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<BYTE>(i));

  // Terminal to library.
  ASSERT_TRUE(WriteAll(b, all));
  ASSERT_TRUE(a.WaitBytes(all.size(), 5000)) << a.Bytes().size() << " bytes arrived";
  EXPECT_EQ(a.Bytes(), all);

  // Library to terminal: the overlapped write returns the whole length at once, and the
  // caller may reuse its bytes straight away.
  std::vector<BYTE> out = all;
  EXPECT_EQ(a.Write(out.data(), static_cast<DWORD>(out.size())), out.size());
  std::fill(out.begin(), out.end(), 0xEE);
  EXPECT_EQ(ReadFor(b, all.size(), 5000), all);
  EXPECT_EQ(a.Failure(), "");
}

TEST_F(WineSerial, WritesFromTwoThreadsStayWholeWhileTheLineIsFull) {
  // The exchange and the host relay write at the same time. More than the line holds is
  // written, so overlapped writes are still running when the next one starts.
  RecordingPort a;
  RecordingPort b(0);
  ASSERT_TRUE(a.Open(comA_, 9600, 0, 8, 0));
  ASSERT_TRUE(b.Open(comB_, 9600, 0, 8, 0));
  constexpr int kFrames = 40;
  constexpr size_t kLen = 4000;
  auto writer = [&](BYTE fill) {
    for (int i = 0; i < kFrames; ++i) {
      std::vector<BYTE> frame(kLen, fill);  // released as soon as Write returns
      frame[0] = static_cast<BYTE>(i);
      EXPECT_EQ(a.Write(frame.data(), kLen), kLen);
    }
  };
  std::thread w1(writer, 0x41), w2(writer, 0x42);
  const std::vector<BYTE> got = ReadFor(b, 2 * kFrames * kLen, 20000);
  w1.join();
  w2.join();
  ASSERT_EQ(got.size(), 2 * kFrames * kLen);
  int next[2] = {0, 0};
  for (size_t at = 0; at < got.size(); at += kLen) {
    const BYTE fill = got[at + 1];
    ASSERT_TRUE(fill == 0x41 || fill == 0x42) << "frame at " << at;
    for (size_t i = 2; i < kLen; ++i) ASSERT_EQ(got[at + i], fill) << "frame at " << at << " interleaved";
    // Each writer's frames arrive in the order written, none lost.
    EXPECT_EQ(got[at], next[fill - 0x41]++) << "frame at " << at;
  }
  EXPECT_EQ(next[0], kFrames);
  EXPECT_EQ(next[1], kFrames);
  EXPECT_EQ(a.Failure(), "");
}

TEST_F(WineSerial, AWriteFromAThreadThatEndsAtOnceGoesOutWhole) {
  // The system cancels the I/O a thread has pending when the thread ends: a register's payment
  // thread, or a relay thread stopped by the next unit, may end right after its write.
  RecordingPort a;
  RecordingPort b(0);
  ASSERT_TRUE(a.Open(comA_, 9600, 0, 8, 0));
  ASSERT_TRUE(b.Open(comB_, 9600, 0, 8, 0));
  std::vector<BYTE> frame(60000);  // more than the line holds: the write is still running
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<BYTE>(i * 7);
  std::thread writer(
      [&] { EXPECT_EQ(a.Write(frame.data(), static_cast<DWORD>(frame.size())), frame.size()); });
  const std::vector<BYTE> got = ReadFor(b, frame.size(), 20000);
  writer.join();
  EXPECT_EQ(got.size(), frame.size());
  EXPECT_TRUE(got == frame);
}

TEST_F(WineSerial, AFrameInTwoPiecesArrivesInOneDelivery) {
  RecordingPort a;
  RecordingPort b(0);
  ASSERT_TRUE(a.Open(comA_, 9600, 0, 8, 0));
  ASSERT_TRUE(b.Open(comB_, 9600, 0, 8, 0));
  Sleep(50);  // the watch thread settles in its wait
  std::vector<BYTE> head(20, 0x31), tail(15, 0x32);
  head[0] = 0x02;
  tail.back() = 0x03;
  ASSERT_TRUE(WriteAll(b, head));
  Sleep(50);  // well inside the 100 ms read interval
  ASSERT_TRUE(WriteAll(b, tail));
  ASSERT_TRUE(a.WaitBytes(head.size() + tail.size(), 5000)) << a.Bytes().size() << " bytes arrived";
  std::vector<BYTE> want(head.size() + tail.size());
  std::copy(head.begin(), head.end(), want.begin());
  std::copy(tail.begin(), tail.end(), want.begin() + static_cast<std::ptrdiff_t>(head.size()));
  const auto calls = a.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0], want);
}

TEST_F(WineSerial, ATimedReadReturnsWhatCameAndTheNextReadLosesNothing) {
  RecordingPort a(EN_OVERLAPPED_IO);  // no worker thread: the test reads the port itself
  RecordingPort b(0);
  ASSERT_TRUE(a.Open(comA_, 9600, 0, 8, 0));
  ASSERT_TRUE(b.Open(comB_, 9600, 0, 8, 0));
  const std::vector<BYTE> first = {0x41, 0x00, 0xFF};
  ASSERT_TRUE(WriteAll(b, first));
  ASSERT_TRUE(Eventually([&] { return a.GetInputQueueCount() == first.size(); }, 5000));
  // What is queued at once, then one byte at a time until the limit ends a pending read.
  BYTE buf[16];
  memset(buf, 0xEE, sizeof(buf));
  ASSERT_EQ(a.Read(buf, 10, 300), first.size());
  EXPECT_EQ(std::vector<BYTE>(buf, buf + 3), first);
  EXPECT_EQ(buf[3], 0xEE);  // the aborted read left the caller's buffer alone

  // The aborted read is finished with: the next reads see every byte, in order.
  const std::vector<BYTE> second = {0x02, 0x11, 0x13, 0x0D, 0x03};
  ASSERT_TRUE(WriteAll(b, second));
  memset(buf, 0xEE, sizeof(buf));
  ASSERT_EQ(a.Read(buf, 5, 2000), second.size());
  EXPECT_EQ(std::vector<BYTE>(buf, buf + 5), second);
  // Without a limit of its own a read ends with the port's time-outs, which are no failure:
  // nothing came, or fewer bytes than asked for.
  EXPECT_EQ(a.Read(buf, 4), 0u);
  ASSERT_TRUE(WriteAll(b, {0x7F, 0x13}));
  memset(buf, 0xEE, sizeof(buf));
  ASSERT_EQ(a.Read(buf, 10), 2u);
  EXPECT_EQ(buf[0], 0x7F);
  EXPECT_EQ(buf[1], 0x13);
  EXPECT_EQ(buf[2], 0xEE);
  // The same for a synchronous port.
  EXPECT_EQ(b.Read(buf, 4), 0u);
  EXPECT_EQ(a.Write(second.data(), 3), 3u);
  ASSERT_EQ(b.Read(buf, 10), 3u);
  EXPECT_EQ(std::vector<BYTE>(buf, buf + 3), std::vector<BYTE>(second.begin(), second.begin() + 3));
}

TEST_F(WineSerial, CloseFromTheCallerReleasesTheWatchThreadAndTheNextOpenWorks) {
  RecordingPort a;
  RecordingPort b(0);
  ASSERT_TRUE(b.Open(comB_, 9600, 0, 8, 0));
  for (int round = 1; round <= 3; ++round) {
    ASSERT_TRUE(a.Open(comA_, 9600, 0, 8, 0));
    ASSERT_NE(a.WatchThread(), nullptr);
    ASSERT_TRUE(Eventually([&] { return a.loopsStarted_ == round; }, 5000));
    Sleep(50);  // the watch thread waits for the port's events
    a.Close(500);
    EXPECT_FALSE(a.IsOpen());
    EXPECT_EQ(a.WatchThread(), nullptr);
    // The thread left its loop by itself: it was not terminated.
    EXPECT_EQ(a.loopsEnded_, round);
    EXPECT_TRUE(a.Calls().empty());
  }
  // The port works after being opened again.
  ASSERT_TRUE(a.Open(comA_, 9600, 0, 8, 0));
  const std::vector<BYTE> frame = {0x02, 0x00, 0x11, 0x13, 0x03};
  ASSERT_TRUE(WriteAll(b, frame));
  ASSERT_TRUE(a.WaitBytes(frame.size(), 5000));
  EXPECT_EQ(a.Bytes(), frame);
  EXPECT_EQ(a.Write(frame.data(), static_cast<DWORD>(frame.size())), frame.size());
  EXPECT_EQ(ReadFor(b, frame.size(), 5000), frame);
}

TEST_F(WineSerial, AMissingPortIsReportedWithTheSystemsReason) {
  RecordingPort p;
  SetLastError(0);
  const std::string text = Raised([&] { p.Open(comMissing_, 9600, 0, 8, 0); });
  EXPECT_FALSE(p.IsOpen());
  EXPECT_EQ(p.WatchThread(), nullptr);
  // "...SerialPort(333); Code:<n>;" and the system's message for n, starting on the blank.
  const std::string fixed = "SP_ASSERT(OpenPort()) failed; SerialPort(333); Code:";
  ASSERT_EQ(text.compare(0, fixed.size(), fixed), 0) << text;
  const DWORD code = static_cast<DWORD>(strtoul(text.c_str() + fixed.size(), nullptr, 10));
  EXPECT_TRUE(code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) << text;
  const std::string head = fixed + std::to_string(code) + "; ";
  // The message may take 255 - (length of the head) characters; it replaces the final blank.
  const std::string want = head.substr(0, head.size() - 1) + SystemMessage(code).substr(0, 255 - head.size());
  EXPECT_EQ(text, want);

  // Numbers outside 1..1024 are refused before any device is looked for.
  SetLastError(0);
  EXPECT_EQ(Raised([&] { p.Open(0, 9600, 0, 8, 0); }),
            "SP_ASSERT(dwPort>=1 && dwPort<=1024) failed; SerialPort(328); ");
  SetLastError(0);
  EXPECT_EQ(Raised([&] { p.Open(1025, 9600, 0, 8, 0); }),
            "SP_ASSERT(dwPort>=1 && dwPort<=1024) failed; SerialPort(328); ");
  EXPECT_FALSE(p.IsOpen());
}

}  // namespace
