// The journal's pieces that are a function of their input: outcome of a result, field escaping, file
// dates and retention, and a call with no record.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>
#ifndef _WIN32
#include <unistd.h>
#endif

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
}

// Retention under any clock: a file goes only when it is older than Days and not among the newest
// Days files; nothing goes when the newest file is dated after today (a clock set back).
TEST(JournalFiles, RetentionNeverTrustsAWrongClock) {
  const struct {
    const char* name;
    LogDate today;
    int days;
    std::vector<const char*> files, removed;
  } kCases[] = {
      {"older than Days and not among the newest",
       {2026, 12, 8},
       2,
       {"20261205", "20261206", "20261207", "20261208"},
       {"20261205"}},
      {"among the newest Days stays", {2026, 12, 8}, 89, {"20260910", "20260909", "20261207"}, {}},
      {"below 1 keeps all", {2026, 12, 8}, 0, {"20200101", "20261207"}, {}},
      {"clock set back to 2000", {2000, 1, 1}, 90, {"20260101", "20261207", "20261208"}, {}},
      {"one file after today", {2026, 12, 8}, 2, {"20250101", "20250102", "20261209"}, {}},
      {"clock set right: the newest Days stay",
       {2026, 12, 8},
       3,
       {"20000101", "20000102", "20000103", "20000104", "20261207"},
       {"20000101", "20000102"}},
      {"fewer files than Days", {2026, 12, 8}, 5, {"20000101", "20100101", "20261207"}, {}},
  };
  for (const auto& c : kCases) {
    ScratchEnv env("");
    const std::string dir = env.Dir() + KV_PATH_SEP_STR;
    ScratchEnv::WriteFile(dir + "Journal.txt", "x");
    for (const char* f : c.files) ScratchEnv::WriteFile(dir + "Journal" + f + ".txt", "x");
    DeleteOldJournals(dir.c_str(), c.today, c.days);
    for (const char* f : c.files) {
      const bool gone = std::find(c.removed.begin(), c.removed.end(), std::string(f)) != c.removed.end();
      EXPECT_NE(gone, KvFileExists((dir + "Journal" + f + ".txt").c_str())) << c.name << ": " << f;
    }
    EXPECT_TRUE(KvFileExists((dir + "Journal.txt").c_str())) << c.name;
  }
}

// The journal's clock for a test: each reading takes the next time of the list.
std::vector<SYSTEMTIME> g_times;
void NextTime(SYSTEMTIME* now) {
  *now = g_times.front();
  if (g_times.size() > 1) g_times.erase(g_times.begin());
}
SYSTEMTIME At(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s, WORD ms) {
  SYSTEMTIME t{};
  t.wYear = y, t.wMonth = mo, t.wDay = d, t.wHour = h, t.wMinute = mi, t.wSecond = s, t.wMilliseconds = ms;
  return t;
}

std::string Record() {
  std::string r(106, ' ');
  r.replace(2, 2, "30");
  r.replace(6, 9, "000000001");
  return r;
}

// A payment sent at 23:59:59 and answered after midnight belongs to the day it was sent.
TEST(TransJournal, TheFinalEventJoinsTheFileOfItsSent) {
  ScratchEnv env("[JOURNAL]\nEnabled=1\n");
  g_times = {At(2026, 12, 8, 23, 59, 59, 900), At(2026, 12, 9, 0, 0, 0, 200)};
  SetJournalClock(NextTime);
  const std::string response(161, '0');
  {
    TransJournal j(Record().c_str());
    j.SetTransId("123456");
    j.ArmRequest();
    j.BeforeWrite();
    EXPECT_EQ(JournalOutcome::kApproved, j.Finish(0, response.c_str()));
    EXPECT_EQ(JournalState::kOk, j.State());
  }
  // A call that sends nothing writes into the file of its own day.
  TransJournal notSent(Record().c_str());
  notSent.Finish(-1, nullptr);
  SetJournalClock(nullptr);
  const std::string first =
      ScratchEnv::ReadFile(env.Path("Journal") + KV_PATH_SEP_STR + "Journal20261208.txt");
  EXPECT_EQ(ScratchEnv::Count(first, "\tSENT\r\n"), 1) << first;
  EXPECT_EQ(ScratchEnv::Count(first, "2026-12-09 00:00:00.200\t123456\t000000001\t\t30\t\tAPPROVED\t00"), 1)
      << first;
  const std::string second =
      ScratchEnv::ReadFile(env.Path("Journal") + KV_PATH_SEP_STR + "Journal20261209.txt");
  EXPECT_EQ(ScratchEnv::Count(second, "\tNOT-SENT\t"), 1) << second;
  EXPECT_EQ(ScratchEnv::Count(second, "APPROVED"), 0);
}

// A journal that cannot be written shows in the call's state and in one level-1 log line.
TEST(TransJournal, AJournalThatCannotBeWrittenIsVisible) {
  const struct {
    const char* name;
    const char* ini;
    bool blockFolder, fullFile;
    JournalState state;
  } kCases[] = {
      {"written", "[JOURNAL]\nEnabled=1\n", false, false, JournalState::kOk},
      {"off", "[JOURNAL]\nEnabled=0\n", true, false, JournalState::kOff},
      {"a file where the folder should be", "", true, false, JournalState::kFailed},
#ifndef _WIN32
      {"the day's file on a full disk", "", false, true, JournalState::kFailed},
#endif
  };
  for (const auto& c : kCases) {
    ScratchEnv env(std::string("[DEBUG_LOG]\nDebugLog=1\n") + c.ini);
    const std::string folder = env.Path("Journal");
    g_times = {At(2026, 12, 8, 10, 0, 0, 0)};
    SetJournalClock(NextTime);
    if (c.blockFolder) ScratchEnv::WriteFile(folder, "x");
#ifndef _WIN32
    if (c.fullFile) {
      KvMakeDir(folder.c_str());
      ASSERT_EQ(0, symlink("/dev/full", (folder + "/Journal20261208.txt").c_str()));
    }
#endif
    TransJournal j(Record().c_str());
    j.ArmRequest();
    j.BeforeWrite();
    j.Finish(-3, nullptr);
    SetJournalClock(nullptr);
    EXPECT_EQ(c.state, j.State()) << c.name;
    EXPECT_EQ(env.CountText("Failed to write the journal."), c.state == JournalState::kFailed ? 1 : 0)
        << c.name << env.Log();
  }
  EXPECT_STREQ("failed", JournalStateText(JournalState::kFailed));
  EXPECT_STREQ("", JournalStateText(JournalState::kNone));
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
