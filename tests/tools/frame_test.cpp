// The simulated terminal's frame codec: it must agree with the wire format byte for byte, since the
// end-to-end tests use it to judge the library's frames.
#include <gtest/gtest.h>

#include <string>

#include "Frame.h"

namespace posterm {
namespace {

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes HandshakeContent() {
  Bytes c = Text("C00001");
  c.resize(100, ' ');
  return c;
}

TEST(FrameCodec, HandshakeEncodesTo111BytesWithXorOfAll) {
  const Bytes f = EncodeFrame("123456", HandshakeContent());
  ASSERT_EQ(111u, f.size());
  EXPECT_EQ(0x02, f[0]);
  EXPECT_EQ(0x00, f[1]);
  EXPECT_EQ(0x6A, f[2]);
  EXPECT_EQ("123456", std::string(f.begin() + 3, f.begin() + 9));
  EXPECT_EQ(HandshakeContent(), Bytes(f.begin() + 9, f.begin() + 109));
  EXPECT_EQ(0x03, f[109]);
  uint8_t x = 0;
  for (size_t i = 0; i < 110; ++i) x ^= f[i];
  EXPECT_EQ(x, f[110]);
  // Worked by hand: STX, LEN, ETX and the digits 1..6 and the content; spaces cancel in pairs (94 of them).
  uint8_t manual = 0x02 ^ 0x00 ^ 0x6A ^ 0x03;
  for (char c : std::string("123456C00001")) manual ^= static_cast<uint8_t>(c);
  EXPECT_EQ(manual, f[110]);
}

TEST(FrameCodec, LengthIsBigEndianAndContentMayHoldAnyByte) {
  Bytes c(700, 0x03);
  c[0] = 0x02;
  c[1] = 0x00;
  const Bytes f = EncodeFrame("000001", c);
  ASSERT_EQ(711u, f.size());
  EXPECT_EQ(0x02, f[1]);  // 706 = 0x02C2
  EXPECT_EQ(0xC2, f[2]);
  FrameReader r;
  std::vector<Frame> out;
  r.Feed(f.data(), f.size(), &out);
  ASSERT_EQ(1u, out.size());
  EXPECT_TRUE(out[0].valid) << out[0].error;
  EXPECT_EQ(c, out[0].content);
  EXPECT_EQ("000001", out[0].id);
}

TEST(FrameCodec, ShortIdIsPaddedAndOversizedContentRefused) {
  const Bytes f = EncodeFrame("12", Text("A0"));
  EXPECT_EQ("120000", std::string(f.begin() + 3, f.begin() + 9));
  EXPECT_TRUE(EncodeFrame("123456", Bytes(0xFFFF - 5, 'x')).empty());
  EXPECT_FALSE(EncodeFrame("123456", Bytes(0xFFFF - 6, 'x')).empty());
}

TEST(FrameReader, AssemblesAcrossPiecesAndSkipsNoise) {
  const Bytes f = EncodeFrame("654321", HandshakeContent());
  Bytes stream = {0x41, 0x41, 0x03, 0xFF};
  stream.insert(stream.end(), f.begin(), f.end());
  FrameReader r;
  std::vector<Frame> out;
  for (size_t i = 0; i < stream.size(); i += 7) {
    r.Feed(stream.data() + i, std::min<size_t>(7, stream.size() - i), &out);
    if (i + 7 < stream.size()) {
      EXPECT_TRUE(out.empty()) << "completed early at " << i;
    }
  }
  ASSERT_EQ(1u, out.size());
  EXPECT_TRUE(out[0].valid);
  EXPECT_EQ(f, out[0].raw);
  EXPECT_EQ(4u, r.Dropped());
  EXPECT_EQ(0u, r.Pending());
  EXPECT_EQ("C0", out[0].OperType());
  EXPECT_EQ("00", out[0].CmdCode());
}

TEST(FrameReader, ReportsBadLrcAndBadEtxThenFindsTheNextFrame) {
  const Bytes good = EncodeFrame("111111", HandshakeContent());
  Bytes badLrc = good;
  badLrc.back() ^= 0x55;
  Bytes badEtx = good;
  badEtx[109] = 0x04;
  badEtx.back() = Lrc(badEtx.data(), 110);
  Bytes stream = badLrc;
  stream.insert(stream.end(), badEtx.begin(), badEtx.end());
  stream.insert(stream.end(), good.begin(), good.end());
  FrameReader r;
  std::vector<Frame> out;
  r.Feed(stream.data(), stream.size(), &out);
  ASSERT_EQ(3u, out.size());
  EXPECT_FALSE(out[0].valid);
  EXPECT_NE(std::string::npos, out[0].error.find("LRC")) << out[0].error;
  EXPECT_FALSE(out[1].valid);
  EXPECT_NE(std::string::npos, out[1].error.find("ETX")) << out[1].error;
  EXPECT_TRUE(out[2].valid);
  EXPECT_EQ(good, out[2].raw);
}

TEST(FrameReader, StrayStxWithImpossibleLengthIsDropped) {
  // LEN 0x0001 (shorter than an ID) and LEN 0xFFFF (beyond any frame) are not frame starts.
  Bytes stream = {0x02, 0x00, 0x01, 0x02, 0xFF, 0xFF};
  const Bytes good = EncodeFrame("222222", HandshakeContent());
  stream.insert(stream.end(), good.begin(), good.end());
  FrameReader r;
  std::vector<Frame> out;
  r.Feed(stream.data(), stream.size(), &out);
  ASSERT_EQ(1u, out.size());
  EXPECT_TRUE(out[0].valid);
  EXPECT_EQ(good, out[0].raw);
}

TEST(FrameReader, PartialFrameWaitsAndTextIsCutToContent) {
  const Bytes good = EncodeFrame("333333", Text("D0xx"));
  FrameReader r;
  std::vector<Frame> out;
  r.Feed(good.data(), good.size() - 1, &out);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(good.size() - 1, r.Pending());
  r.Feed(&good.back(), 1, &out);
  ASSERT_EQ(1u, out.size());
  EXPECT_EQ("xx", out[0].Text(2, 10));
  EXPECT_EQ("", out[0].Text(4, 1));
}

TEST(Hex, PrintsAndParses) {
  const Bytes b = {0x02, 0x00, 0x6A, 0xFF};
  EXPECT_EQ("02 00 6A FF", Hex(b));
  Bytes p;
  ASSERT_TRUE(ParseHex("02 00 6a:ff", &p));
  EXPECT_EQ(b, p);
  EXPECT_FALSE(ParseHex("0", &p));
  EXPECT_FALSE(ParseHex("0g", &p));
  EXPECT_EQ(b, p);  // untouched on failure
}

}  // namespace
}  // namespace posterm
