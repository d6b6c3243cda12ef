// The relay object without a network: destination handling, unit checks, refusals.
#include <gtest/gtest.h>

#include <string>

#include "support/RelaySupport.h"
#include "protocol/BTFManager.h"
#include "protocol/TransID.h"
#include "relay/TcpThread.h"

namespace {

class TcpThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogSandbox::Init();
    SetTransID("123456");
  }
  std::string Normalized(const std::string& ip) {
    tcp_.SetDestination(ip.c_str(), static_cast<int>(ip.size()), "1", 1);
    return tcp_.GetIP();
  }
  TcpThread tcp_;
};

TEST_F(TcpThreadTest, NormalizeIPDropsLeadingZeros) {
  EXPECT_EQ(Normalized("192.168.001.010"), "192.168.1.10");
  EXPECT_EQ(Normalized("127.000.000.001"), "127.0.0.1");
  EXPECT_EQ(Normalized("010.010.010.010"), "10.10.10.10");
}

TEST_F(TcpThreadTest, NormalizeIPReadsLikeFourDecimals) {
  EXPECT_EQ(Normalized("1.2.3.4xyz"), "1.2.3.4");  // the rest is dropped
  EXPECT_EQ(Normalized("+1.2.-3.4"), "1.2.-3.4");  // signs read, no range check
  EXPECT_EQ(Normalized("300.1.1.1"), "300.1.1.1");
  EXPECT_EQ(Normalized(" 1. 2.3.4"), "1.2.3.4");                            // blanks before a number skipped
  EXPECT_EQ(Normalized("99999999999999999999.1.1.1"), "2147483647.1.1.1");  // saturates, never grows
  EXPECT_EQ(Normalized("-99999999999999999999.1.1.1"), "-2147483648.1.1.1");
}

TEST_F(TcpThreadTest, NormalizeIPLeavesOtherTextsAlone) {
  EXPECT_EQ(Normalized("bank.example.com"), "bank.example.com");
  EXPECT_EQ(Normalized("1.2.3"), "1.2.3");
  EXPECT_EQ(Normalized("1.2.3."), "1.2.3.");
  EXPECT_EQ(Normalized("1..2.3.4"), "1..2.3.4");
  EXPECT_EQ(Normalized("localhost"), "localhost");
  EXPECT_EQ(Normalized("1234567890123456789012345678901234567890"),
            "1234567890123456789012345678901234567890");
}

TEST_F(TcpThreadTest, SetDestinationReportsChangesAndStaysTerminated) {
  const char host[40] = "10.0.0.1";  // NUL padded like the header field
  const char port[6] = {'9', '0', '0', '0', 0, 0};
  EXPECT_EQ(tcp_.SetDestination(host, 40, port, 6), 1);
  EXPECT_STREQ(tcp_.GetIP(), "10.0.0.1");
  EXPECT_STREQ(tcp_.GetPort(), "9000");
  EXPECT_EQ(tcp_.SetDestination(host, 40, port, 6), 0);
  const char port2[6] = {'9', '0', '0', '1', 0, 0};
  EXPECT_EQ(tcp_.SetDestination(host, 40, port2, 6), 1);
  EXPECT_STREQ(tcp_.GetPort(), "9001");

  // Full fields without terminators, and over-long lengths, stay inside the buffers.
  std::string longHost(60, 'h');
  std::string longPort(20, '7');
  EXPECT_EQ(tcp_.SetDestination(longHost.c_str(), 60, longPort.c_str(), 20), 1);
  EXPECT_EQ(std::string(tcp_.GetIP()), std::string(40, 'h'));
  EXPECT_EQ(std::string(tcp_.GetPort()), std::string(6, '7'));
  EXPECT_EQ(tcp_.SetDestination(nullptr, -3, nullptr, -1), 0);
}

TEST_F(TcpThreadTest, ConnTimeOutKeepsPreviousValueForZeroOrLess) {
  EXPECT_EQ(tcp_.ConnTimeOut(), 20);
  tcp_.SetConnTimeOut(0);
  EXPECT_EQ(tcp_.ConnTimeOut(), 20);
  tcp_.SetConnTimeOut(-5);
  EXPECT_EQ(tcp_.ConnTimeOut(), 20);
  tcp_.SetConnTimeOut(3);
  EXPECT_EQ(tcp_.ConnTimeOut(), 3);
}

TEST_F(TcpThreadTest, CheckTransmitDataClassifiesFrames) {
  BTFManager frame;
  EXPECT_EQ(tcp_.CheckTransmitData(nullptr), 0);

  Bytes ordinary = MakeUnit("h", "1", Bytes());
  ordinary[0] = 'A';
  LoadFrame(&frame, ordinary);
  EXPECT_EQ(tcp_.CheckTransmitData(&frame), 0);

  Bytes unit = MakeUnit("127.0.0.1", "1", ToBytes("payload"));
  LoadFrame(&frame, unit);
  EXPECT_EQ(tcp_.CheckTransmitData(&frame), 1);
  Bytes empty = MakeUnit("127.0.0.1", "1", Bytes());
  LoadFrame(&frame, empty);
  EXPECT_EQ(tcp_.CheckTransmitData(&frame), 1);
}

TEST_F(TcpThreadTest, MalformedUnitsAreRefusedWithoutAnyConnection) {
  BTFManager frame;
  RecordingTerminal comm;
  struct Case {
    const char* name;
    Bytes content;
  } cases[] = {
      {"one byte too long", MakeUnit("127.0.0.1", "1", ToBytes("abcd"), "00", -1)},
      {"one byte too short", MakeUnit("127.0.0.1", "1", ToBytes("abcd"), "00", +1)},
      {"payload larger than the send buffer", MakeUnit("127.0.0.1", "1", Bytes(4097, 0x31))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoadFrame(&frame, c.content);
    size_t mark = LogSandbox::Mark();
    EXPECT_EQ(tcp_.CheckTransmitData(&frame), -1);
    EXPECT_FALSE(tcp_.TransmitToHost(&frame, &comm));
    std::string log = LogSandbox::Since(mark);
    EXPECT_EQ(CountOf(log, "Transmit Data format error."), 1);
    EXPECT_EQ(CountOf(log, "Destination IP"), 0);
    EXPECT_FALSE(tcp_.HasThread());
  }
  EXPECT_EQ(comm.Resets(), 0);  // the caller resets its receive state for a dropped unit
  EXPECT_TRUE(comm.Writes().empty());
  // A payload of exactly the send buffer's size is well formed.
  LoadFrame(&frame, MakeUnit("127.0.0.1", "1", Bytes(4096, 0x31)));
  EXPECT_EQ(tcp_.CheckTransmitData(&frame), 1);
}

TEST_F(TcpThreadTest, StartWithoutEngineFailsAndStopIsHarmless) {
  EXPECT_FALSE(tcp_.IsWSAStarted());  // the socket library is started at first use, not at load
  EXPECT_FALSE(tcp_.Start(nullptr));
  EXPECT_FALSE(tcp_.HasThread());
  tcp_.Stop(true);
  tcp_.Stop(false);  // without a thread it closes socket and event again: harmless
  tcp_.Stop(false);
  EXPECT_FALSE(tcp_.HasThread());
}

}  // namespace
