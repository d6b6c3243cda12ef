// The transaction engine without a terminal: request content, print text, receive
// assembly, command-code pairing, the exchange's local failures, the request display.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "EngineTestEnv.h"

namespace {

const char kID[] = "123456";

std::string Content(const unsigned char* c) { return AsString(c, kContentSize); }

// ------------------------------------------------------------------ request content

TEST(BuildContent, CommonFieldsOnlyForTypesWithoutRule) {
  EngineTestEnv env(EngineIni(2));
  unsigned char c[kContentSize];
  const std::string req = RequestRecord("30");
  ASSERT_TRUE(MyComm::BuildContent(req.data(), c));
  EXPECT_EQ(Content(c), req.substr(0, 52) + std::string(48, ' '));
}

TEST(BuildContent, ReferenceNumberAndDateFor40And50) {
  EngineTestEnv env(EngineIni(2));
  for (const char* type : {"40", "50"}) {
    unsigned char c[kContentSize];
    const std::string req = RequestRecord(type);
    ASSERT_TRUE(MyComm::BuildContent(req.data(), c)) << type;
    EXPECT_EQ(Content(c), req.substr(0, 52) + "HOSTSERIAL01" + "20261201" + std::string(28, ' ')) << type;
  }
}

TEST(BuildContent, AuthorisationDateAndCardFor62To66) {
  EngineTestEnv env(EngineIni(2));
  for (const char* type : {"62", "64", "66"}) {
    unsigned char c[kContentSize];
    const std::string req = RequestRecord(type);
    ASSERT_TRUE(MyComm::BuildContent(req.data(), c)) << type;
    EXPECT_EQ(Content(c),
              req.substr(0, 52) + "AUTHNUMBER01" + "20261201" + "6222000011112222333" + std::string(9, ' '))
        << type;
  }
}

TEST(BuildContent, UndefinedTypeRefusedAndLogged) {
  EngineTestEnv env(EngineIni(2));
  unsigned char c[kContentSize];
  const std::string req = RequestRecord("77");
  EXPECT_FALSE(MyComm::BuildContent(req.data(), c));
  EXPECT_EQ(env.CountMessage("未定义的交易类型"), 1);
  EXPECT_FALSE(MyComm::BuildContent(nullptr, c));
}

TEST(BuildContent, TypeAddedToConfigIsAcceptedNextCall) {
  EngineTestEnv env(EngineIni(2));
  unsigned char c[kContentSize];
  const std::string req = RequestRecord("77");
  EXPECT_FALSE(MyComm::BuildContent(req.data(), c));
  std::string ini = EngineIni(2);
  ini.insert(ini.find("[REEOR_INFORMITION]"), "012=77 新交易\r\n");
  EngineTestEnv::WriteFile(env.Path("Config.ini"), ini);
  KvSetFileTime(env.Path("Config.ini").c_str(), 2000000000);
  EXPECT_TRUE(MyComm::BuildContent(req.data(), c));
}

// ------------------------------------------------------------------ whole-file reader

TEST(ReadTextFile, FoldsCrLfAndKeepsEveryOtherByte) {
  EngineTestEnv env(EngineIni(2));
  const std::string path = env.Path("t.txt");
  EngineTestEnv::WriteFile(path, std::string("ab\r\ncd\r\n\0x\ry\x1a", 13));
  int len = -1;
  char* p = MyComm::ReadTextFile(path.c_str(), &len);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(len, 11);
  EXPECT_EQ(std::string(p, 12), std::string("ab\ncd\n\0x\ry\x1a\0", 12));
  free(p);
}

TEST(ReadTextFile, FailuresGiveNullAndLength) {
  EngineTestEnv env(EngineIni(2));
  int len = 7;
  EXPECT_EQ(MyComm::ReadTextFile(nullptr, &len), nullptr);
  EXPECT_EQ(len, 7);  // untouched for a null path
  EXPECT_EQ(MyComm::ReadTextFile(env.Path("missing.txt").c_str(), &len), nullptr);
  EXPECT_EQ(len, 0);
}

TEST(ReadTextFile, EmptyFileAndBoundedRead) {
  EngineTestEnv env(EngineIni(2));
  const std::string path = env.Path("t.txt");
  EngineTestEnv::WriteFile(path, "");
  int len = -1;
  char* p = MyComm::ReadTextFile(path.c_str(), &len);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(p[0], '\0');
  free(p);
  EngineTestEnv::WriteFile(path, std::string(5000, 'z'));
  // A backslash separates folders on every system.
  p = MyComm::ReadTextFile((env.Dir() + "\\t.txt").c_str(), &len, 100);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(len, 100);
  EXPECT_EQ(p[100], '\0');
  free(p);
}

// ------------------------------------------------------------------ frame to send

TEST(BuildRequest, HandshakeFrameOnTheWire) {
  EngineTestEnv env(EngineIni(2));
  SetTransID(kID);
  TestComm comm;
  unsigned char content[kContentSize];
  memset(content, ' ', sizeof(content));
  memcpy(content, "C00001", 6);
  ASSERT_TRUE(comm.BuildRequest(content));
  unsigned char wire[4096];
  const int n = comm.SendFrame().Encode(wire, sizeof(wire));
  ASSERT_EQ(n, 111);
  EXPECT_EQ(AsString(wire, 3), std::string("\x02\x00\x6A", 3));
  EXPECT_EQ(AsString(wire, n), WireFrame("C00001" + std::string(94, ' '), kID));
}

TEST(BuildRequest, PrintTypeCarriesTheFileTextAndAZeroByte) {
  EngineTestEnv env(EngineIni(2));
  // The print text is read from the current directory; back to the old one before the
  // scratch folder goes.
  struct CwdGuard {
    char old[kKvPathSize];
    bool ok;
    explicit CwdGuard(const char* dir) : ok(KvGetCurrentDir(old, sizeof(old)) && KvSetCurrentDir(dir)) {}
    ~CwdGuard() {
      if (ok) KvSetCurrentDir(old);
    }
  } cwd(env.Dir().c_str());
  ASSERT_TRUE(cwd.ok);
  TestComm comm;
  unsigned char content[kContentSize];
  std::string req = RequestRecord("06");
  ASSERT_TRUE(MyComm::BuildContent(req.data(), content));
  const std::string body = Content(content);

  // An empty file: the 100 request bytes and one zero byte.
  EngineTestEnv::WriteFile(env.Path(POS_PRINT_FILE), "");
  EXPECT_TRUE(comm.BuildRequest(content));
  EXPECT_EQ(comm.SendContent(), body + std::string(1, '\0'));

  // Two CR LF lines arrive with LF ends, two bytes shorter; a zero byte in the text travels.
  EngineTestEnv::WriteFile(env.Path(POS_PRINT_FILE), std::string("ab\0c\r\nde\r\n", 10));
  EXPECT_TRUE(comm.BuildRequest(content));
  EXPECT_EQ(comm.SendContent(), body + std::string("ab\0c\nde\n\0", 9));

  // Without the file the frame built before stays and the failure is logged.
  KvRemoveFile(env.Path(POS_PRINT_FILE).c_str());
  EXPECT_FALSE(comm.BuildRequest(content));
  EXPECT_EQ(comm.SendContent(), body + std::string("ab\0c\nde\n\0", 9));
  EXPECT_EQ(env.CountMessage("Fail to Open File.(POS_print.txt)"), 1);

  // Another type does not look for the file: exactly the 100 request bytes.
  req = RequestRecord("30");
  ASSERT_TRUE(MyComm::BuildContent(req.data(), content));
  EXPECT_TRUE(comm.BuildRequest(content));
  EXPECT_EQ(comm.SendContent(), Content(content));
  EXPECT_EQ(env.CountText("Fail to Open File"), 1);
}

TEST(CheckCmdCode, PairsAnswerWithRequest) {
  EngineTestEnv env(EngineIni(2));
  SetTransID(kID);
  struct Case {
    const char* sent;
    const char* received;
    bool ok;
  } cases[] = {{"50", "51", true}, {"00", "01", true},  {"09", "0:", true},  {"04", "77", true},
               {"02", "02", true}, {"50", "52", false}, {"50", "50", false}, {"50", "61", false}};
  for (const Case& c : cases) {
    TestComm comm;
    const std::string sent = "A0" + std::string(c.sent) + std::string(96, ' ');
    comm.SendFrame().Build(sent.data(), 100);
    const std::string reply = ReplyContent(c.received, "00");
    comm.RecvFrame().Build(reply.data(), static_cast<int>(reply.size()));
    EXPECT_EQ(comm.CheckCmdCode(), c.ok) << c.sent << " " << c.received;
  }
  EXPECT_EQ(
      env.CountMessage("发送数据的指令代码(\"50\":消费撤销)和接收数据的指令代码(\"52\":未定义的交易类型)"
                       "不一致(接收=发送+1)."),
      1);
}

// ------------------------------------------------------------------ receive assembly

class Assembly : public ::testing::Test {
 protected:
  Assembly() : env(EngineIni(3)) {
    SetTransID(kID);
    comm.PrepareRequest("50");
    comm.ResetReceive();
  }
  EngineTestEnv env;
  TestComm comm;
};

TEST_F(Assembly, AnswerInThreeChunksDecodedOnceAtTheEnd) {
  const std::string content = ReplyContent("51", "00");
  const std::string f = WireFrame(content, kID);
  EXPECT_FALSE(comm.Feed(f.substr(0, 5)));
  EXPECT_FALSE(comm.Feed(f.substr(5, 100)));
  EXPECT_FALSE(comm.IsRecvOK());
  EXPECT_TRUE(comm.Feed(f.substr(105)));
  EXPECT_TRUE(comm.IsRecvOK());
  EXPECT_EQ(comm.RecvContent(), content);
  EXPECT_EQ(comm.Index(), static_cast<int>(f.size()));
  EXPECT_EQ(AsString(comm.RecvBuf(), comm.Index()), f);
}

TEST(AssemblyLog, ChunkDumpsAndCompletionTraceAtLevel6) {
  EngineTestEnv env(EngineIni(6));
  SetTransID(kID);
  TestComm comm;
  comm.PrepareRequest("50");
  comm.ResetReceive();
  const std::string f = WireFrame(ReplyContent("51", "00"), kID);  // 218 bytes, LRC at index 217
  ASSERT_EQ(f.size(), 218u);
  EXPECT_FALSE(comm.Feed(f.substr(0, 200)));
  EXPECT_TRUE(comm.Feed(f.substr(200)));
  // Every chunk: a title line at level 5, and the first byte's table at level 6.
  EXPECT_EQ(env.CountText("】【一次完整的接收数据】iLen=[0XC8(200)]\r\n"), 1);
  EXPECT_EQ(env.CountText("】【一次完整的接收数据】iLen=[0X12(18)]\r\n"), 1);
  EXPECT_EQ(env.CountText("】【接收到的数据内容如下：】iLen=[0XC8(200), 0X01(01)]\r\n"), 1);
  EXPECT_EQ(env.CountText("】【接收到的数据内容如下：】iLen=[0X12(18), 0X01(01)]\r\n"), 1);
  // The completion test runs once, at the byte after the ETX.
  EXPECT_EQ(env.CountMessage("Len = 217, m_iIndex = 217."), 1);
  EXPECT_EQ(env.CountText("Len = "), 1);
}

TEST(AssemblyLog, NothingOfTheReceivePathBelowLevel5) {
  EngineTestEnv env(EngineIni(4));
  SetTransID(kID);
  TestComm comm;
  comm.PrepareRequest("50");
  comm.ResetReceive();
  EXPECT_TRUE(comm.Feed(WireFrame(ReplyContent("51", "00"), kID)));
  EXPECT_EQ(env.CountText("一次完整的接收数据"), 0);
  EXPECT_EQ(env.CountText("接收到的数据内容如下"), 0);
  EXPECT_EQ(env.CountText("Len = "), 0);
}

TEST_F(Assembly, NoiseBeforeStxDroppedWithoutMessage) {
  const std::string content = ReplyContent("51", "00");
  EXPECT_TRUE(comm.Feed("AA" + WireFrame(content, kID)));
  EXPECT_TRUE(comm.IsRecvOK());
  EXPECT_EQ(env.CountMessage("非法数据，报文不是以STX(0X02)开头的！"), 0);
}

TEST_F(Assembly, ChunkOfNoiseLogsOnce) {
  EXPECT_FALSE(comm.Feed("noise without a start byte"));
  EXPECT_EQ(env.CountMessage("非法数据，报文不是以STX(0X02)开头的！"), 1);
  EXPECT_EQ(comm.Index(), -1);
}

TEST_F(Assembly, BadLrcThenGoodFrameInOneChunk) {
  const std::string content = ReplyContent("51", "00");
  std::string bad = WireFrame(content, kID);
  bad.back() ^= 0x55;
  EXPECT_TRUE(comm.Feed(bad + WireFrame(content, kID)));
  EXPECT_TRUE(comm.IsRecvOK());
  EXPECT_EQ(comm.RecvContent(), content);
  EXPECT_EQ(env.CountText("报文结构中冗余检验LRC"), 1);
}

TEST_F(Assembly, StxInsideRejectedFrameStartsResynchronisation) {
  // A rejected frame whose content holds the start of a good frame.
  const std::string good = WireFrame(ReplyContent("51", "00"), kID);
  std::string outer = WireFrame(std::string(60, 'x') + good + std::string(5, 'y'), "999999");
  EXPECT_TRUE(comm.Feed(outer));
  EXPECT_EQ(comm.RecvContent(), ReplyContent("51", "00"));
  EXPECT_TRUE(comm.IsRecvOK());
  // The byte count handed to the relay and the dumps is the frame's own, not what followed it.
  unsigned char pData[kRecvBufSize];
  const int iLen = comm.CopyRecvHead(pData, sizeof(pData));
  EXPECT_EQ(AsString(pData, iLen), good);
}

// A start byte before the real one: the false start's "length" comes from the real STX and LEN,
// and the real frame is taken when it completes, whole chunk or byte by byte.
TEST_F(Assembly, StrayStartBeforeTheAnswerDoesNotLoseIt) {
  struct Case {
    const char* name;
    std::string before;
    size_t contentLen;
    std::string inside;  // bytes at content offset 100
  };
  std::string filler("\x02\x00\x50", 3);  // a later false start still open when the first fails
  filler += std::string(30, 'n');
  const std::string falseFrame = std::string("\x02\x00\x1F", 3) + filler;  // ends inside the filler
  const Case cases[] = {
      {"02 02, 507 bytes", std::string("\x02\x02", 2), 507, ""},  // first start ends one byte early
      {"02, 300 bytes", std::string("\x02", 1), 300, ""},         // first start never ends
      {"02, 207 bytes", std::string("\x02", 1), 207, ""},
      {"false frame ends first", falseFrame, 207, ""},
      {"false frame, then 4096 bytes", falseFrame, 4085, ""},
      {"false frame, then a start too long inside", falseFrame, 207, std::string("\x02\x0F\xF0", 3)},
  };
  for (const Case& c : cases) {
    for (bool byByte : {false, true}) {
      comm.ResetReceive();
      std::string content = ReplyContent("51", "00");
      content.resize(c.contentLen, 't');
      content.replace(100, c.inside.size(), c.inside);
      const std::string f = WireFrame(content, kID);
      const std::string stream = c.before + f;
      bool decoded = false;
      if (byByte) {  // every split of the short streams; long ones in odd pieces
        const size_t step = stream.size() > 1000 ? 61 : 1;
        for (size_t at = 0; at < stream.size(); at += step)
          decoded = comm.Feed(stream.substr(at, step)) || decoded;
      } else {
        decoded = comm.Feed(stream);
      }
      EXPECT_TRUE(decoded) << c.name << (byByte ? " byte by byte" : "");
      EXPECT_TRUE(comm.IsRecvOK()) << c.name;
      EXPECT_EQ(comm.RecvContent(), content) << c.name;
      EXPECT_EQ(AsString(comm.RecvBuf(), comm.Index()), f) << c.name;
    }
  }
}

// A frame one or two bytes shorter than its LEN, followed at once by the answer: the answer's STX
// stands where the short frame's LRC (or ETX) is awaited, and the answer is still taken.
TEST_F(Assembly, ShortFrameFollowedAtOnceByTheAnswerDoesNotLoseIt) {
  const std::string answer = WireFrame(ReplyContent("51", "00"), kID);
  for (size_t cut : {1u, 2u, 3u}) {
    const std::string shortFrame = answer.substr(0, answer.size() - cut);  // its last `cut` bytes gone
    const std::string stream = shortFrame + answer;
    for (size_t step : {stream.size(), size_t{1}, size_t{7}}) {
      comm.ResetReceive();
      bool decoded = false;
      for (size_t at = 0; at < stream.size(); at += step)
        decoded = comm.Feed(stream.substr(at, step)) || decoded;
      EXPECT_TRUE(decoded) << cut << " cut, chunks of " << step;
      EXPECT_TRUE(comm.IsRecvOK()) << cut;
      EXPECT_EQ(AsString(comm.RecvBuf(), comm.Index()), answer) << cut << " cut, chunks of " << step;
    }
  }
}

TEST_F(Assembly, LaterStartsAreTriedSilently) {
  // The false start never completes; the later starts inside the frame write nothing.
  const std::string content = ReplyContent("51", "00") + std::string("\x02\x00\x60 \x02\x01\x00", 7);
  EXPECT_TRUE(comm.Feed("\x02" + WireFrame(content, kID)));
  EXPECT_EQ(comm.RecvContent(), content);
  EXPECT_EQ(env.CountText("报文"), 0);
}

TEST_F(Assembly, ValidFrameInsideAnotherIsTakenWhenItCompletes) {
  // The earliest frame to complete wins, here the inner one; the outer one is never decoded.
  const std::string inner = WireFrame(ReplyContent("51", "00"), kID);
  EXPECT_TRUE(comm.Feed(WireFrame(std::string(60, 'x') + inner + "tail", kID)));
  EXPECT_EQ(comm.RecvContent(), ReplyContent("51", "00"));
  EXPECT_EQ(comm.Index(), static_cast<int>(inner.size()));
}

TEST_F(Assembly, StaleIdentifierRejected) {
  EXPECT_FALSE(comm.Feed(WireFrame(ReplyContent("51", "00"), "654321")));
  EXPECT_FALSE(comm.IsRecvOK());
  EXPECT_EQ(comm.Index(), -1);
  EXPECT_EQ(env.CountText("报文结构中唯一标识ID != \"123456\"，实际值 = \"654321\"."), 1);
}

TEST_F(Assembly, MismatchedAnswerBlocksUntilReset) {
  EXPECT_TRUE(comm.Feed(WireFrame(ReplyContent("52", "00"), kID)));
  EXPECT_FALSE(comm.IsRecvOK());
  // A correct answer after it is not taken before the next reset.
  EXPECT_FALSE(comm.Feed(WireFrame(ReplyContent("51", "00"), kID)));
  EXPECT_FALSE(comm.IsRecvOK());
  EXPECT_EQ(env.CountText("不一致(接收=发送+1)."), 1);  // logged once, for the first frame only
  comm.ResetReceive();
  EXPECT_EQ(comm.Index(), -1);
  EXPECT_TRUE(comm.Feed(WireFrame(ReplyContent("51", "00"), kID)));
  EXPECT_TRUE(comm.IsRecvOK());
}

TEST_F(Assembly, OnlyFirstOfTwoFramesInAChunk) {
  const std::string first = ReplyContent("51", "00");
  const std::string second = ReplyContent("51", "05");
  EXPECT_TRUE(comm.Feed(WireFrame(first, kID) + WireFrame(second, kID)));
  EXPECT_EQ(comm.RecvContent(), first);
  EXPECT_EQ(comm.Index(), static_cast<int>(WireFrame(first, kID).size()));
}

TEST_F(Assembly, FrameTooLargeForBufferDroppedAndNextFrameTaken) {
  // LEN announces 4090 content bytes: 4101 bytes on the wire, more than 4096.
  std::string big = WireFrame(std::string(4090, 'z'), kID);
  EXPECT_FALSE(comm.Feed(big));
  EXPECT_EQ(comm.Index(), -1);
  EXPECT_FALSE(comm.IsRecvOK());
  EXPECT_EQ(env.CountMessage("接收到的报文长度无效，报文长度=4101，接收缓冲区大小=4096，数据已丢弃."), 1);
  EXPECT_TRUE(comm.Feed(WireFrame(ReplyContent("51", "00"), kID)));
  EXPECT_TRUE(comm.IsRecvOK());
}

TEST_F(Assembly, StartByteInsideBadLengthBeginsNextFrame) {
  // A start byte whose length is impossible is dropped; one among its length bytes starts over.
  const std::string good = WireFrame(ReplyContent("51", "00"), kID);
  EXPECT_TRUE(comm.Feed(std::string("\x02\x00\x01", 3) + good));
  EXPECT_TRUE(comm.IsRecvOK());
  comm.ResetReceive();
  EXPECT_TRUE(comm.Feed(std::string("\x02\x00", 2) + good));  // 02 00 02: the third byte starts over
  EXPECT_EQ(comm.RecvContent(), ReplyContent("51", "00"));
}

TEST_F(Assembly, LargestFrameThatFitsIsTaken) {
  const std::string content = "A051" + std::string(4081, 'q');  // 4085 bytes: a 4096-byte frame
  const std::string f = WireFrame(content, kID);
  ASSERT_EQ(f.size(), 4096u);
  EXPECT_FALSE(comm.Feed(f.substr(0, 3000)));
  EXPECT_TRUE(comm.Feed(f.substr(3000)));
  EXPECT_EQ(comm.RecvContent(), content);
}

TEST_F(Assembly, MissingEtxFailsAtTheFrameEndAndNextFrameIsTaken) {
  std::string f = WireFrame(ReplyContent("51", "00"), kID);
  f[f.size() - 2] = 'E';  // the ETX position
  EXPECT_FALSE(comm.Feed(f));
  EXPECT_EQ(comm.Index(), -1);
  EXPECT_EQ(env.CountText("报文结构中结束报文ETX != 0X03，实际值 = 0X45."), 1);
  EXPECT_TRUE(comm.Feed(WireFrame(ReplyContent("51", "00"), kID)));
}

TEST_F(Assembly, HostileBytesNeverOverrunTheBuffer) {
  std::string junk("\x02\x0F\x9C", 3);  // a 4011-byte frame that never has its ETX
  for (int i = 0; i < 20000; ++i) junk += static_cast<char>((i % 7 == 0) ? 0x03 : (i % 11 == 0 ? 0x02 : i));
  for (int round = 0; round < 3; ++round) {
    comm.Feed(junk);
    EXPECT_LE(comm.Index(), 4096);
    comm.ResetReceive();
  }
  EXPECT_TRUE(comm.Feed(WireFrame(ReplyContent("51", "00"), kID)));
}

TEST_F(Assembly, MalformedTransmitDataDroppedAndAnswerStillTaken) {
  // "D0" unit whose length byte does not match its content: dropped, receive state reset.
  std::string unit = "D000" + std::string(40, '\0') + "9999  " + std::string("\x00\x05", 2) + "abc";
  EXPECT_TRUE(comm.Feed(WireFrame(unit, "000000")));
  EXPECT_EQ(env.CountMessage("Transmit Data format error."), 1);
  EXPECT_EQ(comm.Index(), -1);
  EXPECT_FALSE(comm.IsRecvOK());
  EXPECT_TRUE(comm.Feed(WireFrame(ReplyContent("51", "00"), kID)));
  EXPECT_TRUE(comm.IsRecvOK());
}

// ------------------------------------------------------------------ exchange, local failures

TEST(Exchange, ClosedPortIsAWriteFailure) {
  EngineTestEnv env(EngineIni(2));
  SetTransID(kID);
  TestComm comm;
  comm.PrepareRequest("30");
  EXPECT_EQ(comm.Exchange("30", 1000), -5);
  EXPECT_EQ(env.CountMessage("往串口写入数据异常，有可能是连接的串口线坏了或拔掉了"), 1);
}

TEST(Exchange, FrameLargerThanSendBufferIsMinus10) {
  EngineTestEnv env(EngineIni(2));
  SetTransID(kID);
  TestComm comm;
  std::string content = "A030" + std::string(4082, ' ');  // 4086 bytes: 4097 on the wire
  comm.SendFrame().Build(content.data(), static_cast<int>(content.size()));
  EXPECT_EQ(comm.Exchange("30", 1000), -10);
  EXPECT_EQ(env.CountMessage("局部变量pszBuf分配空间不足，理论大小=4096，实际大小=4097."), 1);
  EXPECT_EQ(env.CountText("往串口写入数据异常"), 0);
}

TEST(Exchange, WriteToPortOnClosedPortReturnsZero) {
  EngineTestEnv env(EngineIni(2));
  TestComm comm;
  EXPECT_EQ(comm.WriteToPort("abc", 3), 0u);
  EXPECT_EQ(env.CountMessage("往串口写入数据异常，有可能是连接的串口线坏了或拔掉了"), 1);
}

TEST(SendTrans, UndefinedTypeRefusedBeforeAnythingIsSent) {
  EngineTestEnv env(EngineIni(2));
  TestComm comm;
  const std::string req = RequestRecord("77");
  EXPECT_EQ(comm.SendTrans(req.data()), -2);
  EXPECT_EQ(env.CountMessage("交易类型不在规定的范围内(77)！"), 1);
  EXPECT_EQ(env.CountText("往串口写入数据异常"), 0);
}

TEST(OpenPortFromConfig, PortOutOfRangeLogsAndFails) {
  EngineTestEnv env(EngineIni(2));
  TestComm comm;
  EXPECT_FALSE(comm.OpenPortFromConfig());
  EXPECT_FALSE(comm.IsOpen());
  EXPECT_EQ(
      env.CountText("】打开 COM0 失败，代码：SP_ASSERT(dwPort>=1 && dwPort<=1024) failed; SerialPort(328); "),
      1);
  EXPECT_EQ(comm.OpenAndHandshake(), -1);
}

// [COM] Device does not excuse the port number, and only Linux opens it.
TEST(OpenPortFromConfig, DeviceKeepsThePortCheckAndIsLinuxOnly) {
  std::string ini = EngineIni(2);
  ini.insert(ini.find("ComPort=0\r\n") + 11, "Device=/nonexistent/tty\r\n");
  EngineTestEnv env(ini);
  TestComm comm;
  EXPECT_FALSE(comm.OpenPortFromConfig());
  EXPECT_EQ(env.CountText("】打开 COM0 失败，代码：SP_ASSERT(dwPort>=1 && dwPort<=1024) failed;"), 1);
#ifdef _WIN32
  EXPECT_EQ(env.CountText("打开串口设备失败"), 0);
#else
  EXPECT_EQ(env.CountMessage("打开串口设备失败：/nonexistent/tty"), 1);
#endif
}

// ------------------------------------------------------------------ request display

// The card number shows whole only with MaskCardNumber=0; by default its middle is masked.
TEST(ShowRequest, FieldByFieldAtLevel5AndRecordUntouched) {
  for (const char* shown : {"6222000011112222333", "622200*********2333"}) {
    std::string ini = EngineIni(5);
    if (shown[6] != '*') ini.replace(ini.find("DebugLog=5\r\n"), 12, "DebugLog=5\r\nMaskCardNumber=0\r\n");
    EngineTestEnv env(ini);
    TestComm comm;
    // Read-only memory: a write into the record would fault.
    static const char kRecord[] =
        "A030"
        "01"
        "REG000001"
        "OPR001"
        "000000012345"
        "CASHTRACE001"
        "Y"
        "OLDTRC"
        "HOSTSERIAL01"
        "AUTHNUMBER01"
        "20261201"
        "6222000011112222333"
        "RSV";
    static_assert(sizeof(kRecord) == 107, "record size");
    comm.ShowRequest(kRecord);
    const std::string rule = std::string(77, '-') + "\n";
    const std::string expected =
        "【输入参数数据显示】\n" + rule +
        "操 作  类 型：A0\n交 易  类 型：30\n卡   类   型：01\n收银机  编号：REG000001\n"
        "操作员  编号：OPR001\n金        额：000000012345\n收银机流水号：CASHTRACE001\n"
        "打 印  小 票：Y\n原交易流水号：OLDTRC\n原交易参考号：HOSTSERIAL01\n"
        "原  授 权 号：AUTHNUMBER01\n原 交易 日期：20261201\n卡        号：" +
        shown + "\n" + rule;
    std::string crlf;
    for (char ch : expected) crlf += (ch == '\n') ? std::string("\r\n") : std::string(1, ch);
    EXPECT_EQ(env.CountText("】" + crlf + " \r\n"), 1) << env.Log();
    EXPECT_EQ(env.CountText("RSV"), 0);
  }
}

TEST(ShowRequest, NothingBelowLevel5) {
  EngineTestEnv env(EngineIni(4));
  TestComm comm;
  const std::string req = RequestRecord("30");
  comm.ShowRequest(req.data());
  EXPECT_EQ(env.CountText("输入参数数据显示"), 0);
}

}  // namespace
