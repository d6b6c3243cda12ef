// The receipt: the renderers' examples, the line-count rule, the file on disk byte for
// byte, and templates that try to make the writer read or write where it should not.
#include <cerrno>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ScratchEnv.h"
#include "print/PrintFile.h"

namespace {

// ---------------------------------------------------------------- renderers

std::string Card(const char* text) {
  char out[32];
  memset(out, 'x', sizeof(out));
  FormatCardNo(out, sizeof(out), text, 19);
  return out;
}

std::string Amount(const char* text) {
  char out[16];
  FormatAmount(out, sizeof(out), text, 12);
  return out;
}

// Formats a one-argument template; "<rejected>" when the template is refused.
std::string Fmt(const char* tmpl, const std::string& value) {
  char out[2048];
  const char* args[1] = {value.c_str()};
  const size_t lens[1] = {value.size()};
  return FormatTemplate(out, sizeof(out), tmpl, args, lens, 1) ? std::string(out) : std::string("<rejected>");
}

TEST(PrintRenderTest, CardNumbersAreMaskedAndGrouped) {
  EXPECT_EQ("1234 56** **** ***6 789", Card("1234567890123456789"));
  EXPECT_EQ("1234 56** **** 3456 ", Card("1234567890123456   "));
  EXPECT_EQ("1234 56** *012 3", Card("1234567890123      "));
  EXPECT_EQ("1234 5678 90", Card("1234567890         "));  // ten digits: nothing masked
  EXPECT_EQ("1234 5678 ", Card("12345678           "));
  EXPECT_EQ("", Card("                   "));
  // The count is of digits; the characters are the first j bytes as they stand.
  EXPECT_EQ("12 3 4", Card("12 34 5             "));
  // A small output is cut, never overrun.
  char small[6];
  memset(small, 'x', sizeof(small));
  FormatCardNo(small, 5, "1234567890123456789", 19);
  EXPECT_STREQ("1234", small);
  EXPECT_EQ('x', small[5]);
}

TEST(PrintRenderTest, AmountsHaveTwoDecimals) {
  EXPECT_EQ("123.45", Amount("000000012345"));
  EXPECT_EQ("0.05", Amount("000000000005"));
  EXPECT_EQ("0.00", Amount("000000000000"));
  EXPECT_EQ("1000.00", Amount("000000100000"));
  EXPECT_EQ("0.50", Amount("000000000050"));
  EXPECT_EQ("1234567890.12", Amount("123456789012"));
}

TEST(PrintRenderTest, TemplatesTakeOneStringConversion) {
  EXPECT_EQ("卡号:ABC", Fmt("卡号:%s", "ABC"));
  EXPECT_EQ("[  ABC][ABC  ][AB]", Fmt("[%5s]", "ABC") + Fmt("[%-5s]", "ABC") + Fmt("[%.2s]", "ABC"));
  EXPECT_EQ("[   AB]", Fmt("[%05.2s]", "ABC"));  // flags other than '-' pad with blanks
  EXPECT_EQ("100% ABC %", Fmt("100%% %s %%", "ABC"));
  EXPECT_EQ("label only", Fmt("label only", "ABC"));
  EXPECT_EQ("[]", Fmt("[%.s]", "ABC"));

  // Anything else is refused.
  for (const char* bad : {"%n", "%d", "%s%s", "abc%", "%*s", "%.*s", "%1000s", "%.1000s", "%ls", "%c", "% d",
                          "%%%", "%-", "%5"}) {
    EXPECT_EQ("<rejected>", Fmt(bad, "ABC")) << bad;
  }
  // Width is bounded to three digits.
  EXPECT_EQ(std::string(996, ' ') + "ABC", Fmt("%999s", "ABC"));
}

TEST(PrintRenderTest, ValuesStopAtTheirWidthOrAZeroByte) {
  char out[64];
  const char text[] = "ABCDEFGH";
  const char* args[1] = {text};
  size_t lens[1] = {3};
  ASSERT_TRUE(FormatTemplate(out, sizeof(out), "<%s>", args, lens, 1));
  EXPECT_STREQ("<ABC>", out);
  const char withZero[] = {'A', 'B', '\0', 'D'};
  args[0] = withZero;
  lens[0] = 4;
  ASSERT_TRUE(FormatTemplate(out, sizeof(out), "<%s>", args, lens, 1));
  EXPECT_STREQ("<AB>", out);
  // Output cut to the buffer.
  args[0] = text;
  lens[0] = 8;
  char small[5];
  memset(small, 'x', sizeof(small));
  ASSERT_TRUE(FormatTemplate(small, 4, "%s", args, lens, 1));
  EXPECT_STREQ("ABC", small);
  EXPECT_EQ('x', small[4]);
}

TEST(PrintRenderTest, DateAndTimeTakeSixConversions) {
  char out[kPrintLineSize];
  const char date[] = "20261207";
  const char time[] = "044028";
  ASSERT_TRUE(FormatDateTime(out, sizeof(out), "%.4s-%.2s-%.2s %.2s:%.2s:%.2s", date, 8, time, 6));
  EXPECT_STREQ("2026-12-07 04:40:28", out);
  ASSERT_TRUE(FormatDateTime(out, sizeof(out), "%.2s/%.2s %.2s时", date, 8, time, 6));
  EXPECT_STREQ("20/12 07时", out);
  EXPECT_FALSE(FormatDateTime(out, sizeof(out), "%s%s%s%s%s%s%s", date, 8, time, 6));
  EXPECT_FALSE(FormatDateTime(out, sizeof(out), "%.4s%d", date, 8, time, 6));

  // Without a precision a conversion runs to the end of what is readable, cut at 255.
  std::string longText(400, 'L');
  ASSERT_TRUE(FormatDateTime(out, sizeof(out), "%s", longText.c_str(), longText.size(), time, 6));
  EXPECT_EQ(std::string(255, 'L'), out);
  // Parts beyond what is readable are empty.
  ASSERT_TRUE(FormatDateTime(out, sizeof(out), "[%s][%s][%s]", "2026", 4, time, 6));
  EXPECT_STREQ("[2026][][]", out);
}

// ---------------------------------------------------------------- the file

const char kTemplates[] =
    "001=欢迎光临\r\n"
    "002=%s 原样\r\n"
    "003=----\r\n"
    "004=商户名称:%s\r\n"
    "005=商户编号:%s\r\n"
    "006=终端编号:%s\r\n"
    "007=操作员:%s\r\n"
    "008=批次号:%s\r\n"
    "009=凭证号:%s\r\n"
    "010=卡号:%s\r\n"
    "011=交易类型:%s\r\n"
    "012=授权码:%s\r\n"
    "013=流水号:%s\r\n"
    "014=票据号:%s\r\n"
    "015=参考号:%s\r\n"
    "016=日期时间:%.4s/%.2s/%.2s %.2s:%.2s:%.2s\r\n"
    "017=金额:%s\r\n"
    "018=备注:%.10s\r\n"
    "019=谢谢\\n再见\r\n"
    "020=END\r\n";

const char kExpectedLines[][64] = {
    "欢迎光临",
    "%s 原样",
    "----",
    "商户名称:测试商户                                ",
    "商户编号:123456789012345",
    "终端编号:TERM0001",
    "操作员:OPER00001",
    "批次号:000001      ",
    "凭证号:000123      ",
    "卡号:1234 56** **** ***6 789",
    "交易类型:消费",
    "授权码:AUTH01",
    "流水号:TRC001",
    "票据号:INV001",
    "参考号:REF000000001",
    "日期时间:2026/12/07 04:40:28",
    "金额:123.45",
    "备注:NOTE      ",
    "谢谢\r\n再见",
    "END",
};

// The reply content of an approved sale ("51"), 555 bytes.
std::string Reply(const char* cmd = "51") {
  std::string c(555, ' ');
  auto put = [&c](size_t off, const std::string& v) { c.replace(off, v.size(), v); };
  put(0, "A0");
  put(2, cmd);
  put(4, "0100");
  put(8, "OPER00001");
  put(23, "000000012345");
  put(35, "AUTH01");
  put(41, "123456789012345");
  put(56, "TERM0001");
  put(64, "测试商户");
  put(104, "1234567890123456789");
  put(127, "000001");
  put(139, "000123");
  put(151, "20261207");
  put(159, "044028");
  put(165, "INV001");
  put(171, "REF000000001");
  put(201, "TRC001");
  put(207, "NOTE");
  return c;
}

std::string Expected(int nLines) {
  std::string s;
  for (int i = 0; i < nLines; ++i) s += std::string(kExpectedLines[i]) + "\r\n";
  return s;
}

class ReceiptTest : public ::testing::Test {
 protected:
  // A fresh folder for this test.
  void NewEnv() {
    env.reset();
    env.reset(new ScratchEnv(""));
  }
  // Config.ini with the receipt in this test's folder (unless fileSection says otherwise)
  // and the given [TXTFILECONTENT] body.
  void WriteIni(const std::string& content, const std::string& fileSection = "", int debugLog = 2) {
    std::string ini = "[DEBUG_LOG]\r\nDebugLog=" + std::to_string(debugLog) +
                      "\r\n[TRANSNAMEDSP]\r\n001=50 消费\r\n002=92 查询\r\n";
    ini += "[TXTFILENAME]\r\n" +
           (fileSection.empty() ? "FilePath=" + env->Dir() + "\r\nFileName=print.txt\r\n" : fileSection);
    ini += "[TXTFILECONTENT]\r\n" + content;
    ScratchEnv::WriteFile(env->Path("Config.ini"), ini);
    SetConfigFile(env->Path("Config.ini").c_str());
  }
  void Setup(const std::string& content, const std::string& fileSection = "") {
    NewEnv();
    WriteIni(content, fileSection);
  }
  std::string Receipt() const { return ScratchEnv::ReadFile(env->Path("print.txt")); }
  int Make(const std::string& reply) {
    // An exact-size copy, so a read past the content is caught by the address sanitizer.
    std::vector<unsigned char> exact(reply.begin(), reply.end());
    return MakePrintFile(exact.data(), static_cast<int>(exact.size()));
  }

  std::unique_ptr<ScratchEnv> env;
};

TEST_F(ReceiptTest, TwentyLinesByteForByte) {
  for (const char* num : {"20", "19", "999"}) {
    Setup(std::string("ContentNum=") + num + "\r\n" + kTemplates);
    EXPECT_EQ(1, Make(Reply())) << num;
    EXPECT_EQ(Expected(20), Receipt()) << num;
    EXPECT_FALSE(env->LogExists());
  }
}

TEST_F(ReceiptTest, ContentNumGovernsTheLineCount) {
  Setup(kTemplates);  // ContentNum absent: line 1 only, and not a success
  EXPECT_EQ(0, Make(Reply()));
  EXPECT_EQ(Expected(1), Receipt());

  Setup(std::string("ContentNum=5\r\n") + kTemplates);
  EXPECT_FALSE(WritePrintFile(reinterpret_cast<const unsigned char*>(Reply().data()), 555));
  EXPECT_EQ(Expected(6), Receipt());

  Setup(std::string("ContentNum=18\r\n") + kTemplates);
  EXPECT_EQ(0, Make(Reply()));
  EXPECT_EQ(Expected(19), Receipt());

  Setup(std::string("ContentNum=-1\r\n") + kTemplates);
  EXPECT_EQ(0, Make(Reply()));
  EXPECT_TRUE(KvFileExists(env->Path("print.txt").c_str()));
  EXPECT_EQ("", Receipt());
}

TEST_F(ReceiptTest, NoReceiptForHandshakeQueryAndSettlementTypes) {
  Setup(std::string("ContentNum=20\r\n") + kTemplates);
  ScratchEnv::WriteFile(env->Path("print.txt"), "previous receipt");
  for (const char* cmd : {"01", "81", "93", "95"}) {
    EXPECT_EQ(-1, Make(Reply(cmd))) << cmd;
    EXPECT_EQ("previous receipt", Receipt()) << cmd;
  }
  EXPECT_FALSE(env->LogExists());
  // The neighbours of those types do get a receipt.
  EXPECT_EQ(1, Make(Reply("91")));
  EXPECT_NE("previous receipt", Receipt());
}

TEST_F(ReceiptTest, EachReceiptReplacesTheLastOne) {
  Setup("ContentNum=20\r\n005=编号:%s\r\n");
  std::string first = Reply();
  first.replace(41, 15, std::string(15, 'A'));
  EXPECT_EQ(1, Make(first));
  std::string second = Reply();
  second.replace(41, 15, std::string(15, 'B'));
  EXPECT_EQ(1, Make(second));
  std::string expected;
  for (int i = 1; i <= 20; ++i)
    expected += (i == 5 ? "编号:" + std::string(15, 'B') : std::string()) + "\r\n";
  EXPECT_EQ(expected, Receipt());

  // A shorter receipt leaves nothing of the longer one behind.
  WriteIni("ContentNum=0\r\n001=end\r\n");
  EXPECT_EQ(0, Make(second));
  EXPECT_EQ("end\r\n", Receipt());
}

TEST_F(ReceiptTest, FoldersOfThePathAreCreated) {
  NewEnv();
  const std::string deep = env->Dir() + KV_PATH_SEP_STR + "r" + KV_PATH_SEP_STR + "a" + KV_PATH_SEP_STR + "b";
  WriteIni("ContentNum=0\r\n001=X\r\n", "FilePath=" + deep + "\r\nFileName=receipt.txt\r\n");
  EXPECT_EQ(0, Make(Reply()));
  EXPECT_EQ("X\r\n", ScratchEnv::ReadFile(deep + KV_PATH_SEP_STR + "receipt.txt"));
}

TEST_F(ReceiptTest, FilesThatCannotBeOpenedAreLogged) {
  // The folder is a file: nothing can be created below it.
  NewEnv();
  const std::string blocker = env->Path("blocker");
  ScratchEnv::WriteFile(blocker, "x");
  WriteIni("ContentNum=20\r\n", "FilePath=" + blocker + "\r\nFileName=print.txt\r\n");
  char path[kPrintFileNameSize];
  GetPrintFileName(path, sizeof(path));
  EXPECT_EQ(0, Make(Reply()));
  EXPECT_EQ(1, env->CountMessage(std::string("Failed to open or new file.(") + path + ")."));
  EXPECT_EQ("x", ScratchEnv::ReadFile(blocker));

  // A path that does not fit 260 characters fails the same way.
  env->ClearLog();
  const std::string longName(250, 'n');
  WriteIni("ContentNum=20\r\n", "FilePath=" + env->Dir() + "\r\nFileName=" + longName + "\r\n");
  GetPrintFileName(path, sizeof(path));
  ASSERT_GE(strlen(path), 260u);
  EXPECT_FALSE(WritePrintFile(reinterpret_cast<const unsigned char*>(Reply().data()), 555));
  EXPECT_EQ(1, env->CountMessage(std::string("Failed to open or new file.(") + path + ")."));
}

#ifndef _WIN32
// A full disk: the receipt opens but its writes fail. It is not reported as written, and one line
// at level 1 names the file and the system's reason.
TEST_F(ReceiptTest, ReceiptNotWrittenWholeIsLoggedAtLevel1) {
  NewEnv();
  WriteIni(std::string("ContentNum=20\r\n") + kTemplates, "FilePath=/dev/\r\nFileName=full\r\n", 1);
  EXPECT_EQ(0, Make(Reply()));
  EXPECT_EQ(
      1, env->CountMessage("打印文件写入失败，文件=/dev/full，原因=" + std::string(strerror(ENOSPC)) + "."))
      << env->Log();
}
#endif

TEST_F(ReceiptTest, ShortContentReadsAsSpaces) {
  Setup(std::string("ContentNum=20\r\n") + kTemplates);
  const std::string reply = Reply().substr(0, 60);
  EXPECT_EQ(1, Make(reply));
  std::string expected = Expected(20);
  auto replaceLine = [&expected](const std::string& from, const std::string& to) {
    const size_t pos = expected.find(from + "\r\n");
    ASSERT_NE(std::string::npos, pos) << from;
    expected.replace(pos, from.size(), to);
  };
  replaceLine("商户名称:测试商户                                ", "商户名称:" + std::string(40, ' '));
  replaceLine("终端编号:TERM0001", "终端编号:TERM" + std::string(4, ' '));
  replaceLine("批次号:000001      ", "批次号:" + std::string(12, ' '));
  replaceLine("凭证号:000123      ", "凭证号:" + std::string(12, ' '));
  replaceLine("卡号:1234 56** **** ***6 789", "卡号:");
  replaceLine("流水号:TRC001", "流水号:      ");
  replaceLine("票据号:INV001", "票据号:      ");
  replaceLine("参考号:REF000000001", "参考号:" + std::string(12, ' '));
  replaceLine("日期时间:2026/12/07 04:40:28", "日期时间:    /  /     :  :  ");
  replaceLine("备注:NOTE      ", "备注:" + std::string(10, ' '));
  EXPECT_EQ(expected, Receipt());

  // Nothing at all: every item is blank, the type too (not one without a receipt).
  EXPECT_EQ(1, MakePrintFile(nullptr, 0));
}

TEST_F(ReceiptTest, HostileTemplatesArePrintedAsTextAndLoggedOnce) {
  Setup(
      "ContentNum=20\r\n"
      "001=%n%s%d\r\n"
      "004=abc%\r\n"
      "005=%n%s\r\n"
      "006=%s%s\r\n"
      "007=%d\r\n"
      "008=%5.3s|\r\n"
      "009=%%%-8s%%\r\n"
      "010=卡%s%s\r\n"
      "016=%s%s%s%s%s%s%s\r\n"
      "017=%x\r\n"
      "018=%s\r\n");
  std::string reply = Reply();
  reply.replace(207, 300, std::string(300, 'R'));
  EXPECT_EQ(1, Make(reply));
  const std::string expected = std::string("%n%s%d\r\n") + "\r\n\r\n" + "abc%\r\n" + "%n%s\r\n" + "%s%s\r\n" +
                               "%d\r\n" + "  000|\r\n" + "%000123      %\r\n" + "卡%s%s\r\n" + "\r\n" +
                               "\r\n\r\n\r\n\r\n" + "%s%s%s%s%s%s%s\r\n" + "%x\r\n" + std::string(300, 'R') +
                               "\r\n\r\n\r\n";
  EXPECT_EQ(expected, Receipt());
  EXPECT_EQ(1, env->CountMessage("小票模板004格式不正确，按原文输出：abc%"));
  EXPECT_EQ(std::string::npos, env->Log().find("小票模板005"));

  // The next file logs its first rejected template again.
  EXPECT_EQ(1, Make(reply));
  EXPECT_EQ(2, env->CountMessage("小票模板004格式不正确，按原文输出：abc%"));
}

TEST_F(ReceiptTest, DateTimeWithoutPrecisionIsCutAt255) {
  Setup("ContentNum=15\r\n016=%s\r\n");
  std::string reply = Reply();
  for (size_t i = 151; i < reply.size(); ++i) reply[i] = static_cast<char>('a' + i % 26);
  EXPECT_EQ(0, Make(reply));  // 16 lines only: not a complete receipt
  const std::string receipt = Receipt();
  const std::string line16 = reply.substr(151, 255) + "\r\n";
  ASSERT_GE(receipt.size(), line16.size());
  EXPECT_EQ(line16, receipt.substr(receipt.size() - line16.size()));
}

}  // namespace
