// korvessa log's reading of log text that is damaged or odd, and the card mask.
#include <gtest/gtest.h>

#include "LogCmd.h"

namespace {

TEST(LogParse, CardMaskKeepsSixAndFour) {
  EXPECT_EQ("622202*********0123", korvessa::MaskCard("6222021234567890123"));
  EXPECT_EQ("******7890", korvessa::MaskCard("1234567890"));  // too short to show the first six
  EXPECT_EQ("****", korvessa::MaskCard("1234"));              // nothing shown of a field this short
}

TEST(LogParse, DamagedLinesNeverBreakTheReader) {
  const std::string text =
      "junk before any line\r\n"
      "\xA1\xBE"
      "12:00:00\xA1\xBF\xA1\xBE"
      "title\xA1\xBF"
      "iLen=[0X10(16)]\r\n"
      " 0000H: 02 00 0A 31 32 3Z 41 |broken\r\n"  // a bad hex pair is skipped
      "\xA1\xBE"
      "no closing bracket\r\n"
      "\xA1\xBE"
      "12:00:01\xA1\xBF"
      "message \r\n"
      "\xA1\xBE"
      "12:00:02\xA1\xBF\xA1\xBE"
      "cut\xA1\xBF"
      "iLen=[0X20(32)]\r\n"
      " 0000H: 02 00";
  const auto e = korvessa::ParseLog(text, "x.log");
  ASSERT_EQ(3u, e.size());
  EXPECT_TRUE(e[0].dump);
  EXPECT_EQ(16, e[0].length);
  EXPECT_EQ(6u, e[0].bytes.size());
  EXPECT_EQ("message", e[1].text);  // the unclosed bracket line belongs to no entry
  EXPECT_EQ("12:00:01", e[1].time);
  EXPECT_TRUE(e[2].truncated);
  EXPECT_EQ(2u, e[2].bytes.size());
  const auto t = korvessa::BuildTimeline(e, "");
  ASSERT_EQ(1u, t.size());
  EXPECT_TRUE(t[0].truncated);
  EXPECT_EQ(4, korvessa::LogLevelOf(e));
}

// The relay's audit line of a replied unit is news, not an error; any other ending is an error line.
TEST(LogParse, RelayAuditIsAnErrorOnlyWhenTheUnitWasNotReplied) {
  const std::string replied =
      "\xD6\xF7\xBB\xFA\xD7\xAA\xB7\xA2\xA3\xBA\xC4\xBF\xB5\xC4\xB5\xD8\xD6\xB7=127.0.0.1:"
      "9000\xA3\xAC\xB7\xA2"
      "\xCB\xCD=5\xD7\xD6\xBD\xDA\xA3\xAC\xBD\xD3\xCA\xD5=2\xD7\xD6\xBD\xDA\xA3\xAC\xD3\xC3\xCA\xB1="
      "3ms\xA3\xAC"
      "\xBD\xE1\xB9\xFB=\xD2\xD1\xD3\xA6\xB4\xF0";
  const std::string refused =
      "\xD6\xF7\xBB\xFA\xD7\xAA\xB7\xA2\xA3\xBA\xC4\xBF\xB5\xC4\xB5\xD8\xD6\xB7=127.0.0.1:"
      "9001\xA3\xAC\xB7\xA2"
      "\xCB\xCD=0\xD7\xD6\xBD\xDA\xA3\xAC\xBD\xD3\xCA\xD5=0\xD7\xD6\xBD\xDA\xA3\xAC\xD3\xC3\xCA\xB1="
      "1ms\xA3\xAC"
      "\xBD\xE1\xB9\xFB=\xC1\xAC\xBD\xD3\xCA\xA7\xB0\xDC(\xB1\xBB\xBE\xDC\xBE\xF8)";
  const std::string text =
      "\xA1\xBE"
      "12:00:01\xA1\xBF" +
      replied +
      "\r\n\xA1\xBE"
      "12:00:02\xA1\xBF" +
      refused + "\r\n";
  const auto t = korvessa::BuildTimeline(korvessa::ParseLog(text, "x.log"), "");
  ASSERT_EQ(1u, t.size());
  ASSERT_EQ(2u, t[0].steps.size());
  EXPECT_FALSE(t[0].steps[0].error);
  EXPECT_TRUE(t[0].steps[1].error);
  EXPECT_EQ(1, t[0].errors);
}

}  // namespace
