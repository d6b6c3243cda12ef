// korvessa's own helpers: amounts, record fields, the Config.ini readings it shows, GBK conversion.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Records.h"

namespace korvessa {
namespace {

TEST(Amount, ConvertsUnitsToTwelveDigitsOfMinorUnits) {
  std::string m;
  ASSERT_TRUE(AmountToMinor("123.45", &m));
  EXPECT_EQ("000000012345", m);
  ASSERT_TRUE(AmountToMinor("7", &m));
  EXPECT_EQ("000000000700", m);
  ASSERT_TRUE(AmountToMinor("0.5", &m));
  EXPECT_EQ("000000000050", m);
  ASSERT_TRUE(AmountToMinor(".05", &m));
  EXPECT_EQ("000000000005", m);
  ASSERT_TRUE(AmountToMinor("0009999999999.99", &m));
  EXPECT_EQ("999999999999", m);
  for (const char* bad : {"", ".", "1.234", "-1", "1,00", "1.2.3", "12345678901", "abc"}) {
    EXPECT_FALSE(AmountToMinor(bad, &m)) << bad;
  }
}

TEST(RecordsLayout, FieldsTileTheRecordsExactly) {
  size_t next = 0;
  for (const Field& f : RequestFields()) {
    EXPECT_EQ(next, f.off) << f.name;
    next = f.off + f.width;
  }
  EXPECT_EQ(kRequestSize, next);
  next = 0;
  for (const Field& f : ResponseFields()) {
    if (next == 110) next = 116;  // the gap
    EXPECT_EQ(next, f.off) << f.name;
    next = f.off + f.width;
  }
  EXPECT_EQ(kResponseSize, next);
  char rec[kRequestSize];
  memset(rec, '#', sizeof rec);
  ASSERT_TRUE(PutField(rec, *FindField(RequestFields(), "amount"), "123"));
  EXPECT_EQ("123         #", std::string(rec + 21, 13));
  EXPECT_FALSE(PutField(rec, *FindField(RequestFields(), "transType"), "123"));
  EXPECT_EQ(nullptr, FindField(RequestFields(), "Amount"));
}

TEST(Results, MeaningAndExitStatus) {
  EXPECT_EQ("approved", ResultMeaning(0));
  EXPECT_EQ("refused by the terminal, return code \"05\"", ResultMeaning(0x3530));
  EXPECT_EQ("no acceptable answer from the terminal in time", ResultMeaning(-3));
  EXPECT_EQ("unknown result", ResultMeaning(-4));
  EXPECT_EQ(0, ExitStatusFor(0));
  EXPECT_EQ(1, ExitStatusFor(0x3530));
  EXPECT_EQ(2, ExitStatusFor(-10));
  EXPECT_EQ(0, ExitStatusForRejCode("00"));
  EXPECT_EQ(2, ExitStatusForRejCode("x3"));
  EXPECT_EQ(2, ExitStatusForRejCode("ff"));
  EXPECT_EQ(1, ExitStatusForRejCode("05"));
  EXPECT_EQ(1, ExitStatusForRejCode(""));
}

class IniTest : public ::testing::Test {
 protected:
  void Write(const std::string& text) {
    FILE* f = fopen(path_.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
  }
  void TearDown() override { remove(path_.c_str()); }
  std::string path_ = ::testing::TempDir() + "korvessa_ini_test.ini";
};

TEST_F(IniTest, ProfileRulesAndTables) {
  Write(
      "; comment\r\n"
      "[txtfilename]\r\n"
      "  FILEPATH =  \"C:\\receipts\"  \r\n"
      "FileName=r.txt\r\n"
      "FileName=second.txt\r\n"
      "[REEOR_INFORMITION]\r\n"
      "001=00 approved\r\n"
      "002=051 refused by the bank\r\n"
      "003=05 never reached\r\n"
      "005=51 after a gap\r\n");
  EXPECT_EQ("C:\\receipts", IniString(path_, "TXTFILENAME", "filepath", "x"));
  EXPECT_EQ("r.txt", IniString(path_, "TXTFILENAME", "FileName", "x"));
  EXPECT_EQ("dflt", IniString(path_, "TXTFILENAME", "Missing", "dflt"));
  EXPECT_EQ("dflt", IniString(path_ + ".none", "A", "B", "dflt"));
  EXPECT_EQ("C:/receipts/r.txt", ReceiptPath(path_));
  bool found = false;
  EXPECT_EQ("refused by the bank", RejCodeExplain(path_, "05", &found));
  EXPECT_TRUE(found);
  EXPECT_EQ("", RejCodeExplain(path_, "51", &found));  // the table ends at the gap
  EXPECT_FALSE(found);
}

TEST_F(IniTest, ReceiptPathDefaults) {
  Write("[OTHER]\nx=1\n");
  EXPECT_EQ("./print.txt", ReceiptPath(path_));
}

TEST(Gbk, ConvertsToUtf8AndMarksBadBytes) {
  const std::string gbk = "\xD6\xD0\xCE\xC4 OK";  // two Chinese characters in GBK
  EXPECT_EQ("\xE4\xB8\xAD\xE6\x96\x87 OK", FromGbk(gbk, "UTF-8"));
  EXPECT_EQ(gbk, FromGbk(gbk, ""));
  EXPECT_EQ(gbk, FromGbk(gbk, "GBK"));
  EXPECT_EQ("A?B", FromGbk("A\xFF"
                           "B",
                           "UTF-8"));
  EXPECT_EQ("A?", FromGbk("A\xD6", "UTF-8"));  // a lead byte cut off at the end
}

}  // namespace
}  // namespace korvessa
