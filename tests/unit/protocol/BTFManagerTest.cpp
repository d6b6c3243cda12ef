// The frame codec: exact bytes on the wire, the decoder's bounds and every check text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "KorvessaDLL.h"
#include "ScratchEnv.h"
#include "protocol/BTFManager.h"
#include "protocol/TransID.h"

namespace {

const char kIni[] =
    "[DEBUG_LOG]\r\nDebugLog=6\r\n"
    "[TRANSNAMEDSP]\r\n001=00 签到\r\n002=50 消费\r\n";

using Bytes = std::vector<uint8_t>;

// A frame assembled independently of the codec: STX, LEN, ID, content, ETX, LRC.
Bytes MakeFrame(const std::string& id, const std::string& content) {
  Bytes f;
  const size_t n = content.size() + 6;
  f.push_back(0x02);
  f.push_back(static_cast<uint8_t>(n >> 8));
  f.push_back(static_cast<uint8_t>(n & 0xFF));
  f.insert(f.end(), id.begin(), id.end());
  f.insert(f.end(), content.begin(), content.end());
  f.push_back(0x03);
  uint8_t lrc = 0;
  for (uint8_t b : f) lrc ^= b;
  f.push_back(lrc);
  return f;
}

std::string HandshakeContent() { return std::string("C00001") + std::string(94, ' '); }

// Content of n bytes starting with the operation type and command code.
std::string Content(const std::string& head, size_t n) {
  std::string c = head;
  c.resize(n, ' ');
  return c;
}

// Decodes a copy of the frame held in a buffer of exactly its size, so that any read
// past it is caught by the address sanitizer.
bool DecodeExact(BTFManager& btf, const Bytes& frame, size_t len) {
  std::vector<uint8_t> exact(frame.begin(), frame.begin() + static_cast<long>(len));
  return btf.Decode(exact.data(), static_cast<int>(exact.size()));
}

class BTFManagerTest : public ::testing::Test {
 protected:
  BTFManagerTest() : env(kIni) { SetTransID("123456"); }
  ScratchEnv env;
};

TEST_F(BTFManagerTest, NewObjectHasZeroed1000ByteContent) {
  BTFManager btf;
  EXPECT_EQ(1000, btf.GetContLen());
  ASSERT_NE(nullptr, btf.GetCont());
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(0, btf.GetCont()[i]);
  EXPECT_EQ(0, btf.GetFrame().STX);
  EXPECT_EQ(0, btf.GetFrame().ETX);
  EXPECT_EQ(6, BTFManager::IDLen());
  EXPECT_EQ(94, BTFManager::ContLenFromLEN(100));
}

TEST_F(BTFManagerTest, HandshakeFrameIs111BytesWithItsLRC) {
  const std::string content = HandshakeContent();
  for (const char* id : {"123456", "000000", "595999"}) {
    SetTransID(id);
    BTFManager btf;
    const uint8_t lrc = btf.Build(content.data(), static_cast<int>(content.size()));
    uint8_t buf[4096];
    ASSERT_EQ(111, btf.Encode(buf, sizeof(buf)));
    const Bytes expected = MakeFrame(id, content);
    ASSERT_EQ(111u, expected.size());
    EXPECT_EQ(0x02, buf[0]);
    EXPECT_EQ(0x00, buf[1]);
    EXPECT_EQ(0x6A, buf[2]);
    EXPECT_EQ(0, memcmp(buf, expected.data(), expected.size())) << id;
    EXPECT_EQ(expected.back(), lrc);
    EXPECT_EQ(0, buf[111]);  // nothing written after the frame
  }
}

TEST_F(BTFManagerTest, EncodeNeedsExactlyNPlus11Bytes) {
  const std::string content = HandshakeContent();
  BTFManager btf;
  btf.Build(content.data(), 100);
  Bytes exact(111, 0xAA);
  EXPECT_EQ(111, btf.Encode(exact.data(), 111));
  EXPECT_EQ(MakeFrame("123456", content), exact);

  Bytes small(110, 0xAA);
  EXPECT_EQ(0, btf.Encode(small.data(), 110));
  EXPECT_EQ(Bytes(110, 0), small);
  EXPECT_EQ(1, env.CountMessage("局部变量pszBuf分配空间不足，理论大小=110，实际大小=111."));
}

TEST_F(BTFManagerTest, DecodeAcceptsAGoodFrameAndKeepsItsBytes) {
  const std::string content = Content("A0510100", 207);
  const Bytes frame = MakeFrame("123456", content);
  BTFManager btf;
  ASSERT_TRUE(DecodeExact(btf, frame, frame.size()));
  EXPECT_EQ(207, btf.GetContLen());
  EXPECT_EQ(0, memcmp(btf.GetCont(), content.data(), content.size()));
  char cmd[3];
  ASSERT_TRUE(btf.GetCmdCode(cmd, sizeof(cmd)));
  EXPECT_STREQ("51", cmd);
  EXPECT_FALSE(btf.GetCmdCode(cmd, 2));
  EXPECT_EQ(frame.back(), btf.GetFrame().LRC);
  EXPECT_FALSE(env.LogExists());

  // Bytes after the frame are not part of it.
  Bytes longer = frame;
  longer.push_back(0x02);
  longer.push_back(0x55);
  EXPECT_TRUE(DecodeExact(btf, longer, longer.size()));
}

TEST_F(BTFManagerTest, ShortContentFailsWithTheLenMessage) {
  const Bytes frame = MakeFrame("123456", Content("A05100", 51));
  ASSERT_EQ(62u, frame.size());
  BTFManager btf;
  EXPECT_FALSE(DecodeExact(btf, frame, frame.size()));
  EXPECT_EQ(1, env.CountMessage("报文结构中数据内容的长度LEN < (0X0033)."));
  EXPECT_NE(std::string::npos, env.Log().find("【接收到的数据】iLen=[0X3E(62)]"));
  // The rejected frame is what the object now holds.
  EXPECT_EQ(51, btf.GetContLen());

  // 52 content bytes is the smallest frame that passes.
  EXPECT_TRUE(DecodeExact(btf, MakeFrame("123456", Content("A05100", 52)), 63));
}

TEST_F(BTFManagerTest, TransmitDataIsAcceptedWithAnyIdentifier) {
  BTFManager btf;
  EXPECT_TRUE(DecodeExact(btf, MakeFrame("999999", Content("D00000", 60)), 71));
  EXPECT_FALSE(env.LogExists());

  EXPECT_FALSE(DecodeExact(btf, MakeFrame("654321", Content("A05100", 60)), 71));
  EXPECT_EQ(1, env.CountMessage("报文结构中唯一标识ID != \"123456\"，实际值 = \"654321\"."));

  // A frame of an earlier transaction fails once a new identifier is drawn.
  const Bytes old = MakeFrame("123456", Content("A05100", 60));
  SetTransID("000001");
  EXPECT_FALSE(DecodeExact(btf, old, old.size()));
  EXPECT_EQ(1, env.CountMessage("报文结构中唯一标识ID != \"000001\"，实际值 = \"123456\"."));
}

TEST_F(BTFManagerTest, TooShortInputsAreRefusedBeforeAnythingIsCopied) {
  BTFManager btf;
  const Bytes good = MakeFrame("123456", Content("A05100", 60));
  ASSERT_TRUE(DecodeExact(btf, good, good.size()));

  // 12 bytes: below the smallest frame the decoder looks at.
  Bytes twelve(good.begin(), good.begin() + 12);
  twelve[3] = '9';
  EXPECT_FALSE(DecodeExact(btf, twelve, 12));
  EXPECT_EQ(1, env.CountMessage("接收到的报文数据太短了，理论值(>=13)，实际值(=12)."));
  EXPECT_EQ('1', btf.GetFrame().ID[0]);

  // LEN claims 60 content bytes but the input stops before the trailer.
  for (size_t len : {size_t(13), size_t(69), size_t(70)}) {
    EXPECT_FALSE(DecodeExact(btf, good, len)) << len;
    EXPECT_EQ(
        1, env.CountMessage("接收到的报文数据太短了，理论值(>=71)，实际值(=" + std::to_string(len) + ")."));
  }
  // LEN at its largest with a 13-byte input.
  Bytes huge = {0x02, 0xFF, 0xFF, '1', '2', '3', '4', '5', '6', 'A', '0', 0x03, 0x00};
  EXPECT_FALSE(DecodeExact(btf, huge, huge.size()));
  EXPECT_EQ(1, env.CountMessage("接收到的报文数据太短了，理论值(>=65540)，实际值(=13)."));
  // The object still holds the last frame it loaded.
  EXPECT_EQ(60, btf.GetContLen());
  EXPECT_EQ(0, memcmp(btf.GetCont(), good.data() + 9, 60));

  // Null data.
  EXPECT_FALSE(btf.Decode(nullptr, 100));
}

TEST_F(BTFManagerTest, ContentOfOneByteIsRefusedSilently) {
  BTFManager btf;
  // LEN = 7 (N' = 1) and LEN = 6 (N' = 0) in inputs long enough to hold them.
  for (uint8_t len : {uint8_t(7), uint8_t(6), uint8_t(0)}) {
    Bytes f = {0x02, 0x00, len, '1', '2', '3', '4', '5', '6', 'A', 0x03, 0x00, 0x00, 0x00};
    EXPECT_FALSE(DecodeExact(btf, f, f.size()));
  }
  EXPECT_FALSE(env.LogExists());
}

TEST_F(BTFManagerTest, EveryCheckHasItsMessage) {
  BTFManager btf;
  const std::string content = Content("A05100", 60);

  Bytes f = MakeFrame("123456", content);
  f[0] = 0x05;
  EXPECT_FALSE(DecodeExact(btf, f, f.size()));
  EXPECT_EQ(1, env.CountMessage("报文结构中起始报文STX != 0X02，实际值STX = 0X05."));

  f = MakeFrame("123456", content);
  f[f.size() - 2] = 0x04;
  f.back() ^= 0x03 ^ 0x04;  // keep the LRC right, so only ETX is wrong
  EXPECT_FALSE(DecodeExact(btf, f, f.size()));
  EXPECT_EQ(1, env.CountMessage("报文结构中结束报文ETX != 0X03，实际值 = 0X04."));

  f = MakeFrame("123456", content);
  const uint8_t good = f.back();
  f.back() = static_cast<uint8_t>(good ^ 0x5A);
  char expected[128];
  snprintf(expected, sizeof(expected), "报文结构中冗余检验LRC != 0X%02x，实际值 = 0X%02x.", good, f.back());
  EXPECT_FALSE(DecodeExact(btf, f, f.size()));
  EXPECT_EQ(1, env.CountMessage(expected));

  // No content buffer: the header of a good frame with the buffer taken away.
  f = MakeFrame("123456", content);
  ASSERT_TRUE(DecodeExact(btf, f, f.size()));
  EXPECT_FALSE(btf.SetContLen(-1, false));
  EXPECT_EQ(nullptr, btf.GetCont());
  char text[kBtfCheckTextSize];
  EXPECT_FALSE(btf.Check(text, sizeof(text)));
  EXPECT_STREQ("报文结构中内容部分指针pCont == NULL.", text);
  char cmd[3];
  EXPECT_FALSE(btf.GetCmdCode(cmd, sizeof(cmd)));

  // Every message fits the decoder's 100-byte text, even with the longest values.
  SetTransID("595999");
  f = MakeFrame("\xFF\xFF\xFF\xFF\xFF\xFF", content);
  EXPECT_FALSE(DecodeExact(btf, f, f.size()));
  EXPECT_EQ(1,
            env.CountMessage("报文结构中唯一标识ID != \"595999\"，实际值 = \"\xFF\xFF\xFF\xFF\xFF\xFF\"."));

  // A tiny caller buffer is cut, never overrun.
  char tiny[8];
  memset(tiny, 'x', sizeof(tiny));
  EXPECT_FALSE(btf.Check(tiny, 5));
  EXPECT_EQ('\0', tiny[4]);
  EXPECT_EQ('x', tiny[5]);
}

// The silent check gives Decode's verdict on each kind of frame and writes nothing.
TEST_F(BTFManagerTest, PassesCheckIsDecodesVerdictWithoutALine) {
  struct Case {
    const char* name;
    Bytes frame;
    bool ok;
  };
  Bytes badEtx = MakeFrame("123456", Content("A05100", 60));
  badEtx[badEtx.size() - 2] = 0x04;
  badEtx.back() ^= 0x03 ^ 0x04;
  Bytes badLrc = MakeFrame("123456", Content("A05100", 60));
  badLrc.back() ^= 0x01;
  Bytes trailing = MakeFrame("123456", Content("A05100", 60));
  trailing.push_back('z');
  const Case cases[] = {
      {"good", MakeFrame("123456", Content("A05100", 60)), true},
      {"transmit data, any identifier", MakeFrame("999999", Content("D000", 60)), true},
      {"wrong identifier", MakeFrame("654321", Content("A05100", 60)), false},
      {"content of 51", MakeFrame("123456", Content("A05100", 51)), false},
      {"wrong ETX", badEtx, false},
      {"wrong LRC", badLrc, false},
      {"a byte after the frame", trailing, false},
      {"12 bytes", Bytes(12, 0x02), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BTFManager::PassesCheck(c.frame.data(), static_cast<int>(c.frame.size())), c.ok) << c.name;
  }
  EXPECT_EQ(env.Log(), "");
}

TEST_F(BTFManagerTest, CheckRetCodePacksTheRefusal) {
  BTFManager btf;
  ASSERT_TRUE(DecodeExact(btf, MakeFrame("123456", Content("A0510100", 60)), 71));
  EXPECT_EQ(0, btf.CheckRetCode("50"));
  EXPECT_FALSE(env.LogExists());

  ASSERT_TRUE(DecodeExact(btf, MakeFrame("123456", Content("A0510105", 60)), 71));
  EXPECT_EQ(0x3530, btf.CheckRetCode("50"));
  EXPECT_EQ(1, env.CountMessage("POS机拒绝处理消费数据包，返回码(cRetValue=\"05\")."));
  EXPECT_EQ(0x3530, btf.CheckRetCode("77"));
  EXPECT_EQ(1, env.CountMessage("POS机拒绝处理未定义的交易类型数据包，返回码(cRetValue=\"05\")."));

  // Bytes from 0x80 up stay positive.
  ASSERT_TRUE(DecodeExact(btf, MakeFrame("123456", Content("A05101\xB0\xA1", 60)), 71));
  EXPECT_EQ(0xA1B0, btf.CheckRetCode("50"));

  // Two zero bytes must not read as an approval.
  std::string zeros = Content("A05101", 60);
  zeros[6] = '\0';
  zeros[7] = '\0';
  ASSERT_TRUE(DecodeExact(btf, MakeFrame("123456", zeros), 71));
  EXPECT_EQ(0x2020, btf.CheckRetCode("50"));
}

TEST_F(BTFManagerTest, MapResponseCopiesEveryFieldByteForByte) {
  // Content byte i holds a letter that names its position, so every copy is visible.
  std::string content(207, ' ');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('!' + (i % 90));
  BTFManager btf;
  btf.Build(content.data(), static_cast<int>(content.size()));

  std::string request(106, 'r');
  request.replace(103, 3, "XYZ");
  std::string response(161, '\0');
  btf.MapResponse(request.data(), &response[0]);

  // (response offset, width, content offset) as the record layout gives them.
  const int map[][3] = {{0, 2, 0},      {2, 2, 2},     {4, 2, 4},     {6, 2, 6},     {8, 15, 41},
                        {23, 8, 56},    {31, 12, 139}, {43, 12, 127}, {55, 12, 23},  {67, 19, 104},
                        {86, 4, 123},   {90, 8, 151},  {98, 6, 159},  {104, 6, 165}, {116, 12, 171},
                        {128, 12, 183}, {140, 6, 195}, {146, 6, 35},  {152, 6, 201}};
  std::string expected(161, ' ');
  for (const auto& m : map) expected.replace(m[0], m[1], content.substr(m[2], m[1]));
  expected.replace(158, 3, "XYZ");
  EXPECT_EQ(expected, response);
  EXPECT_EQ(std::string(6, ' '), response.substr(110, 6));
}

TEST_F(BTFManagerTest, MapResponseReadsNothingPastTheContent) {
  std::string content = Content("A0510100", 60);
  content.replace(35, 6, "TRACE1");
  BTFManager btf;
  btf.Build(content.data(), static_cast<int>(content.size()));
  std::string request(106, ' ');
  request.replace(103, 3, "abc");
  std::string response(161, '\0');
  btf.MapResponse(request.data(), &response[0]);
  std::string expected(161, ' ');
  expected.replace(0, 8, "A0510100");
  expected.replace(146, 6, "TRACE1");
  expected.replace(55, 12, content.substr(23, 12));
  expected.replace(8, 15, content.substr(41, 15));
  expected.replace(23, 4, content.substr(56, 4));  // reply56 holds 4 of its 8 bytes
  expected.replace(158, 3, "abc");
  EXPECT_EQ(expected, response);

  // Null response: nothing happens; null request: the reserved bytes stay spaces.
  btf.MapResponse(request.data(), nullptr);
  btf.MapResponse(nullptr, &response[0]);
  EXPECT_EQ("   ", response.substr(158));
}

TEST(TransIDTest, NewTransIDIsSixDigitsOfMinuteSecondHundredths) {
  for (int i = 0; i < 50; ++i) {
    NewTransID();
    char id[16];
    memset(id, 'x', sizeof(id));
    GetTransID(id, sizeof(id));
    ASSERT_EQ(6u, strlen(id));
    for (int k = 0; k < 6; ++k) ASSERT_TRUE(id[k] >= '0' && id[k] <= '9') << id;
    EXPECT_LT(atoi(std::string(id, 2).c_str()), 60);
    EXPECT_LT(atoi(std::string(id + 2, 2).c_str()), 60);
    EXPECT_LE(atoi(id), 595999);
  }
  // A small output is cut and terminated.
  char small[4];
  GetTransID(small, sizeof(small));
  EXPECT_EQ(3u, strlen(small));

  // Frames carry the identifier drawn last.
  SetTransID("424242");
  BTFManager btf;
  btf.Build("A0", 2);
  EXPECT_EQ(0, memcmp(btf.GetFrame().ID, "424242", 6));
}

TEST_F(BTFManagerTest, ContentLengthsLENCannotCarryAreRefused) {
  BTFManager btf;
  EXPECT_EQ(0, btf.Build(nullptr, -1));
  EXPECT_EQ(nullptr, btf.GetCont());
  EXPECT_EQ(0, btf.GetContLen());
  EXPECT_FALSE(btf.SetContLen(kBtfMaxContLen + 1, true));
  uint8_t buf[64];
  memset(buf, 0xAA, sizeof(buf));
  EXPECT_EQ(0, btf.Encode(buf, sizeof(buf)));
  EXPECT_EQ(Bytes(64, 0), Bytes(buf, buf + 64));

  // The largest content LEN describes is accepted; a null source gives zeroed content.
  btf.Build(nullptr, kBtfMaxContLen);
  ASSERT_NE(nullptr, btf.GetCont());
  EXPECT_EQ(0xFF, btf.GetFrame().LEN[0]);
  EXPECT_EQ(0xFF, btf.GetFrame().LEN[1]);
  EXPECT_EQ(0, btf.GetCont()[kBtfMaxContLen - 1]);
}

// The handshake draws identifiers on the caller's thread while the serial thread checks
// frames and the relay thread builds them: every frame carries one whole identifier.
TEST(TransIDTest, DrawingWhileOtherThreadsBuildAndCheck) {
  NewTransID();
  std::thread drawer([] {
    for (int i = 0; i < 2000; ++i) NewTransID();
  });
  bool bWhole = true;
  std::thread builder([&bWhole] {
    BTFManager btf;
    for (int i = 0; i < 2000; ++i) {
      btf.Build("A0510000", 8);
      for (char c : btf.GetFrame().ID) bWhole = bWhole && c >= '0' && c <= '9';
      char text[kBtfCheckTextSize];
      btf.Check(text, sizeof(text));
    }
  });
  drawer.join();
  builder.join();
  EXPECT_TRUE(bWhole);
}

}  // namespace
