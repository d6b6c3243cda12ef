// The journal's pieces that are a function of their input: outcome of a result, field escaping, file
// dates and retention, and a call with no record.
#include <gtest/gtest.h>

#include <string>

#include "ScratchEnv.h"
#include "journal/Journal.h"

namespace {

TEST(JournalOutcome, FollowsTheResultAndWhetherTheRequestWentOut) {
  const struct {
    int result;
    bool written;
    JournalOutcome outcome;
  } kCases[] = {
      {0, true, JournalOutcome::kApproved},      {0x3530, true, JournalOutcome::kRefused},
      {0x3530, false, JournalOutcome::kNotSent}, {-3, false, JournalOutcome::kNotSent},
      {-3, true, JournalOutcome::kUncertain},    {-1, true, JournalOutcome::kUncertain},
      {-5, true, JournalOutcome::kNotSent},      {-5, false, JournalOutcome::kNotSent},
      {-1, false, JournalOutcome::kNotSent},     {-2, false, JournalOutcome::kNotSent},
      {-10, false, JournalOutcome::kNotSent},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(c.outcome, OutcomeOf(c.result, c.written)) << c.result << " " << c.written;
  }
  EXPECT_STREQ("NOT-SENT", JournalEventName(JournalOutcome::kNotSent));
  EXPECT_STREQ("uncertain", JournalOutcomeText(JournalOutcome::kUncertain));
  EXPECT_STREQ("", JournalOutcomeText(JournalOutcome::kNone));
}

TEST(JournalEscape, TrailingSpacesGoAndUnsafeBytesAreEscaped) {
  char out[64] = "x";
  EXPECT_TRUE(JournalEscape("A\tB\\ \x01\xB0  ", 9, out, sizeof(out)));
  EXPECT_STREQ("xA\\x09B\\x5C \\x01\\xB0", out);
  char small[8] = "";
  EXPECT_FALSE(JournalEscape("\x01\x02", 2, small, sizeof(small)));  // 8 bytes and a terminator
  EXPECT_STREQ("", small);
}

TEST(JournalFiles, DatesAndRetention) {
  LogDate d{};
  EXPECT_TRUE(ParseJournalFileDate("Journal20261208.txt", &d));
  EXPECT_EQ(2026, d.iYear);
  EXPECT_EQ(12, d.iMonth);
  EXPECT_EQ(8, d.iDay);
  for (const char* bad :
       {"Journal2026120.txt", "Journal20261308.txt", "Journal20261208.log", "ErrorLog20261208.txt"})
    EXPECT_FALSE(ParseJournalFileDate(bad, &d)) << bad;

  ScratchEnv env("");
  const std::string dir = env.Dir() + KV_PATH_SEP_STR;
  for (const char* n : {"Journal20260910.txt", "Journal20260909.txt", "Journal.txt", "Journal20261218.txt"})
    ScratchEnv::WriteFile(dir + n, "x");
  DeleteOldJournals(dir.c_str(), LogDate{2026, 12, 8}, 0);  // below 1: keep everything
  EXPECT_TRUE(KvFileExists((dir + "Journal20260909.txt").c_str()));
  DeleteOldJournals(dir.c_str(), LogDate{2026, 12, 8}, 89);
  EXPECT_TRUE(KvFileExists((dir + "Journal20260910.txt").c_str()));   // 89 days
  EXPECT_FALSE(KvFileExists((dir + "Journal20260909.txt").c_str()));  // 90 days
  EXPECT_TRUE(KvFileExists((dir + "Journal.txt").c_str()));
  EXPECT_TRUE(KvFileExists((dir + "Journal20261218.txt").c_str()));
}

TEST(TransJournal, ACallWithoutRecordWritesNothing) {
  ScratchEnv env("[JOURNAL]\nEnabled=1\n");
  TransJournal j(nullptr);
  j.SetTransId("123456");
  j.ArmRequest();
  j.BeforeWrite();
  EXPECT_TRUE(j.RequestWritten());
  EXPECT_EQ(JournalOutcome::kUncertain, j.Finish(-3, nullptr));
  EXPECT_FALSE(KvFileExists(env.Path("Journal").c_str()));
}

TEST(TransJournal, DaysComeFromTheConfiguration) {
  ScratchEnv env("[JOURNAL]\nDays=30\n");
  EXPECT_EQ(30, JournalDays());
  EXPECT_TRUE(JournalEnabled());
}

}  // namespace
