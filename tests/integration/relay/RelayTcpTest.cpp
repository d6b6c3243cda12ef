// The relay against a bank host on the loopback interface: bytes on the wire both ways, the
// log lines of every outcome, and the relay thread's start and stop.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <dirent.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackHost.h"
#include "support/RelaySupport.h"
#include "protocol/BTFManager.h"
#include "protocol/TransID.h"
#include "platform/net_util.h"
#include "platform/platform.h"
#include "relay/TcpThread.h"

namespace {

constexpr int kWaitMs = kHostWaitMs;

std::string Hex(size_t n) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "%02X", static_cast<unsigned>(n));
  return buf;
}

class RelayTcpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogSandbox::Init();
    SetTransID("654321");
    mark_ = LogSandbox::Mark();
  }
  void TearDown() override { tcp_.Stop(true); }

  // Hands a unit to the relay as the engine does.
  bool Transmit(const Bytes& unit) {
    Bytes wire = LoadFrame(&frame_, unit);
    comm_.SetReceived(wire);
    if (tcp_.CheckTransmitData(&frame_) != 1) return false;
    return tcp_.TransmitToHost(&frame_, &comm_);
  }
  // Hands a unit over and waits for the relay thread to end with it (a failed connect).
  bool TransmitToTheEnd(const Bytes& unit) { return Transmit(unit) && tcp_.WaitThreadEnd(kWaitMs); }
  std::string Log() { return LogSandbox::Since(mark_); }
  bool WaitLog(const std::string& text, int times = 1) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (CountOf(Log(), text) < times) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

  TcpThread tcp_;
  RecordingTerminal comm_;
  BTFManager frame_;
  size_t mark_ = 0;
};

TEST_F(RelayTcpTest, PayloadGoesByteForByteAndTheAnswerComesBackInAD1Frame) {
  LoopbackHost host;
  Bytes payload;
  for (int i = 0; i < 256; ++i) payload.push_back(static_cast<unsigned char>(i));  // every byte value
  Bytes answer = ToBytes("\x02\x03 host answer \x0D\x0A\x00 end");
  answer.push_back(0x00);
  host.Serve(1, host.Answer(answer));
  Bytes unit = MakeUnit("127.0.0.1", host.Port(), payload, "35");
  ASSERT_TRUE(Transmit(unit));
  ASSERT_TRUE(comm_.WaitWrites(1, kWaitMs));
  tcp_.Stop(true);
  host.Join();

  ASSERT_EQ(host.Received().size(), 1u);
  EXPECT_EQ(host.Received()[0], payload);
  std::vector<Bytes> writes = comm_.Writes();
  ASSERT_EQ(writes.size(), 1u);
  Bytes expected = ExpectedReplyFrame(unit, answer, "654321");
  EXPECT_EQ(writes[0], expected);
  // Spot checks of the reply content against the unit.
  const Bytes& w = writes[0];
  EXPECT_EQ(std::string(w.begin() + 9, w.begin() + 13), "D136");
  EXPECT_EQ(Bytes(w.begin() + 13, w.begin() + 59), Bytes(unit.begin() + 4, unit.begin() + 50));
  EXPECT_EQ(w[59] * 256 + w[60], static_cast<int>(answer.size()));
  EXPECT_EQ(comm_.Resets(), 1);  // the unit was taken: receive state reset once

  std::string log = Log();
  EXPECT_EQ(CountOf(log, "Destination IP: 127.0.0.1 \r\n"), 1);
  EXPECT_EQ(CountOf(log, "send Data success!(SendLen = 256) \r\n"), 1);
  EXPECT_EQ(CountOf(log, "recv Data success!(RecvLen = " + std::to_string(answer.size()) + ") \r\n"), 1);
  // Both dumps stop after the header: 9 bytes of framing and the 52-byte header.
  EXPECT_EQ(CountOf(log, "【串口 > 后台 数据头】iLen=[0X13F(319), 0X3D(61)]\r\n"), 1);
  std::string replyTitle = "【后台 > 串口 数据头】iLen=[0X" + Hex(expected.size()) + "(" +
                           std::to_string(expected.size()) + "), 0X3D(61)]\r\n";
  EXPECT_EQ(CountOf(log, replyTitle), 1) << replyTitle;
  EXPECT_EQ(CountOf(log, "TCP Thread exit successfully."), 1);
  EXPECT_EQ(CountOf(log, "TcpThreadEntryPoint() Exit."), 1);
}

TEST_F(RelayTcpTest, DottedAddressWithLeadingZerosIsReadAsDecimal) {
  LoopbackHost host;
  host.Serve(1, host.Answer(ToBytes("OK")));
  ASSERT_TRUE(Transmit(MakeUnit("127.000.000.001", host.Port(), ToBytes("ping"))));
  ASSERT_TRUE(comm_.WaitWrites(1, kWaitMs));
  EXPECT_STREQ(tcp_.GetIP(), "127.0.0.1");
  tcp_.Stop(true);
  host.Join();
  EXPECT_EQ(CountOf(Log(), "Destination IP: 127.0.0.1 "), 1);
  ASSERT_EQ(host.Received().size(), 1u);
  EXPECT_EQ(host.Received()[0], ToBytes("ping"));
}

TEST_F(RelayTcpTest, HostNameIsResolvedAndPortDigitsAreReadLikeAtoi) {
  LoopbackHost host;
  host.Serve(1, host.Answer(ToBytes("OK")));
  // "localhost" resolves to 127.0.0.1; digits followed by other characters give the port.
  std::string port = host.Port() + "x";
  ASSERT_TRUE(Transmit(MakeUnit("localhost", port.substr(0, 6), ToBytes("by name"))));
  ASSERT_TRUE(comm_.WaitWrites(1, kWaitMs));
  tcp_.Stop(true);
  host.Join();
  EXPECT_EQ(CountOf(Log(), "Destination IP: 127.0.0.1 "), 1);
  ASSERT_EQ(host.Received().size(), 1u);
  EXPECT_EQ(host.Received()[0], ToBytes("by name"));
}

TEST_F(RelayTcpTest, TwoUnitsOpenTwoConnections) {
  LoopbackHost host;
  host.Serve(2, [&](SOCKET fd, int i) {
    host.Record(RecvOnce(fd, kWaitMs));
    SendAll(fd, ToBytes(i == 0 ? "first" : "second"));
    WaitPeerClose(fd, kWaitMs);
  });
  ASSERT_TRUE(Transmit(MakeUnit("127.0.0.1", host.Port(), ToBytes("one"))));
  ASSERT_TRUE(comm_.WaitWrites(1, kWaitMs));
  ASSERT_TRUE(Transmit(MakeUnit("127.0.0.1", host.Port(), ToBytes("two"))));
  ASSERT_TRUE(comm_.WaitWrites(2, kWaitMs));
  tcp_.Stop(true);
  host.Join();

  EXPECT_EQ(host.Accepted(), 2);
  ASSERT_EQ(host.Received().size(), 2u);
  EXPECT_EQ(host.Received()[0], ToBytes("one"));
  EXPECT_EQ(host.Received()[1], ToBytes("two"));
  std::string log = Log();
  size_t firstSend = log.find("send Data success!(SendLen = 3)");
  size_t exitBetween = log.find("TCP Thread exit successfully.", firstSend);
  size_t secondSend = log.find("send Data success!(SendLen = 3)", firstSend + 1);
  ASSERT_NE(firstSend, std::string::npos);
  ASSERT_NE(secondSend, std::string::npos);
  ASSERT_NE(exitBetween, std::string::npos);
  EXPECT_LT(exitBetween, secondSend);
  EXPECT_EQ(CountOf(log, "TCP Thread exit successfully."), 2);
  std::vector<Bytes> writes = comm_.Writes();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(Bytes(writes[1].end() - 8, writes[1].end() - 2), ToBytes("second"));
}

TEST_F(RelayTcpTest, UnknownHostNameSendsNothing) {
  // Taken by the watch thread at once; the relay thread looks the name up and gives up.
  ASSERT_TRUE(TransmitToTheEnd(MakeUnit("no-such-host.invalid", "9", ToBytes("lost"))));
  tcp_.Stop(true);
  std::string log = Log();
  EXPECT_EQ(CountOf(log, "gethostbyname() error! (IP = no-such-host.invalid) \r\n"), 1);
  EXPECT_EQ(CountOf(log, "GetIP() Failed! \r\n"), 1);
  EXPECT_LT(log.find("gethostbyname() error!"), log.find("GetIP() Failed!"));
  // No connection: no dump and no thread lines, as when no thread ran for the unit.
  for (const char* quiet : {"数据头", "TCP Thread exit", "TcpThreadEntryPoint() Exit."}) {
    EXPECT_EQ(CountOf(log, quiet), 0) << quiet;
  }
  EXPECT_EQ(tcp_.LastEnd(), RelayEnd::kFailed);
  EXPECT_TRUE(comm_.Writes().empty());
  EXPECT_EQ(comm_.Resets(), 1);
}

TEST_F(RelayTcpTest, RefusedPortFailsAtOnceWithTheTimeOutMessage) {
  std::string port;
  {
    LoopbackHost host;
    port = host.Port();
    host.CloseListener();
  }
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(TransmitToTheEnd(MakeUnit("127.0.0.1", port, ToBytes("refused"))));
  auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_LT(seconds, 15);  // not the full 20-second wait
  EXPECT_EQ(CountOf(Log(), "connect TimeOut! (timeout = 20s) \r\n"), 1);
  EXPECT_EQ(tcp_.LastEnd(), RelayEnd::kConnectRefused);
  EXPECT_TRUE(comm_.Writes().empty());
  // Port text without digits: port 0, which cannot be connected either.
  ASSERT_TRUE(TransmitToTheEnd(MakeUnit("127.0.0.1", "abc", ToBytes("refused"))));
  EXPECT_EQ(CountOf(Log(), "connect TimeOut! (timeout = 20s)"), 2);
  tcp_.Stop(true);
  EXPECT_FALSE(tcp_.HasThread());
}

TEST_F(RelayTcpTest, HostThatNeverCompletesTheConnectionRunsIntoTheConfiguredTimeOut) {
  // A listener whose queue is full: further connection attempts get no answer at all.
  FullQueueHost hanging;
  ASSERT_NE(hanging.PortNumber(), 0);
  std::string port = hanging.Port();

  LogSandbox::SetConnTimeOutSetting("1");
  bool taken = TransmitToTheEnd(MakeUnit("127.0.0.1", port, ToBytes("late")));
  // 0 or a negative value keeps the time-out in force (1 second).
  LogSandbox::SetConnTimeOutSetting("0");
  bool takenAgain = TransmitToTheEnd(MakeUnit("127.0.0.1", port, ToBytes("late")));
  LogSandbox::SetConnTimeOutSetting("-4");
  bool takenThird = TransmitToTheEnd(MakeUnit("127.0.0.1", port, ToBytes("late")));
  LogSandbox::SetConnTimeOutSetting("20");
  hanging.Close();

  EXPECT_TRUE(taken && takenAgain && takenThird);
  EXPECT_EQ(tcp_.ConnTimeOut(), 1);
  EXPECT_EQ(CountOf(Log(), "connect TimeOut! (timeout = 1s) \r\n"), 3);
  EXPECT_EQ(tcp_.LastEnd(), RelayEnd::kConnectTimedOut);
  tcp_.Stop(true);
  EXPECT_FALSE(tcp_.HasThread());
  EXPECT_TRUE(comm_.Writes().empty());
}

TEST_F(RelayTcpTest, HostClosingLogsNullText) {
  LoopbackHost host;
  host.Serve(1, [&](SOCKET fd, int) { host.Record(RecvOnce(fd, kWaitMs)); });  // read, then close
  ASSERT_TRUE(Transmit(MakeUnit("127.0.0.1", host.Port(), ToBytes("bye"))));
  ASSERT_TRUE(WaitLog("TcpThreadEntryPoint() Exit."));
  host.Join();
  std::string log = Log();
  EXPECT_EQ(CountOf(log, "recv Len == 0. ((null)) \r\n"), 1);
  EXPECT_TRUE(comm_.Writes().empty());
  EXPECT_TRUE(tcp_.HasThread());  // ended by itself; the handle is collected by the next Stop
  tcp_.Stop(true);
  EXPECT_FALSE(tcp_.HasThread());
  EXPECT_STREQ(tcp_.GetIP(), "");
}

TEST_F(RelayTcpTest, ReplyInTwoSegmentsPassesOnlyTheFirstBlock) {
  LoopbackHost host;
  host.Serve(1, [&](SOCKET fd, int) {
    host.Record(RecvOnce(fd, kWaitMs));
    SendAll(fd, ToBytes("FIRST-BLOCK"));
    comm_.WaitWrites(1, kWaitMs);  // the relay has answered the terminal
    SendAll(fd, ToBytes("SECOND"));
    WaitPeerClose(fd, kWaitMs);
  });
  Bytes unit = MakeUnit("127.0.0.1", host.Port(), ToBytes("req"));
  ASSERT_TRUE(Transmit(unit));
  ASSERT_TRUE(comm_.WaitWrites(1, kWaitMs));
  tcp_.Stop(true);
  host.Join();
  std::vector<Bytes> writes = comm_.Writes();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0], ExpectedReplyFrame(unit, ToBytes("FIRST-BLOCK"), "654321"));
  EXPECT_EQ(CountOf(Log(), "recv Data success!"), 1);
}

TEST_F(RelayTcpTest, EmptyPayloadSendsNothingAndWaitsForTheHost) {
  LoopbackHost host;
  host.Serve(1, [&](SOCKET fd, int) {
    SendAll(fd, ToBytes("HOST FIRST"));
    host.Record(RecvOnce(fd, 300));  // the relay sends nothing
    WaitPeerClose(fd, kWaitMs);
  });
  Bytes unit = MakeUnit("127.0.0.1", host.Port(), Bytes());
  ASSERT_TRUE(Transmit(unit));
  ASSERT_TRUE(comm_.WaitWrites(1, kWaitMs));
  tcp_.Stop(true);
  host.Join();
  ASSERT_EQ(host.Received().size(), 1u);
  EXPECT_TRUE(host.Received()[0].empty());
  EXPECT_EQ(comm_.Writes()[0], ExpectedReplyFrame(unit, ToBytes("HOST FIRST"), "654321"));
  EXPECT_EQ(CountOf(Log(), "send Data success!(SendLen = 0) \r\n"), 1);
}

TEST_F(RelayTcpTest, LargestHostBlockFillsAFrameAndOneMoreIsNotWritten) {
  for (int size : {4033, 4034}) {
    SCOPED_TRACE(size);
    size_t mark = LogSandbox::Mark();
    size_t writesBefore = comm_.Writes().size();
    LoopbackHost host;
    Bytes block(static_cast<size_t>(size));
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i * 7);
    host.Serve(1, host.Answer(block));
    Bytes unit = MakeUnit("127.0.0.1", host.Port(), ToBytes("big"));
    ASSERT_TRUE(Transmit(unit));
    if (size == 4033) {
      ASSERT_TRUE(comm_.WaitWrites(writesBefore + 1, kWaitMs));
      Bytes w = comm_.Writes().back();
      EXPECT_EQ(w.size(), 4096u);
      EXPECT_EQ(w, ExpectedReplyFrame(unit, block, "654321"));
      tcp_.Stop(true);
    } else {
      ASSERT_TRUE(WaitLog("局部变量pszBuf分配空间不足"));
      tcp_.Stop(true);  // joins the relay thread: its reply step is over
      EXPECT_EQ(comm_.Writes().size(), writesBefore);
      std::string log = LogSandbox::Since(mark);
      EXPECT_EQ(CountOf(log, "局部变量pszBuf分配空间不足，理论大小=4096，实际大小=4097."), 1);
      EXPECT_EQ(CountOf(log, "后台 > 串口 数据头"), 0);
    }
    host.Join();
  }
}

TEST_F(RelayTcpTest, SilentHostRunsIntoTheReceiveTimeOut) {
  tcp_.SetIoTimeOut(300);
  LoopbackHost host;
  host.Serve(1, [&](SOCKET fd, int) {
    host.Record(RecvOnce(fd, kWaitMs));
    WaitPeerClose(fd, kWaitMs);
  });
  ASSERT_TRUE(Transmit(MakeUnit("127.0.0.1", host.Port(), ToBytes("anyone?"))));
  ASSERT_TRUE(WaitLog("TcpThreadEntryPoint() Exit."));
  host.Join();  // the relay closed its connection
  EXPECT_EQ(CountOf(Log(), "recv Failed! (连接超时) \r\n"), 1);
  EXPECT_TRUE(comm_.Writes().empty());
}

TEST_F(RelayTcpTest, NoPayloadWithinTheWaitEndsTheThread) {
  tcp_.SetIoTimeOut(200);
  LoopbackHost host;
  host.Serve(1, [&](SOCKET fd, int) { WaitPeerClose(fd, kWaitMs); });
  RecordingTerminal comm;
  // Start alone: connected, but no payload is ever queued.
  tcp_.SetDestination("127.0.0.1", 9, host.Port().c_str(), static_cast<int>(host.Port().size()));
  ASSERT_TRUE(tcp_.Start(&comm));
  ASSERT_TRUE(WaitLog("TcpThreadEntryPoint() Exit."));
  host.Join();  // the thread closed its connection on the way out
  EXPECT_EQ(host.Accepted(), 1);
  EXPECT_EQ(CountOf(Log(), "send Data"), 0);
}

TEST_F(RelayTcpTest, StopWakesARelayThreadWaitingForTheHost) {
  LoopbackHost host;
  host.Serve(1, [&](SOCKET fd, int) {
    host.Record(RecvOnce(fd, kWaitMs));
    WaitPeerClose(fd, kWaitMs);  // never answers
  });
  ASSERT_TRUE(Transmit(MakeUnit("127.0.0.1", host.Port(), ToBytes("hello"))));
  ASSERT_TRUE(WaitLog("send Data success!(SendLen = 5)"));  // now blocked in its 60-second recv
  auto t0 = std::chrono::steady_clock::now();
  tcp_.Stop(true);
  auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_LT(seconds, 10);
  EXPECT_FALSE(tcp_.HasThread());
  EXPECT_STREQ(tcp_.GetIP(), "");
  EXPECT_STREQ(tcp_.GetPort(), "");
  host.Join();
  std::string log = Log();
  EXPECT_EQ(CountOf(log, "TCP Thread exit successfully."), 1);
  EXPECT_EQ(CountOf(log, "recv Failed!"), 0);  // a stop request is not a failure
  EXPECT_EQ(CountOf(log, "recv Len == 0."), 0);
}

TEST_F(RelayTcpTest, FailedWriteToTheTerminalEndsTheThread) {
  comm_.SetWriteResult(0);
  LoopbackHost host;
  host.Serve(1, host.Answer(ToBytes("answer")));
  ASSERT_TRUE(Transmit(MakeUnit("127.0.0.1", host.Port(), ToBytes("q"))));
  ASSERT_TRUE(WaitLog("TcpThreadEntryPoint() Exit."));
  host.Join();
  EXPECT_EQ(comm_.Writes().size(), 1u);
}

TEST_F(RelayTcpTest, StopFromTheRelayThreadItselfDoesNotDeadlock) {
  LoopbackHost host;
  host.Serve(1, host.Answer(ToBytes("answer")));
  comm_.SetOnWrite([this] { tcp_.Stop(true); });  // as if the write path stopped the relay
  ASSERT_TRUE(Transmit(MakeUnit("127.0.0.1", host.Port(), ToBytes("q"))));
  ASSERT_TRUE(WaitLog("TcpThreadEntryPoint() Exit."));
  host.Join();  // the thread closed its connection on the way out
  comm_.SetOnWrite(nullptr);
  EXPECT_TRUE(tcp_.HasThread());  // collected by the next Stop from another thread
  tcp_.Stop(true);
  EXPECT_FALSE(tcp_.HasThread());
  EXPECT_EQ(comm_.Writes().size(), 1u);
}

TEST_F(RelayTcpTest, AStopWhileTheTerminalSideClosesLeavesTheRelayThreadToEndByItself) {
  // The relay thread's write to the terminal is held (a full line) when the next unit arrives on
  // the watch thread, while the port closes: the watch thread must not wait for the relay
  // thread (the close waits for the watch thread and would terminate it holding the relay's lock).
  LoopbackHost host;
  host.Serve(2, host.Answer(ToBytes("answer")));
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  comm_.SetOnWrite([released] { released.wait_for(std::chrono::seconds(20)); });
  const Bytes unit = MakeUnit("127.0.0.1", host.Port(), ToBytes("q"));
  ASSERT_TRUE(Transmit(unit));
  ASSERT_TRUE(comm_.WaitWrites(1, kWaitMs));
  comm_.SetClosing(true);
  std::future<bool> watch = std::async(std::launch::async, [&] { return Transmit(unit); });
  const bool left = watch.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  release.set_value();
  ASSERT_TRUE(left) << "the watch thread waited for the relay thread held in its write";
  EXPECT_FALSE(watch.get());  // the unit is dropped while the port closes
  // The relay's lock is free and the thread is collected by the next stop: the relay works on.
  comm_.SetOnWrite(nullptr);
  comm_.SetClosing(false);
  tcp_.Stop(true);
  EXPECT_FALSE(tcp_.HasThread());
  ASSERT_TRUE(Transmit(unit));
  ASSERT_TRUE(comm_.WaitWrites(2, kWaitMs));
  tcp_.Stop(true);
  host.Join();
}

TEST_F(RelayTcpTest, ResetConnectionIsASendFailureNotACrash) {
  LoopbackHost host;
  std::promise<void> connected;
  std::shared_future<void> go = connected.get_future().share();
  host.Serve(1, [&](SOCKET fd, int) {
    go.wait();
    SetAbortiveClose(fd);  // the close sends a reset
  });
  // Connected and waiting for a payload; the host resets the connection before it comes.
  tcp_.SetDestination("127.0.0.1", 9, host.Port().c_str(), static_cast<int>(host.Port().size()));
  ASSERT_TRUE(tcp_.Start(&comm_));
  for (int i = 0; i < kWaitMs / 10 && !tcp_.Connected(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(tcp_.Connected());
  connected.set_value();
  host.Join();
  Bytes unit = MakeUnit("127.0.0.1", host.Port(), Bytes(2000, 0x55));
  ASSERT_TRUE(tcp_.QueueSendData(unit.data()));
  ASSERT_TRUE(WaitLog("TcpThreadEntryPoint() Exit."));
  // The reset reaches the send or the receive, depending on timing; Winsock may call it an abort.
  std::string log = Log();
  int failures = CountOf(log, "send data failed. (连接被对方重设) \r\n") +
                 CountOf(log, "recv Failed! (连接被对方重设) \r\n") +
                 CountOf(log, "send data failed. (软件造成连接取消) \r\n") +
                 CountOf(log, "recv Failed! (软件造成连接取消) \r\n") +
                 CountOf(log, "recv Len == 0. ((null)) \r\n");
  EXPECT_EQ(failures, 1) << log;
  EXPECT_TRUE(comm_.Writes().empty());
}

TEST_F(RelayTcpTest, StopAndTransmitFromTwoThreadsStaySafe) {
  LoopbackHost host;
  constexpr int kUnits = 6;
  host.Serve(kUnits, [&](SOCKET fd, int) {
    Bytes b = RecvOnce(fd, 2000);
    if (!b.empty()) SendAll(fd, ToBytes("ok"));
    WaitPeerClose(fd, kWaitMs);
  });
  std::atomic<bool> done{false};
  std::thread stopper([&] {
    while (!done) {
      tcp_.Stop(true);
      std::this_thread::yield();
    }
  });
  int taken = 0;
  for (int i = 0; i < kUnits; ++i) {
    if (Transmit(MakeUnit("127.0.0.1", host.Port(), ToBytes("unit")))) ++taken;
  }
  done = true;
  stopper.join();
  tcp_.Stop(true);
  EXPECT_FALSE(tcp_.HasThread());
  EXPECT_LE(taken, kUnits);
  // A stop may end a unit before its connection was made; the host's remaining waits are
  // ended with connections of our own.
  for (int i = 0; i < kUnits; ++i) {
    SOCKET s = host.Connect();
    if (s != INVALID_SOCKET) closesocket(s);
  }
  host.Join();
  EXPECT_EQ(host.Accepted(), kUnits);
}

TEST_F(RelayTcpTest, CloseSocketTwiceClosesTheConnectionOnce) {
  LoopbackHost host;
  host.Serve(1, [&](SOCKET fd, int) { WaitPeerClose(fd, kWaitMs); });
  HostConnection conn;
  const std::atomic<bool> noStop{false};
  RelayEnd failure = RelayEnd::kNone;
  ASSERT_TRUE(conn.Connect("127.0.0.1", host.Port().c_str(), kTcpDefaultConnTimeOut, kTcpIoTimeOut, noStop,
                           &failure));
  conn.Close();
  host.Join();  // the host saw the connection go
  // A socket opened now may reuse the released number: the second close must leave it alone.
  SOCKET other = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(other, INVALID_SOCKET);
  conn.Close();
  u_long on = 1;
  EXPECT_EQ(ioctlsocket(other, FIONBIO, &on), 0);
  EXPECT_EQ(closesocket(other), 0);
}

TEST_F(RelayTcpTest, LinesAreWrittenOnlyUpToTheLogThreshold) {
  // Threshold 4: the failures (level 2) are written, the progress lines and dumps (level 5) not.
  LogSandbox::SetSettings("4", "20");
  {
    LoopbackHost host;
    host.Serve(1, host.Answer(ToBytes("answer")));
    ASSERT_TRUE(Transmit(MakeUnit("127.0.0.1", host.Port(), ToBytes("q"))));
    ASSERT_TRUE(comm_.WaitWrites(1, kWaitMs));
    tcp_.Stop(true);
    host.Join();
  }
  {
    LoopbackHost host;
    host.Serve(1, [&](SOCKET fd, int) { host.Record(RecvOnce(fd, kWaitMs)); });  // read, then close
    ASSERT_TRUE(Transmit(MakeUnit("127.0.0.1", host.Port(), ToBytes("bye"))));
    ASSERT_TRUE(WaitLog("recv Len == 0. ((null))"));
    tcp_.Stop(true);
    host.Join();
  }
  std::string refusedPort;
  {
    LoopbackHost host;
    refusedPort = host.Port();
    host.CloseListener();
  }
  EXPECT_TRUE(TransmitToTheEnd(MakeUnit("127.0.0.1", refusedPort, ToBytes("x"))));
  EXPECT_TRUE(TransmitToTheEnd(MakeUnit("no-such-host.invalid", "9", ToBytes("x"))));
  // Threshold 1: not even the failures.
  LogSandbox::SetSettings("1", "20");
  EXPECT_TRUE(TransmitToTheEnd(MakeUnit("127.0.0.1", refusedPort, ToBytes("x"))));
  LogSandbox::SetSettings("6", "20");

  std::string log = Log();
  EXPECT_EQ(comm_.Writes().size(), 1u);
  EXPECT_EQ(CountOf(log, "recv Len == 0. ((null)) \r\n"), 1);
  EXPECT_EQ(CountOf(log, "connect TimeOut! (timeout = 20s) \r\n"), 1);
  EXPECT_EQ(CountOf(log, "gethostbyname() error! (IP = no-such-host.invalid) \r\n"), 1);
  EXPECT_EQ(CountOf(log, "GetIP() Failed! \r\n"), 1);
  for (const char* quiet : {"Destination IP", "send Data success!", "recv Data success!", "TCP Thread exit",
                            "TcpThreadEntryPoint() Exit.", "数据头"}) {
    EXPECT_EQ(CountOf(log, quiet), 0) << quiet;
  }
}

#ifndef _WIN32
int CountEntries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}
#endif

// Stops racing every phase of a unit: connecting (a host that never completes the connection),
// sending, receiving (a host that never answers), replying and waiting for a further payload
// (a host that answers at once). No hang, no race, nothing left behind.
TEST_F(RelayTcpTest, StopsRacingEveryPhaseLeaveNothingBehind) {
  LogSandbox::SetSettings("2", "2");
  StartSockets();
#ifndef _WIN32
  const int fds = CountEntries("/proc/self/fd");
  const int threads = CountEntries("/proc/self/task");
#endif
  LoopbackHost answering;
  answering.ServeUntilStopped([](SOCKET fd, int) {
    if (!RecvOnce(fd, 2000).empty()) SendAll(fd, ToBytes("answer"));
    WaitPeerClose(fd, 2000);
  });
  LoopbackHost silent;
  silent.ServeUntilStopped([](SOCKET fd, int) { WaitPeerClose(fd, 2000); });
  FullQueueHost hanging;
  ASSERT_NE(hanging.PortNumber(), 0);
  const std::string ports[] = {answering.Port(), silent.Port(), hanging.Port()};
  const int delaysMs[] = {0, 1, 3, 10, 30};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  int rounds = 0;
  for (int i = 0; i < 45 && std::chrono::steady_clock::now() < deadline; ++i, ++rounds) {
    // A stop from another thread, as the exchange's time-out comes from the caller's thread.
    std::thread stopper([&, i] {
      std::this_thread::sleep_for(std::chrono::milliseconds(delaysMs[i % 5]));
      tcp_.Stop(true);
    });
    Transmit(MakeUnit("127.0.0.1", ports[i % 3], ToBytes("race")));
    stopper.join();
    tcp_.Stop(true);
    ASSERT_FALSE(tcp_.HasThread());
  }
  EXPECT_GT(rounds, 0);
  answering.StopServing();
  silent.StopServing();
  answering.CloseListener();
  silent.CloseListener();
  hanging.Close();
#ifndef _WIN32
  EXPECT_EQ(fds, CountEntries("/proc/self/fd"));
  EXPECT_EQ(threads, CountEntries("/proc/self/task"));
#endif
  LogSandbox::SetSettings("6", "20");
}

TEST(RelayLifetime, DestroyingTheRelayEndsAWaitingThread) {
  LogSandbox::Init();
  LoopbackHost host;
  host.Serve(1, [&](SOCKET fd, int) { WaitPeerClose(fd, kWaitMs); });
  RecordingTerminal comm;
  auto t0 = std::chrono::steady_clock::now();
  {
    TcpThread tcp;
    tcp.SetDestination("127.0.0.1", 9, host.Port().c_str(), static_cast<int>(host.Port().size()));
    ASSERT_TRUE(tcp.Start(&comm));
    EXPECT_TRUE(tcp.HasThread());
    EXPECT_TRUE(tcp.IsWSAStarted());
    // Connected (the host took the connection): now waiting for a payload.
    for (int i = 0; i < kWaitMs / 10 && host.Accepted() == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(host.Accepted(), 1);
  }
  auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_LT(seconds, 10);
  host.Join();  // the connection was closed
}

}  // namespace

// ---------------------------------------------------------------- the simulated bank host program

#ifdef KV_BANKHOST_FILE
namespace {

// Runs bankhost with `args`; returns its stream (for pclose) and the port it listens on.
FILE* StartBankHost(const std::string& args, std::string* port) {
  std::string cmd = std::string(KV_BANKHOST_FILE) + " --idle-seconds 5 " + args;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return nullptr;
  char line[128] = {};
  int n = 0;
  if (std::fgets(line, sizeof(line), p) == nullptr || std::sscanf(line, "LISTENING %d", &n) != 1) {
    pclose(p);
    return nullptr;
  }
  *port = std::to_string(n);
  return p;
}

std::string ReadRest(FILE* p) {
  std::string out;
  char buf[512];
  while (std::fgets(buf, sizeof(buf), p) != nullptr) out += buf;
  return out;
}

TEST_F(RelayTcpTest, BankHostProgramSplitsItsAnswerAndRecordsThePayload) {
  std::string port;
  FILE* p = StartBankHost("--mode split --split-at 5 --reply-text HELLOWORLD --count 1", &port);
  ASSERT_NE(p, nullptr);
  Bytes unit = MakeUnit("127.0.0.1", port, ToBytes("ab\x01"));
  ASSERT_TRUE(Transmit(unit));
  ASSERT_TRUE(comm_.WaitWrites(1, kWaitMs));
  tcp_.Stop(true);  // closes the connection: the program ends after its one connection
  std::string out = ReadRest(p);
  EXPECT_EQ(pclose(p), 0);
  EXPECT_EQ(out, "RECV 3 616201\n");
  ASSERT_EQ(comm_.Writes().size(), 1u);
  EXPECT_EQ(comm_.Writes()[0], ExpectedReplyFrame(unit, ToBytes("HELLO"), "654321"));
}

TEST_F(RelayTcpTest, BankHostProgramRefusesAndCloses) {
  std::string port;
  FILE* p = StartBankHost("--mode refuse", &port);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(pclose(p), 0);
  EXPECT_TRUE(TransmitToTheEnd(MakeUnit("127.0.0.1", port, ToBytes("x"))));
  EXPECT_EQ(CountOf(Log(), "connect TimeOut! (timeout = 20s)"), 1);

  p = StartBankHost("--mode close --count 1", &port);
  ASSERT_NE(p, nullptr);
  ASSERT_TRUE(Transmit(MakeUnit("127.0.0.1", port, ToBytes("x"))));
  ASSERT_TRUE(WaitLog("recv Len == 0. ((null))"));
  EXPECT_EQ(ReadRest(p), "RECV 1 78\n");
  EXPECT_EQ(pclose(p), 0);
  EXPECT_TRUE(comm_.Writes().empty());
}

}  // namespace
#endif
