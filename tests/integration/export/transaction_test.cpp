// Whole transactions through BankTrans against the simulated terminal: the frames on the line, the
// response record, the receipt, the log, and the port's life between calls.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "e2e_harness.h"

namespace e2e {
namespace {

using posterm::Frame;
using posterm::Scenario;
using posterm::Step;

Bytes Content100(const std::string& request, size_t commonTo = 52) {
  Bytes c(100, ' ');
  for (size_t i = 0; i < commonTo; ++i) c[i] = static_cast<uint8_t>(request[i]);
  return c;
}

std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }

// Milliseconds from a to b on the monotonic clock.
long long Ms(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count();
}

TEST_F(E2eTest, ApprovalSendsExactFramesAndMapsTheAnswer) {
  const std::string req = FullRequest("30");
  std::string rsp;
  ASSERT_EQ(0, Run(req, &rsp));

  const auto frames = Requests();
  ASSERT_EQ(2u, frames.size());
  const std::string id = CheckHandshake(frames[0]);
  // The request: the common fields, bytes 52..99 spaces for a type without rules of its own.
  EXPECT_EQ(posterm::Hex(posterm::EncodeFrame(id, Content100(req))), posterm::Hex(frames[1].raw));

  const auto sent = term_.Sent();
  ASSERT_EQ(2u, sent.size());
  const Bytes& answer = sent[1].content;
  ASSERT_EQ(507u, answer.size());
  EXPECT_EQ(ExpectedResponse(answer, req), rsp);
  EXPECT_EQ(std::string(6, ' '), rsp.substr(110, 6));
  EXPECT_EQ("XYZ", rsp.substr(158, 3));
  EXPECT_EQ("A0310100", rsp.substr(0, 8));
  EXPECT_EQ("000000012345", rsp.substr(55, 12));
  EXPECT_EQ("20261208143015", rsp.substr(90, 14));
  // The port stays open for the next call: the library holds the line beside the terminal.
  EXPECT_EQ(2, LineDescriptors());
  // The request follows the handshake's answer after the pause (both times the terminal's): the register
  // takes a chunk once the line has been quiet for its read interval (100 ms), then pauses 200 ms.
  EXPECT_GE(Ms(sent[0].at, frames[1].at), 100 + 200 - 10);
}

TEST_F(E2eTest, ReceiptFileHoldsEveryTemplateLine) {
  ASSERT_EQ(0, Run(FullRequest("30"), nullptr));
  const std::string expect =
      "银行卡POS签购单 %s\r\n"
      "商户存根\r\n"
      "----\r\n"
      "商户名称:KORVESSA TEST MERCHANT                  |\r\n"
      "商户编号:898310048990001|\r\n"
      "终端编号:10020001|\r\n"
      "操作员号:OPERATOR0|\r\n"
      "发卡行:ISSUERBANK01|\r\n"
      "收单行:ACQBANK00001|\r\n"
      "卡号:6222 02** **** ***0 123|\r\n"
      "交易类型:消费|\r\n"
      "批次号:000001|\r\n"
      "凭证号:000123|\r\n"
      "授权码:AUTH01|\r\n"
      "参考号:R00000000001|\r\n"
      "日期时间:2026/12/08 14:30:15\r\n"
      "金额:RMB 123.45 100%\r\n"
      "备注:[THANK YOU ]\r\n"
      "签名\r\n\\n\r\n"
      "end\r\n";
  EXPECT_EQ(expect, ReadFile(Dir() + "/print.txt"));

  // A second approval replaces it; a type that writes no receipt leaves it alone.
  Scenario s = FixedScenario();
  s.fields[23] = "000000100000";
  s.fields[104] = "1234567890123456   ";
  term_.SetScenario(s);
  ASSERT_EQ(0, Run(FullRequest("30"), nullptr));
  const std::string second = ReadFile(Dir() + "/print.txt");
  EXPECT_NE(std::string::npos, second.find("金额:RMB 1000.00 100%\r\n"));
  EXPECT_NE(std::string::npos, second.find("卡号:1234 56** **** 3456 |\r\n"));
  ASSERT_EQ(0, Run(FullRequest("92"), nullptr));
  EXPECT_EQ(second, ReadFile(Dir() + "/print.txt"));
  EXPECT_EQ("", Log());  // nothing went wrong: nothing logged at the default level
}

TEST_F(E2eTest, RequestDisplayAtLevelFiveLeavesTheRecordUnchanged) {
  Ini ini = DefaultIni();
  ini.Set("DEBUG_LOG", "DebugLog", "5");
  WriteConfig(ini);
  ASSERT_EQ(0, Run(FullRequest("30"), nullptr));  // Run checks the record byte for byte
  const std::string log = Log();
  const char* const lines[] = {
      "【输入参数数据显示】\r\n"
      "-----------------------------------------------------------------------------\r\n"
      "操 作  类 型：A0\r\n"
      "交 易  类 型：30\r\n"
      "卡   类   型：01\r\n"
      "收银机  编号：REG000001\r\n"
      "操作员  编号：OPR001\r\n"
      "金        额：000000012345\r\n"
      "收银机流水号：CTN000000001\r\n"
      "打 印  小 票：Y\r\n"
      "原交易流水号：OTN001\r\n"
      "原交易参考号：HSN000000001\r\n"
      "原  授 权 号：OAN000000001\r\n"
      "原 交易 日期：20261201\r\n"
      "卡        号：622202*********0987\r\n"
      "-----------------------------------------------------------------------------\r\n",
      "传入参数",
  };
  for (const char* l : lines) EXPECT_NE(std::string::npos, log.find(l)) << l;
}

TEST_F(E2eTest, TwoApprovalsOpenThePortOnceWithANewIdentifierEach) {
  ASSERT_EQ(0, Run(FullRequest("30"), nullptr));
  // Point the configuration at a port that cannot be opened: a reopen would fail the second call.
  Ini ini = DefaultIni();
  ini.Set("COM", "ComPort", "1024");
  WriteConfig(ini);
  ASSERT_EQ(0, Run(FullRequest("30"), nullptr));
  const auto f = Requests();
  ASSERT_EQ(4u, f.size());
  const std::string id1 = CheckHandshake(f[0]);
  const std::string id2 = CheckHandshake(f[2]);
  EXPECT_NE(id1, id2);
  EXPECT_EQ(id1, f[1].id);
  EXPECT_EQ(id2, f[3].id);
  EXPECT_EQ(2, LineDescriptors());
}

TEST_F(E2eTest, RefusedTransactionMapsTheRefusalAndClosesThePort) {
  Ini ini = DefaultIni();
  ini.Set("DEBUG_LOG", "DebugLog", "3");
  WriteConfig(ini);
  Scenario s = FixedScenario();
  s.trans.retCode = "05";
  term_.SetScenario(s);
  const std::string req = FullRequest("30");
  std::string rsp;
  ASSERT_EQ(0x3530, Run(req, &rsp));
  EXPECT_EQ(ExpectedResponse(term_.Sent().back().content, req), rsp);
  EXPECT_EQ("05", rsp.substr(6, 2));
  EXPECT_EQ("", ReadFile(Dir() + "/print.txt"));
  EXPECT_NE(std::string::npos, Log().find("POS机拒绝处理消费数据包，返回码(cRetValue=\"05\"). \r\n"));
  EXPECT_EQ(1, LineDescriptors());
}

TEST_F(E2eTest, RefusedHandshakeSendsNoRequestAndLeavesTheResponse) {
  Scenario s = FixedScenario();
  s.handshake.retCode = "05";
  term_.SetScenario(s);
  std::string rsp;
  ASSERT_EQ(0x3530, Run(FullRequest("30"), &rsp));
  EXPECT_EQ(std::string(161, '#'), rsp);
  ASSERT_EQ(1u, Requests().size());
  CheckHandshake(Requests()[0]);
  EXPECT_EQ(1, LineDescriptors());
}

TEST_F(E2eTest, TimeOutMapsTheHandshakeAnswer) {
  Scenario s = FixedScenario();
  s.trans.end = Step::End::kSilence;
  Ini ini = DefaultIni();
  ini.Set("TCP", "TradeTimeOut", "1");
  WriteConfig(ini);
  term_.SetScenario(s);
  const std::string req = FullRequest("30");
  std::string rsp;
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(-3, Run(req, &rsp));
  const auto end = std::chrono::steady_clock::now();
  EXPECT_GE(Ms(t0, end), 1000 + 200);
  // No later than TradeTimeOut + 0.6 s after the request reached the terminal.
  ASSERT_EQ(2u, Requests().size());
  EXPECT_LE(Ms(Requests()[1].at, end), 1000 + 600);
  std::string expect(161, ' ');
  expect.replace(0, 8, "C0010100");
  expect.replace(158, 3, "XYZ");
  EXPECT_EQ(expect, rsp);
  EXPECT_NE(std::string::npos, Log().find("处理消费(发送->接收)时间超时，超时时间=1000(ms). \r\n"));
  EXPECT_EQ(1, LineDescriptors());
}

TEST_F(E2eTest, HandshakeTimeOut) {
  Scenario s = FixedScenario();
  s.handshake.end = Step::End::kSilence;
  term_.SetScenario(s);
  std::string rsp;
  ASSERT_EQ(-3, Run(FullRequest("30"), &rsp));
  const auto end = std::chrono::steady_clock::now();
  EXPECT_EQ(std::string(161, '#'), rsp);
  ASSERT_EQ(1u, Requests().size());
  // 2.0 to 2.6 s after the handshake reached the terminal, and the log names 2000 ms.
  EXPECT_GE(Ms(Requests()[0].at, end), 2000);
  EXPECT_LE(Ms(Requests()[0].at, end), 2600);
  EXPECT_NE(std::string::npos, Log().find("(发送->接收)时间超时，超时时间=2000(ms). \r\n"));
}

TEST_F(E2eTest, UndefinedTypeIsRefusedUntilConfigured) {
  const std::string req = FullRequest("77");
  std::string rsp;
  ASSERT_EQ(-2, Run(req, &rsp));
  ASSERT_EQ(1u, Requests().size());  // the handshake, nothing more
  std::string expect(161, ' ');
  expect.replace(0, 8, "C0010100");
  expect.replace(158, 3, "XYZ");
  EXPECT_EQ(expect, rsp);
  EXPECT_NE(std::string::npos, Log().find("交易类型不在规定的范围内(77)！ \r\n"));
  EXPECT_NE(std::string::npos, Log().find("】未定义的交易类型 \r\n"));
  EXPECT_EQ(1, LineDescriptors());

  Ini ini = DefaultIni();
  ini.Set("TRANSNAMEDSP", "013", "77 新交易");
  WriteConfig(ini);
  ASSERT_EQ(0, Run(req, &rsp));
  ASSERT_EQ(3u, Requests().size());
  EXPECT_EQ("A077", Str(Requests()[2].content).substr(0, 4));
}

TEST_F(E2eTest, NullRecordsAreRefusedWithoutTrace) {
  std::string req = FullRequest("30");
  std::string rsp(161, '#');
  EXPECT_EQ(-2, bankTrans_(&req[0], nullptr));
  EXPECT_EQ(-2, bankTrans_(nullptr, &rsp[0]));
  EXPECT_EQ(std::string(161, '#'), rsp);
  EXPECT_EQ(FullRequest("30"), req);
  EXPECT_TRUE(term_.Received().empty());
  EXPECT_EQ(1, LineDescriptors());
  EXPECT_NE(0, access((Dir() + "/Log").c_str(), F_OK));
}

TEST_F(E2eTest, MissingPortGivesMinusOne) {
  setenv("KORVESSA_COM7", (Dir() + "/no-such-tty").c_str(), 1);
  std::string rsp;
  EXPECT_EQ(-1, Run(FullRequest("30"), &rsp));
  EXPECT_EQ(std::string(161, '#'), rsp);
  EXPECT_NE(std::string::npos, Log().find("打开 COM7 失败，代码："));
  // The next call opens the port afresh.
  setenv("KORVESSA_COM7", term_.LinePath().c_str(), 1);
  EXPECT_EQ(0, Run(FullRequest("30"), &rsp));
}

// A port that another program holds is refused like a Windows port in use: -1, the level-1 line with
// the assertion text, the system error code 5 and its message (which starts on the blank after the
// semicolon); the next call opens it once it is free.
TEST_F(E2eTest, PortHeldElsewhereGivesMinusOneWithTheSystemCode) {
  const int holder = open(term_.LinePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(0, flock(holder, LOCK_EX | LOCK_NB));
  std::string rsp;
  EXPECT_EQ(-1, Run(FullRequest("30"), &rsp));
  EXPECT_EQ(std::string(161, '#'), rsp);
  EXPECT_NE(std::string::npos,
            Log().find("打开 COM7 失败，代码：SP_ASSERT(OpenPort()) failed; SerialPort(333); Code:5;"
                       "Access is denied."))
      << Log();
  EXPECT_TRUE(term_.Received().empty());
  close(holder);
  EXPECT_EQ(0, Run(FullRequest("30"), &rsp));
}

// The request content for the types with rules of their own, as the terminal receives it.
TEST_F(E2eTest, RequestContentPerType) {
  for (const std::string type : {"40", "50", "62", "64", "66", "02"}) {
    SCOPED_TRACE(type);
    term_.ClearRecords();
    const std::string req = FullRequest(type);
    Scenario s = FixedScenario();
    term_.SetScenario(s);
    ASSERT_EQ(0, Run(req, nullptr));
    const auto f = Requests();
    ASSERT_EQ(2u, f.size());
    Bytes c = Content100(req);
    if (type == "40" || type == "50") {
      for (size_t i = 0; i < 12; ++i) c[52 + i] = static_cast<uint8_t>(req[52 + i]);  // reference number
      for (size_t i = 0; i < 8; ++i) c[64 + i] = static_cast<uint8_t>(req[76 + i]);   // date
    } else if (type[0] == '6') {
      for (size_t i = 0; i < 12; ++i) c[52 + i] = static_cast<uint8_t>(req[64 + i]);  // authorisation
      for (size_t i = 0; i < 8; ++i) c[64 + i] = static_cast<uint8_t>(req[76 + i]);   // date
      for (size_t i = 0; i < 19; ++i) c[72 + i] = static_cast<uint8_t>(req[84 + i]);  // card number
    }
    EXPECT_EQ(Str(c), Str(f[1].content));
    EXPECT_EQ(f[0].id, f[1].id);
  }
}

TEST_F(E2eTest, PrintTextTravelsWithTypeSix) {
  struct Case {
    std::string file;
    std::string sent;
  };
  std::string big;
  for (int i = 0; i < 2500; ++i) big.push_back(static_cast<char>('A' + i % 26));
  const Case cases[] = {
      {"", ""},
      {"line one\r\nline two\r\n", "line one\nline two\n"},
      {big, big.substr(0, 2000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file.size());
    term_.ClearRecords();
    WriteFile(Dir() + "/POS_print.txt", c.file);
    const std::string req = FullRequest("06");
    ASSERT_EQ(0, Run(req, nullptr));
    const auto f = Requests();
    ASSERT_EQ(2u, f.size());
    std::string expect = Str(Content100(req)) + c.sent + std::string(1, '\0');
    EXPECT_EQ(expect.size(), f[1].content.size());
    EXPECT_EQ(expect, Str(f[1].content));
  }
}

TEST_F(E2eTest, TypeSixWithoutPrintFileSendsNothingMore) {
  // Without its print text the request is not sent at all (the handshake frame is not sent again in its
  // place), and the call fails as a refused request.
  ASSERT_NE(0, access((Dir() + "/POS_print.txt").c_str(), F_OK));
  std::string rsp;
  EXPECT_EQ(-2, Run(FullRequest("06"), &rsp));
  ASSERT_EQ(1u, Requests().size());
  CheckHandshake(Requests()[0]);
  EXPECT_NE(std::string::npos, Log().find("Fail to Open File.(POS_print.txt) \r\n"));
}

TEST_F(E2eTest, WrongCommandCodeIsNotAnAnswer) {
  Ini ini = DefaultIni();
  ini.Set("TCP", "TradeTimeOut", "1");
  WriteConfig(ini);
  Scenario s = FixedScenario();
  s.trans.cmdCode = "32";
  term_.SetScenario(s);
  ASSERT_EQ(-3, Run(FullRequest("30"), nullptr));
  EXPECT_NE(std::string::npos, Log().find("发送数据的指令代码(\"30\":消费)和接收数据的指令代码(\"32\":"
                                          "未定义的交易类型)不一致(接收=发送+1)."));
}

TEST_F(E2eTest, TypesTwoAndFourTakeAnyCommandCode) {
  for (const std::string type : {"04", "02"}) {
    Scenario s = FixedScenario();
    s.trans.cmdCode = "99";
    term_.SetScenario(s);
    std::string rsp;
    ASSERT_EQ(0, Run(FullRequest(type), &rsp)) << type;
    EXPECT_EQ("99", rsp.substr(2, 2));
  }
}

TEST_F(E2eTest, AnswerInThreeChunksAfterNoise) {
  Scenario s = FixedScenario();
  s.trans.chunks = 3;
  s.trans.noise = {0x41, 0x41};
  term_.SetScenario(s);
  const std::string req = FullRequest("30");
  std::string rsp;
  ASSERT_EQ(0, Run(req, &rsp));
  EXPECT_EQ(ExpectedResponse(term_.Sent().back().content, req), rsp);
}

// A start byte before the answer's own (posterm --noise 0202, --noise 02 --reply-len 300) does not
// lose the approval.
TEST_F(E2eTest, StrayStartBeforeTheAnswer) {
  struct Case {
    Bytes noise;
    size_t replyLen;
    int chunks;
  };
  const Case cases[] = {{{0x02, 0x02}, 507, 1}, {{0x02}, 300, 1}, {{0x02}, 507, 3}};
  for (const Case& c : cases) {
    Scenario s = FixedScenario();
    s.trans.noise = c.noise;
    s.replyLen = c.replyLen;
    s.trans.chunks = c.chunks;
    term_.SetScenario(s);
    const std::string req = FullRequest("30");
    std::string rsp;
    ASSERT_EQ(0, Run(req, &rsp)) << posterm::Hex(c.noise) << " " << c.replyLen;
    EXPECT_EQ(ExpectedResponse(term_.Sent().back().content, req), rsp);
  }
}

TEST_F(E2eTest, BadLrcThenGoodFrame) {
  Scenario s = FixedScenario();
  s.trans.badLrcFirst = true;
  term_.SetScenario(s);
  const std::string req = FullRequest("30");
  std::string rsp;
  ASSERT_EQ(0, Run(req, &rsp));
  EXPECT_EQ(ExpectedResponse(term_.Sent().back().content, req), rsp);
  const Bytes good = posterm::EncodeFrame(term_.Sent().back().id, term_.Sent().back().content);
  uint8_t bad = static_cast<uint8_t>(good.back() ^ 0xFF);
  if (bad == 0x02) bad = static_cast<uint8_t>(good.back() ^ 0xFE);
  char msg[128];
  snprintf(msg, sizeof msg, "报文结构中冗余检验LRC != 0X%02x，实际值 = 0X%02x.", good.back(), bad);
  EXPECT_NE(std::string::npos, Log().find(msg)) << Log();
}

TEST_F(E2eTest, StaleIdentifierIsRejected) {
  ASSERT_EQ(0, Run(FullRequest("30"), nullptr));
  Scenario s = FixedScenario();
  s.trans.staleIdFirst = true;
  term_.SetScenario(s);
  ASSERT_EQ(0, Run(FullRequest("30"), nullptr));
  const auto f = Requests();
  ASSERT_EQ(4u, f.size());
  char msg[128];
  snprintf(msg, sizeof msg, "报文结构中唯一标识ID != \"%s\"，实际值 = \"%s\".", f[2].id.c_str(),
           f[0].id.c_str());
  EXPECT_NE(std::string::npos, Log().find(msg)) << Log();
}

TEST_F(E2eTest, LineClosedMidTransactionThenReopened) {
  Ini ini = DefaultIni();
  ini.Set("TCP", "TradeTimeOut", "1");
  WriteConfig(ini);
  Scenario s = FixedScenario();
  s.trans.end = Step::End::kHangup;
  term_.SetScenario(s);
  const std::string oldLine = term_.LinePath();
  ASSERT_EQ(-3, Run(FullRequest("30"), nullptr));
  ASSERT_TRUE(term_.WaitHangups(1, 1000));
  // The library let go of the dead line (if the new line got the same name, the old one was freed).
  if (term_.LinePath() != oldLine) {
    EXPECT_EQ(0, DescriptorsNamed(oldLine));
  }
  // The terminal is back on a new line: the next call opens the port again.
  setenv("KORVESSA_COM7", term_.LinePath().c_str(), 1);
  term_.SetScenario(FixedScenario());
  EXPECT_EQ(0, Run(FullRequest("30"), nullptr));
}

TEST_F(E2eTest, ShortAnswerMapsSpacesForWhatItLacks) {
  Scenario s = FixedScenario();
  s.replyLen = 60;  // covers the amount (23..34) and half of reply41 (41..55), nothing after 59
  term_.SetScenario(s);
  const std::string req = FullRequest("30");
  std::string rsp;
  ASSERT_EQ(0, Run(req, &rsp));
  ASSERT_EQ(60u, term_.Sent().back().content.size());
  EXPECT_EQ(ExpectedResponse(term_.Sent().back().content, req), rsp);
  EXPECT_EQ("000000012345", rsp.substr(55, 12));
  EXPECT_EQ(std::string(19, ' '), rsp.substr(67, 19));
  // The receipt shows the missing items as spaces.
  const std::string receipt = ReadFile(Dir() + "/print.txt");
  EXPECT_NE(std::string::npos, receipt.find("金额:RMB 123.45 100%\r\n"));
  EXPECT_NE(std::string::npos, receipt.find("参考号:            |\r\n"));
}

TEST_F(E2eTest, LargestAnswerFitsAndOneByteMoreIsDropped) {
  Ini ini = DefaultIni();
  ini.Set("TCP", "TradeTimeOut", "1");
  WriteConfig(ini);
  Scenario s = FixedScenario();
  s.replyLen = 4085;  // a frame of exactly 4096 bytes
  term_.SetScenario(s);
  const std::string req = FullRequest("30");
  std::string rsp;
  ASSERT_EQ(0, Run(req, &rsp));
  EXPECT_EQ(ExpectedResponse(term_.Sent().back().content, req), rsp);
  s.replyLen = 4086;  // 4097 bytes: more than the receive buffer holds
  term_.SetScenario(s);
  EXPECT_EQ(-3, Run(req, &rsp));
  // The line is still usable afterwards.
  s.replyLen = 507;
  term_.SetScenario(s);
  EXPECT_EQ(0, Run(req, &rsp));
}

TEST_F(E2eTest, TracingAtLevelSix) {
  Ini ini = DefaultIni();
  ini.Set("DEBUG_LOG", "DebugLog", "6");
  WriteConfig(ini);
  ASSERT_EQ(0, Run(FullRequest("30"), nullptr));
  const std::string log = Log();
  // The answer's LEN is 507 + 6: its LRC sits at index LEN + 4.
  EXPECT_NE(std::string::npos, log.find("Len = 517, m_iIndex = 517. \r\n"));
  EXPECT_NE(std::string::npos, log.find("Len = 110, m_iIndex = 110. \r\n"));  // the handshake's answer
  EXPECT_NE(std::string::npos, log.find("发送消费请求包数据"));
  EXPECT_NE(std::string::npos, log.find("获取消费应答包数据"));
}

TEST_F(E2eTest, UnloadWithThePortOpen) {
  ASSERT_EQ(0, Run(FullRequest("30"), nullptr));
  EXPECT_EQ(2, LineDescriptors());
  Unload();
  EXPECT_EQ(1, LineDescriptors());
  Load();
  EXPECT_EQ(0, Run(FullRequest("30"), nullptr));
}

}  // namespace
}  // namespace e2e
