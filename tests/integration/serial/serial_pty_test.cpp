// SerialPort over pseudo-terminals: open, settings, raw bytes, time-outs, close paths.
#include <gtest/gtest.h>

#include <dirent.h>

#include <ctime>
#include <thread>

#include "pty_port.h"
#include "SerialTexts.h"

namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

TEST(SerialOpen, SettingsReachTheLineAndTheFoundStateReturnsAtClose) {
  Pty pty(41);
  ASSERT_TRUE(pty.ok());
  termios before;
  ASSERT_EQ(tcgetattr(pty.slave(), &before), 0);
  RecordingPort port;
  ASSERT_TRUE(port.Open(41, 9600, EVENPARITY, 7, TWOSTOPBITS));
  EXPECT_TRUE(port.IsOpen());
  EXPECT_STREQ(port.GetName(), "\\\\.\\COM41");
  EXPECT_EQ(port.GetPort(), 41u);
  EXPECT_NE(port.WatchThread(), nullptr);

  termios t;
  ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
  // A pseudo-terminal keeps CS8 and clears PARENB whatever is asked; the rest is the line's.
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  EXPECT_FALSE(t.c_cflag & PARODD);
  EXPECT_FALSE(t.c_cflag & CMSPAR);
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_cflag & CLOCAL);
  EXPECT_TRUE(t.c_cflag & CREAD);
  EXPECT_FALSE(t.c_cflag & HUPCL);
  EXPECT_TRUE(t.c_iflag & INPCK);
  EXPECT_FALSE(t.c_iflag & (ICRNL | IGNCR | INLCR | ISTRIP | IXON | IXOFF | BRKINT | PARMRK | IGNBRK));
  EXPECT_FALSE(t.c_oflag & OPOST);
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);

  // The DCB read back carries what was set; the time-outs are the overlapped set.
  DCB dcb;
  ASSERT_TRUE(GetCommState(port.Comm(), &dcb));
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(dcb.ByteSize, 7);
  EXPECT_EQ(dcb.Parity, EVENPARITY);
  EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
  EXPECT_EQ(dcb.fParity, 1u);
  COMMTIMEOUTS co;
  ASSERT_TRUE(GetCommTimeouts(port.Comm(), &co));
  EXPECT_EQ(co.ReadIntervalTimeout, 100u);
  EXPECT_EQ(co.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(co.ReadTotalTimeoutConstant, 500u);
  EXPECT_EQ(co.WriteTotalTimeoutMultiplier, 1u);
  EXPECT_EQ(co.WriteTotalTimeoutConstant, 10000u);
  DWORD modem = 1234;
  EXPECT_TRUE(GetCommModemStatus(port.Comm(), &modem));
  EXPECT_EQ(modem, 0u);  // a pseudo-terminal has no modem lines
  EXPECT_EQ(port.GetModemStatus(), 0u);

  port.Close(500);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.WatchThread(), nullptr);
  termios after;
  ASSERT_EQ(tcgetattr(pty.slave(), &after), 0);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
}

TEST(SerialOpen, ParityCodesMapOntoTheLine) {
  Pty pty(42);
  ASSERT_TRUE(pty.ok());
  struct Case {
    BYTE parity, size, stop;
    tcflag_t set, clear;
    bool inpck;
  } cases[] = {
      {NOPARITY, 8, ONESTOPBIT, 0, PARODD | CMSPAR | CSTOPB, false},
      {ODDPARITY, 8, ONESTOPBIT, PARODD, CMSPAR, true},
      {EVENPARITY, 8, TWOSTOPBITS, CSTOPB, PARODD | CMSPAR, true},
      {MARKPARITY, 8, ONESTOPBIT, PARODD | CMSPAR, 0, true},
      {SPACEPARITY, 6, ONESTOPBIT, CMSPAR, PARODD, true},
      {NOPARITY, 5, ONE5STOPBITS, CSTOPB, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "parity " << int(c.parity) << " size " << int(c.size));
    RecordingPort port(EN_OVERLAPPED_IO | EN_RX_BUFFER);  // no threads needed here
    ASSERT_TRUE(port.Open(42, 115200, c.parity, c.size, c.stop));
    termios t;
    ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
    EXPECT_EQ(t.c_cflag & c.set, c.set);
    EXPECT_EQ(t.c_cflag & c.clear, 0u);
    EXPECT_EQ((t.c_iflag & INPCK) != 0, c.inpck);
    EXPECT_EQ((t.c_iflag & IGNPAR) != 0, c.parity == NOPARITY);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    DCB dcb;
    ASSERT_TRUE(GetCommState(port.Comm(), &dcb));
    EXPECT_EQ(dcb.Parity, c.parity);
    EXPECT_EQ(dcb.ByteSize, c.size);
    EXPECT_EQ(dcb.StopBits, c.stop);
    EXPECT_EQ(dcb.fParity, c.parity != 0 ? 1u : 0u);
    port.Close(500);
  }
}

TEST(SerialOpen, UnsupportedSettingsFailTheOpenWithAClearText) {
  Pty pty(43);
  ASSERT_TRUE(pty.ok());
  const std::string text =
      "SP_ASSERT(SetState(dwBaudRate, btParity, btByteSize, btStopBits)) failed; SerialPort(336); Code:87;" +
      SystemMessage(ERROR_INVALID_PARAMETER);
  struct Case {
    DWORD baud;
    BYTE parity, size, stop;
  } cases[] = {{14400, 0, 8, 0}, {9600, 5, 8, 0}, {9600, 0, 9, 0}, {9600, 0, 4, 0},
               {9600, 0, 8, 3},  {9600, 0, 8, 1}, {9600, 0, 5, 2}};
  for (const Case& c : cases) {
    RecordingPort port;
    EXPECT_EQ(Raised([&] { port.Open(43, c.baud, c.parity, c.size, c.stop); }), text);
    // The open stopped after the handle was taken; the caller closes it.
    port.Close(500);
    EXPECT_FALSE(port.IsOpen());
  }
}

TEST(SerialOpen, SecondOpenerIsRefusedAndAMissingDeviceReported) {
  Pty pty(44);
  ASSERT_TRUE(pty.ok());
  RecordingPort first;
  ASSERT_TRUE(first.Open(44, 9600, 0, 8, 0));
  RecordingPort second;
  EXPECT_EQ(Raised([&] { second.Open(44, 9600, 0, 8, 0); }),
            "SP_ASSERT(OpenPort()) failed; SerialPort(333); Code:5;" + SystemMessage(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(second.IsOpen());
  // Through OpenPort on an open object.
  SetLastError(0);
  EXPECT_EQ(Raised([&] { first.OpenPort(); }), "SP_ASSERT(!IsOpen()) failed; SerialPort(1719); ");
  first.Close(500);
  // Free again once closed.
  ASSERT_TRUE(second.Open(44, 9600, 0, 8, 0));
  second.Close(500);

  setenv("KORVESSA_COM45", "/nonexistent/korvessa-tty", 1);
  RecordingPort missing;
  EXPECT_EQ(Raised([&] { missing.Open(45, 9600, 0, 8, 0); }),
            "SP_ASSERT(OpenPort()) failed; SerialPort(333); Code:2;" + SystemMessage(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(missing.IsOpen());
  unsetenv("KORVESSA_COM45");
}

TEST(SerialData, RawBytesPassBothWaysUnchanged) {
  Pty pty(46);
  ASSERT_TRUE(pty.ok());
  RecordingPort port;
  ASSERT_TRUE(port.Open(46, 9600, 0, 8, 0));
  std::vector<BYTE> all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<BYTE>(i));
  const std::vector<BYTE> special = {0x00, 0x0D, 0x0A, 0x11, 0x13, 0x7F, 0xFF, 0x03, 0x04, 0x1A, 0x1C, 0x0D};
  all.insert(all.end(), special.begin(), special.end());

  pty.Send(all);
  ASSERT_TRUE(port.WaitBytes(all.size(), 5000));
  EXPECT_EQ(port.Bytes(), all);

  EXPECT_EQ(port.Write(all.data(), static_cast<DWORD>(all.size())), all.size());
  EXPECT_EQ(pty.Receive(all.size(), 5000), all);
  BYTE none = 0;
  EXPECT_EQ(port.Write(&none, 0), 0u);
  EXPECT_EQ(port.Read(&none, 0), 0u);
}

TEST(SerialData, PiecesOfAFrameArriveInOneDelivery) {
  Pty pty(47);
  ASSERT_TRUE(pty.ok());
  RecordingPort port;
  ASSERT_TRUE(port.Open(47, 9600, 0, 8, 0));
  std::vector<BYTE> head(20, 0x31), tail(15, 0x32);
  head[0] = 0x02;
  tail.back() = 0x03;
  pty.Send(head);
  Sleep(50);
  pty.Send(tail);
  ASSERT_TRUE(port.WaitBytes(35, 5000));
  const auto calls = port.Calls();
  ASSERT_EQ(calls.size(), 1u);
  std::vector<BYTE> want = head;
  want.insert(want.end(), tail.begin(), tail.end());
  EXPECT_EQ(calls[0], want);
}

TEST(SerialData, ALoneByteComesAfterTheIntervalTimeOut) {
  Pty pty(48);
  ASSERT_TRUE(pty.ok());
  RecordingPort port;
  ASSERT_TRUE(port.Open(48, 9600, 0, 8, 0));
  Sleep(20);  // let the watch thread settle in its event wait
  const auto sent = Clock::now();
  pty.Send({0x41});
  ASSERT_TRUE(port.WaitBytes(1, 5000));
  const long ms = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(port.LastDelivery() - sent).count());
  EXPECT_GE(ms, 90);    // the read waited for more bytes for the 100 ms interval
  EXPECT_LT(ms, 2000);  // and no longer than its time-outs allow (generous)
}

TEST(SerialData, AnIdlePortCostsNoCpu) {
  Pty pty(49);
  ASSERT_TRUE(pty.ok());
  RecordingPort port;
  ASSERT_TRUE(port.Open(49, 9600, 0, 8, 0));
  Sleep(20);
  timespec a, b;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &a);
  Sleep(1000);
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &b);
  const double cpuMs = (b.tv_sec - a.tv_sec) * 1e3 + (b.tv_nsec - a.tv_nsec) / 1e6;
  EXPECT_LT(cpuMs, 50.0);
  EXPECT_TRUE(port.Calls().empty());
}

TEST(SerialData, ConcurrentWritesStayWhole) {
  Pty pty(50);
  ASSERT_TRUE(pty.ok());
  RecordingPort port;
  ASSERT_TRUE(port.Open(50, 9600, 0, 8, 0));
  constexpr int kFrames = 40;
  constexpr size_t kLen = 300;
  auto writer = [&](BYTE fill) {
    for (int i = 0; i < kFrames; ++i) {
      std::vector<BYTE> frame(kLen, fill);  // released as soon as Write returns
      EXPECT_EQ(port.Write(frame.data(), kLen), kLen);
    }
  };
  std::vector<BYTE> got;
  std::thread reader([&] { got = pty.Receive(2 * kFrames * kLen, 10000); });
  std::thread a(writer, 0x41), b(writer, 0x42);
  a.join();
  b.join();
  reader.join();
  ASSERT_EQ(got.size(), 2 * kFrames * kLen);
  for (size_t at = 0; at < got.size(); at += kLen) {
    for (size_t i = 1; i < kLen; ++i) ASSERT_EQ(got[at + i], got[at]) << "frame at " << at << " interleaved";
  }
}

TEST(SerialData, ReceiveBufferStopsTakingBytesAtItsLimit) {
  Pty pty(58);
  ASSERT_TRUE(pty.ok());
  RecordingPort port;
  port.keepReceived_ = true;  // an OnReceive that never takes the bytes
  port.SetRxLimit(1000);
  ASSERT_TRUE(port.Open(58, 9600, 0, 8, 0));
  // Pieces further apart than the read interval: one receive step each until the limit.
  for (int i = 0; i < 6; ++i) {
    pty.Send(std::vector<BYTE>(500, 0x5A));
    Sleep(150);
  }
  ASSERT_TRUE(RecordingPort::Eventually([&] { return port.Rx().Size() >= 1000; }, 5000));
  const int calls = port.receiveCalls_;
  ASSERT_TRUE(RecordingPort::Eventually([&] { return port.receiveCalls_ > calls + 3; }, 5000));
  // One read may pass the limit (it asks for 2n + 64 bytes); after that the rest stays queued.
  EXPECT_LT(port.Rx().Size(), 3000u);
  EXPECT_GT(port.GetInputQueueCount(), 0u);
  port.Close(500);
}

TEST(SerialData, SynchronousWriteGivesUpAfterItsTimeOut) {
  Pty pty(51);
  ASSERT_TRUE(pty.ok());
  RecordingPort port(EN_RX_BUFFER);  // synchronous: write time-out 250 ms
  ASSERT_TRUE(port.Open(51, 9600, 0, 8, 0));
  std::vector<BYTE> big(1 << 20, 0x55);  // far more than the line buffers while nobody reads
  const auto start = Clock::now();
  const DWORD written = port.Write(big.data(), static_cast<DWORD>(big.size()));
  EXPECT_LT(written, big.size());
  EXPECT_GE(ElapsedMs(start), 200);
  EXPECT_LT(ElapsedMs(start), 5000);
}

TEST(SerialClose, CloseReleasesTheWaitingWatchThreadAndReopens) {
  Pty pty(52);
  ASSERT_TRUE(pty.ok());
  RecordingPort port;
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(port.Open(52, 9600, 0, 8, 0));
    ASSERT_NE(port.WatchThread(), nullptr);
    Sleep(20);
    port.Close(500);
    EXPECT_FALSE(port.IsOpen());
    // The thread ended within the wait and was collected; no termination was needed.
    EXPECT_EQ(port.WatchThread(), nullptr);
    EXPECT_TRUE(port.Calls().empty());
  }
  ASSERT_TRUE(port.Open(52, 9600, 0, 8, 0));
  pty.Send({1, 2, 3});
  EXPECT_TRUE(port.WaitBytes(3, 5000));
}

int OpenDescriptors() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n;
}

TEST(SerialClose, OpenAndCloseReleaseEveryDescriptor) {
  Pty pty(57);
  ASSERT_TRUE(pty.ok());
  RecordingPort port;
  ASSERT_TRUE(port.Open(57, 9600, 0, 8, 0));  // first use settles lazily created state
  port.Close(500);
  const int before = OpenDescriptors();
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(port.Open(57, 9600, 0, 8, 0));
    pty.Send({0x61});
    ASSERT_TRUE(port.WaitBytes(static_cast<size_t>(i) + 1, 5000));
    port.Close(500);
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST(SerialClose, CloseFromInsideOnReceiveEndsTheWatchThread) {
  Pty pty(53);
  ASSERT_TRUE(pty.ok());
  RecordingPort port;
  port.closeInReceive_ = true;
  ASSERT_TRUE(port.Open(53, 9600, 0, 8, 0));
  pty.Send({0x10, 0x20});
  ASSERT_TRUE(port.WaitFor([&] { return port.closedInReceive_; }, 5000));
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.WatchThread(), nullptr);
  {
    std::lock_guard<std::mutex> g(port.m_);
    EXPECT_EQ(port.watchAfterClose_, nullptr);
  }
  // A later open starts a new watch thread that delivers again.
  port.closeInReceive_ = false;
  ASSERT_TRUE(port.Open(53, 9600, 0, 8, 0));
  ASSERT_NE(port.WatchThread(), nullptr);
  pty.Send({0x30});
  ASSERT_TRUE(port.WaitBytes(3, 5000));
  EXPECT_EQ(port.Bytes(), (std::vector<BYTE>{0x10, 0x20, 0x30}));
}

TEST(SerialClose, VanishingDeviceClosesThePortAndTheNextOpenWorks) {
  RecordingPort port;
  {
    Pty pty(54);
    ASSERT_TRUE(pty.ok());
    ASSERT_TRUE(port.Open(54, 9600, 0, 8, 0));
    pty.Send({0x02, 0x30});
    ASSERT_TRUE(port.WaitBytes(2, 5000));
    pty.CloseMaster();  // the cable is pulled
    EXPECT_TRUE(RecordingPort::Eventually([&] { return !port.IsOpen(); }, 5000));
    EXPECT_TRUE(RecordingPort::Eventually([&] { return port.WatchThread() == nullptr; }, 5000));
    EXPECT_NE(port.Failure().find("SerialPort("), std::string::npos) << port.Failure();
    // Writing now fails as on a closed port.
    BYTE b = 1;
    SetLastError(0);
    EXPECT_EQ(Raised([&] { port.Write(&b, 1); }), "SP_ASSERT(IsOpen()) failed; SerialPort(497); ");
  }
  Pty back(54);  // the terminal is back
  ASSERT_TRUE(back.ok());
  ASSERT_TRUE(port.Open(54, 9600, 0, 8, 0));
  back.Send({0x44});
  ASSERT_TRUE(port.WaitBytes(3, 5000));
}

TEST(SerialClose, AnUncaughtExceptionOnTheWatchThreadClosesThePort) {
  Pty pty(55);
  ASSERT_TRUE(pty.ok());
  RecordingPort port;
  port.catchInDispatch_ = false;
  port.throwInReceive_ = true;
  ASSERT_TRUE(port.Open(55, 9600, 0, 8, 0));
  pty.Send({0x01});
  EXPECT_TRUE(
      RecordingPort::Eventually([&] { return !port.IsOpen() && port.WatchThread() == nullptr; }, 5000));
  port.throwInReceive_ = false;
  ASSERT_TRUE(port.Open(55, 9600, 0, 8, 0));
  pty.Send({0x02});
  EXPECT_TRUE(port.WaitBytes(2, 5000));
}

TEST(SerialClose, DrainOnCloseEndsWhenThePortIsClosed) {
  Pty pty(56);
  ASSERT_TRUE(pty.ok());
  // A read thread only: nothing sends the queued bytes, so the drain can only end by discarding.
  RecordingPort port(EN_READ_THREAD | EN_OVERLAPPED_IO | EN_RX_BUFFER | EN_TX_BUFFER | EN_DRAIN_ON_CLOSE);
  auto queue = [&] {
    ChainBuffer::Guard g(port.Tx());
    ASSERT_NE(port.Tx().AddBlock(100), nullptr);
    port.Tx().Commit(100);
  };
  ASSERT_TRUE(port.Open(56, 9600, 0, 8, 0));
  queue();
  auto start = Clock::now();
  port.Close(500);
  EXPECT_LT(ElapsedMs(start), 5000);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.Tx().Size(), 0u);
  // Stopping the threads of an open port: a queue that stops shrinking is given up as well.
  ASSERT_TRUE(port.Open(56, 9600, 0, 8, 0));
  queue();
  start = Clock::now();
  EXPECT_TRUE(port.StopThreads(200));
  EXPECT_LT(ElapsedMs(start), 5000);
  EXPECT_EQ(port.Tx().Size(), 0u);
  port.Close(500);
}

}  // namespace
