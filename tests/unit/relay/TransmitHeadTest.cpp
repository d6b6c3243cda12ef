// The transmit data header: unit checks, payload extraction, reply header.
#include <gtest/gtest.h>

#include <cstring>

#include "support/RelaySupport.h"
#include "protocol/BTFManager.h"
#include "relay/TcpThread.h"

namespace {

TEST(TransmitHead, IsTransmitDataNeedsD0) {
  unsigned char d0[] = {'D', '0', '0', '0'};
  unsigned char d1[] = {'D', '1', '0', '0'};
  unsigned char a0[] = {'A', '0', '0', '0'};
  unsigned char lower[] = {'d', '0', '0', '0'};
  EXPECT_TRUE(IsTransmitData(d0, 4));
  EXPECT_TRUE(IsTransmitData(d0, 2));
  EXPECT_FALSE(IsTransmitData(d0, 1));  // too short to say "D0"
  EXPECT_FALSE(IsTransmitData(d1, 4));
  EXPECT_FALSE(IsTransmitData(a0, 4));
  EXPECT_FALSE(IsTransmitData(lower, 4));
  EXPECT_FALSE(IsTransmitData(nullptr, 4));
}

TEST(TransmitHead, CheckLengthIsExact) {
  Bytes unit = MakeUnit("127.0.0.1", "9000", ToBytes("ABCDE"));
  int n = static_cast<int>(unit.size());
  EXPECT_EQ(n, 57);
  EXPECT_TRUE(TransmitHead::CheckLength(unit.data(), n));
  EXPECT_FALSE(TransmitHead::CheckLength(unit.data(), n + 1));
  EXPECT_FALSE(TransmitHead::CheckLength(unit.data(), n - 1));
  EXPECT_FALSE(TransmitHead::CheckLength(nullptr, n));
  Bytes empty = MakeUnit("h", "1", Bytes());
  EXPECT_TRUE(TransmitHead::CheckLength(empty.data(), 52));
  EXPECT_FALSE(TransmitHead::CheckLength(empty.data(), 51));
  // The length field is read high byte first.
  Bytes big = MakeUnit("h", "1", Bytes(300, 0x5A));
  EXPECT_EQ(big[50], 0x01);
  EXPECT_EQ(big[51], 0x2C);
  EXPECT_EQ(TransmitHead::PayloadLength(big.data()), 300);
  EXPECT_TRUE(TransmitHead::CheckLength(big.data(), 352));
}

TEST(TransmitHead, GetBodyCopiesPayloadAndSavesHeader) {
  TransmitHead head;
  Bytes payload = {0x00, 0x02, 0x03, 0xFF, 0x0D, 0x0A};
  Bytes unit = MakeUnit("10.1.2.3", "8080", payload, "37");
  unsigned char dest[16];
  std::memset(dest, 0xEE, sizeof(dest));
  int len = -1;
  ASSERT_TRUE(head.GetBody(unit.data(), dest, sizeof(dest), &len));
  EXPECT_EQ(len, 6);
  EXPECT_EQ(0, std::memcmp(dest, payload.data(), 6));
  EXPECT_EQ(dest[6], 0xEE);  // nothing beyond the payload
  EXPECT_EQ(0, std::memcmp(&head.Head(), unit.data(), 52));
  EXPECT_EQ(head.Head().pData, nullptr);
}

TEST(TransmitHead, GetBodyRefusesNullsAndPayloadsThatDoNotFit) {
  TransmitHead head;
  Bytes unit = MakeUnit("h", "1", Bytes(10, 1));
  unsigned char dest[10];
  int len = -1;
  EXPECT_FALSE(head.GetBody(nullptr, dest, 10, &len));
  EXPECT_FALSE(head.GetBody(unit.data(), nullptr, 10, &len));
  EXPECT_FALSE(head.GetBody(unit.data(), dest, 10, nullptr));
  EXPECT_FALSE(head.GetBody(unit.data(), dest, 9, &len));
  EXPECT_EQ(len, -1);
  EXPECT_EQ(head.Head().operType[0], 0);  // no header saved by a refused call
  EXPECT_TRUE(head.GetBody(unit.data(), dest, 10, &len));
  EXPECT_EQ(len, 10);
}

TEST(TransmitHead, BuildReplyAnswersTheUnit) {
  TransmitHead head;
  Bytes unit = MakeUnit("192.168.1.10", "9100", ToBytes("xyz"), "00");
  unsigned char body[8];
  int len = 0;
  ASSERT_TRUE(head.GetBody(unit.data(), body, sizeof(body), &len));
  Bytes block = ToBytes("host answer");
  Bytes out(block.size() + 52, 0xCC);
  EXPECT_EQ(head.BuildReply(block.data(), static_cast<int>(block.size()), nullptr), 63);
  ASSERT_EQ(head.BuildReply(block.data(), static_cast<int>(block.size()), out.data()), 63);
  EXPECT_EQ(out[0], 'D');
  EXPECT_EQ(out[1], '1');
  EXPECT_EQ(out[2], '0');
  EXPECT_EQ(out[3], '1');
  EXPECT_EQ(0, std::memcmp(out.data() + 4, unit.data() + 4, 46));
  EXPECT_EQ(out[50], 0);
  EXPECT_EQ(out[51], 11);
  EXPECT_EQ(0, std::memcmp(out.data() + 52, block.data(), block.size()));
}

TEST(TransmitHead, BuildReplyIncrementsWrapAndLengthSplits) {
  TransmitHead head;
  Bytes unit = MakeUnit("h", "1", Bytes());
  unit[1] = 0xFF;
  unit[3] = '9';
  head.SaveHead(unit.data());
  Bytes block(4033, 0x41);
  Bytes out(4033 + 52);
  ASSERT_EQ(head.BuildReply(block.data(), 4033, out.data()), 4085);
  EXPECT_EQ(out[1], 0x00);  // modulo 256
  EXPECT_EQ(out[3], ':');
  EXPECT_EQ(out[50], 4033 / 256);
  EXPECT_EQ(out[51], 4033 % 256);
  // Empty block: header only; null payload with a destination: 0.
  EXPECT_EQ(head.BuildReply(block.data(), 0, out.data()), 52);
  EXPECT_EQ(out[50], 0);
  EXPECT_EQ(out[51], 0);
  EXPECT_EQ(head.BuildReply(nullptr, 5, out.data()), 0);
  EXPECT_EQ(head.BuildReply(block.data(), -1, out.data()), 0);
}

}  // namespace
