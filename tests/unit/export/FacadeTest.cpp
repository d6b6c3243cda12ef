// The exported functions without a terminal: the key-value facade over the global records,
// the local result codes, and BankTrans's refusals before the terminal is reached.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "EngineTestEnv.h"
#include "KorvessaDLL.h"
#include "export/ExportApi.h"

namespace {

class Facade : public ::testing::Test {
 protected:
  Facade() : env(EngineIni(2)) { LibraryAttach(NULL); }
  ~Facade() override { LibraryDetach(); }

  std::string Request() const { return std::string(g_TransRequest, sizeof(g_TransRequest)); }
  std::string Response() const { return std::string(g_TransResponse, sizeof(g_TransResponse)); }
  void SetResponse(int offset, const std::string& text) {
    memcpy(g_TransResponse + offset, text.data(), text.size());
  }

  EngineTestEnv env;
};

TEST_F(Facade, AttachSetsInitialRecords) {
  memset(g_TransRequest, 'q', sizeof(g_TransRequest));
  memset(g_TransResponse, 'q', sizeof(g_TransResponse));
  memset(g_szValue, 'q', sizeof(g_szValue));
  LibraryAttach(NULL);  // a second attach keeps the engine
  EXPECT_NE(GetEngine(), nullptr);
  EXPECT_EQ(Request(), std::string(106, ' '));
  EXPECT_EQ(Response(), std::string(161, '\0'));
  EXPECT_EQ(std::string(g_szValue, sizeof(g_szValue)), std::string(256, '\0'));
}

TEST_F(Facade, PutValuePadsAndCutsAndZeroesTheResponse) {
  memset(g_TransResponse, 'r', sizeof(g_TransResponse));
  PutValue("amount", "123");
  EXPECT_EQ(Request().substr(21, 12), "123         ");
  EXPECT_EQ(Response(), std::string(161, '\0'));
  PutValue("transDate", "20261207and-more-text");
  EXPECT_EQ(Request().substr(76, 8), "20261207");
  PutValue("oldTraceNumber", "000123");
  PutValue("hostserialNumber", "REF");
  PutValue("transType", "30");
  std::string expected(106, ' ');
  expected.replace(2, 2, "30");
  expected.replace(21, 3, "123");
  expected.replace(46, 6, "000123");
  expected.replace(52, 3, "REF");
  expected.replace(76, 8, "20261207");
  EXPECT_EQ(Request(), expected);
  PutValue("amount", "");  // an empty value leaves the field as spaces
  EXPECT_EQ(Request().substr(21, 12), std::string(12, ' '));
}

TEST_F(Facade, PutValueNamesAreCaseSensitive) {
  memset(g_TransResponse, 'r', sizeof(g_TransResponse));
  PutValue("Amount", "1");
  EXPECT_EQ(Request(), std::string(106, ' '));
  EXPECT_EQ(Response(), std::string(161, '\0'));
  EXPECT_EQ(env.CountMessage("PutValue()中输入参数错误. pName = Amount, pValue = 1."), 1);
}

TEST_F(Facade, PutValueNullArguments) {
  memset(g_TransResponse, 'r', sizeof(g_TransResponse));
  PutValue(nullptr, "1");
  PutValue("amount", nullptr);
  EXPECT_EQ(env.CountMessage("NULL == pName || NULL == pValue."), 2);
  EXPECT_EQ(Response(), std::string(161, 'r'));
  EXPECT_EQ(Request(), std::string(106, ' '));
}

TEST_F(Facade, GetValueTrimsFields) {
  memset(g_TransResponse, ' ', sizeof(g_TransResponse));
  SetResponse(6, "00");
  SetResponse(67, "6222021234567890   ");
  SetResponse(152, " 0042 ");
  SetResponse(116, std::string("REF123\0\0 \0\0\0", 12));
  SetResponse(90, "20261207");
  EXPECT_STREQ(GetValue("rejCode"), "00");
  EXPECT_STREQ(GetValue("cardNumber"), "6222021234567890");
  EXPECT_STREQ(GetValue("posTraceNumber"), " 0042");  // leading blanks stay
  EXPECT_STREQ(GetValue("hostserialNumber"), "REF123");
  EXPECT_STREQ(GetValue("transDate"), "20261207");
}

TEST_F(Facade, GetValueEmptyFieldAndUnknownName) {
  memset(g_TransResponse, 0, sizeof(g_TransResponse));
  SetResponse(67, "1234");
  EXPECT_STREQ(GetValue("cardNumber"), "1234");
  const char* p = GetValue("CardNumber");
  EXPECT_STREQ(p, "1234");  // the previous lookup's text
  EXPECT_EQ(env.CountMessage("GetValue() 中输入参数错误. pName = CardNumber."), 1);
  EXPECT_STREQ(GetValue("rejCode"), "");  // zero bytes read as an empty text
  memset(g_TransResponse + 6, ' ', 2);
  EXPECT_STREQ(GetValue("rejCode"), "");
}

TEST_F(Facade, GetValueNullNameReturnsAConstantEmptyText) {
  SetResponse(67, "1234");
  EXPECT_STREQ(GetValue("cardNumber"), "1234");
  const char* p = GetValue(nullptr);
  EXPECT_STREQ(p, "");
  EXPECT_NE(p, g_szValue);
  EXPECT_STREQ(g_szValue, "1234");
  EXPECT_EQ(env.CountMessage("NULL == pName."), 1);
}

TEST_F(Facade, RejCodeExplain) {
  SetResponse(6, "05");
  EXPECT_STREQ(GetValue("rejCodeExplain"), "请联系发卡行");
  SetResponse(6, "x3");
  EXPECT_STREQ(GetValue("rejCodeExplain"), "无此返回码的错误说明");
}

TEST(RTrimCopy, Examples) {
  char out[32];
  RTrimCopy(out, "  ab  ", 6);
  EXPECT_STREQ(out, "  ab");
  RTrimCopy(out, std::string("ab\0 \0", 5).data(), 5);
  EXPECT_STREQ(out, "ab");
  RTrimCopy(out, "      ", 6);
  EXPECT_STREQ(out, "");
  RTrimCopy(out, "a b", 3);
  EXPECT_STREQ(out, "a b");
  RTrimCopy(out, "abcdef", 3);  // only the width is read
  EXPECT_STREQ(out, "abc");
}

TEST(LocalRejCode, EveryNegativeResult) {
  EXPECT_STREQ(LocalRejCode(-1), "x1");
  EXPECT_STREQ(LocalRejCode(-2), "x2");
  EXPECT_STREQ(LocalRejCode(-3), "x3");
  EXPECT_STREQ(LocalRejCode(-4), "x4");
  EXPECT_STREQ(LocalRejCode(-5), "x5");
  EXPECT_STREQ(LocalRejCode(-6), "x6");
  EXPECT_STREQ(LocalRejCode(-7), "ff");
  EXPECT_STREQ(LocalRejCode(-10), "ff");
}

TEST_F(Facade, TransProcessWithoutPortGivesX1AndClearsRequest) {
  PutValue("transType", "30");
  PutValue("amount", "100");
  TransProcess();
  EXPECT_STREQ(GetValue("rejCode"), "x1");
  std::string expected(161, '\0');
  expected.replace(6, 2, "x1");
  EXPECT_EQ(Response(), expected);
  EXPECT_EQ(Request(), std::string(106, ' '));
  EXPECT_EQ(
      env.CountText("】打开 COM0 失败，代码：SP_ASSERT(dwPort>=1 && dwPort<=1024) failed; SerialPort(328); "),
      1);
}

TEST_F(Facade, BankTransNullRecordsReturnMinus2AndLogNothing) {
  EngineTestEnv::WriteFile(env.Path("Config.ini"), EngineIni(6));
  char response[161];
  memset(response, 'r', sizeof(response));
  const std::string req = RequestRecord("30");
  EXPECT_EQ(BankTrans(nullptr, response), -2);
  EXPECT_EQ(BankTrans(req.data(), nullptr), -2);
  EXPECT_EQ(std::string(response, 161), std::string(161, 'r'));
  EXPECT_FALSE(KvFileExists(env.Path("Log").c_str()));
}

TEST_F(Facade, BankTransOpenFailureLeavesResponseUntouched) {
  char response[161];
  memset(response, 'r', sizeof(response));
  const std::string req = RequestRecord("30");
  EXPECT_EQ(BankTrans(req.data(), response), -1);
  EXPECT_EQ(std::string(response, 161), std::string(161, 'r'));
  EXPECT_FALSE(GetEngine()->IsOpen());
}

TEST_F(Facade, BankTransDumpsAndDisplaysTheRequestAtLevel5) {
  EngineTestEnv::WriteFile(env.Path("Config.ini"), EngineIni(5));
  char response[161];
  const std::string req = RequestRecord("30");
  EXPECT_EQ(BankTrans(req.data(), response), -1);
  const std::string log = env.Log();
  const size_t dump = log.find("】【传入参数】iLen=[0X6A(106)]\r\n");
  const size_t display = log.find("【输入参数数据显示】");
  const size_t open = log.find("打开 COM0 失败");
  ASSERT_NE(dump, std::string::npos) << log;
  ASSERT_NE(display, std::string::npos);
  ASSERT_NE(open, std::string::npos);
  EXPECT_LT(dump, display);
  EXPECT_LT(display, open);
  EXPECT_EQ(EngineTestEnv::Count(log, "【传入参数】"), 1);
  // All 106 bytes are in the table: its last row ends with the reserved bytes, after the card
  // number's last digits (its middle masked).
  const size_t last = log.find(" 0006H: 2A 2A 2A 32 33 33 33 52    53 56 ", dump);
  EXPECT_LT(last, display) << log;
  EXPECT_NE(log.find("|***2333R SV\r\n", dump), std::string::npos);
}

TEST_F(Facade, BankTransBelowLevel5NeitherDumpsNorDisplays) {
  EngineTestEnv::WriteFile(env.Path("Config.ini"), EngineIni(4));
  char response[161];
  const std::string req = RequestRecord("30");
  EXPECT_EQ(BankTrans(req.data(), response), -1);
  EXPECT_EQ(env.CountText("传入参数"), 0);
  EXPECT_EQ(env.CountText("输入参数数据显示"), 0);
  EXPECT_EQ(env.CountText("打开 COM0 失败"), 1);
}

TEST(BankTransNoEngine, IsAnOpenFailure) {
  EngineTestEnv env(EngineIni(2));
  ASSERT_EQ(GetEngine(), nullptr);
  char response[161];
  const std::string req = RequestRecord("30");
  EXPECT_EQ(BankTrans(req.data(), response), -1);
}

}  // namespace
