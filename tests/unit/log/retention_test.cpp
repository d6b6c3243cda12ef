// Date arithmetic and the removal of old log files.
#include <string>

#include "foundation_fixture.h"
#include "log/Retention.h"

namespace {

LogDate D(int y, int m, int d) { return LogDate{y, m, d}; }

TEST(RetentionDateTest, LeapYears) {
  EXPECT_TRUE(IsLeapYear(2000));
  EXPECT_FALSE(IsLeapYear(2100));
  EXPECT_TRUE(IsLeapYear(2024));
  EXPECT_FALSE(IsLeapYear(2026));
}

TEST(RetentionDateTest, DaysInMonth) {
  EXPECT_EQ(DaysInMonth(2024, 2), 29);
  EXPECT_EQ(DaysInMonth(2100, 2), 28);
  EXPECT_EQ(DaysInMonth(2026, 4), 30);
  EXPECT_EQ(DaysInMonth(2026, 12), 31);
  EXPECT_EQ(DaysInMonth(2026, 0), 0);  // out of range: no read past the table
  EXPECT_EQ(DaysInMonth(2026, 13), 0);
}

TEST(RetentionDateTest, DaysBeforeMonthAndBetween) {
  EXPECT_EQ(DaysBeforeMonth(D(2026, 1, 5)), 0);
  EXPECT_EQ(DaysBeforeMonth(D(2026, 3, 1)), 59);
  EXPECT_EQ(DaysBeforeMonth(D(2024, 3, 1)), 60);
  EXPECT_EQ(DaysBeforeMonth(D(2026, 12, 1)), 334);
  EXPECT_EQ(DaysBeforeMonth(D(2026, 99, 1)), 365);  // out of range: no read past the table
  EXPECT_EQ(DaysBetween(D(2026, 12, 7), D(2026, 12, 1)), 6);
  EXPECT_EQ(DaysBetween(D(2026, 12, 7), D(2026, 11, 30)), 7);
  EXPECT_EQ(DaysBetween(D(2026, 12, 1), D(2026, 11, 24)), 7);
  EXPECT_EQ(DaysBetween(D(2027, 1, 3), D(2026, 12, 28)), 6);
  EXPECT_EQ(DaysBetween(D(2026, 12, 28), D(2027, 1, 3)), 6);
  EXPECT_EQ(DaysBetween(D(2024, 3, 1), D(2024, 2, 23)), 7);
  EXPECT_EQ(DaysBetween(D(2100, 3, 1), D(2100, 2, 28)), 1);
  EXPECT_EQ(DaysBetween(D(2000, 3, 1), D(2000, 2, 28)), 2);
  EXPECT_EQ(DaysBetween(D(2026, 12, 7), D(2026, 12, 15)), 8);
  EXPECT_EQ(DaysBetween(D(2001, 1, 1), D(2000, 1, 1)), 366);
  EXPECT_EQ(DaysBetween(D(2026, 1, 1), D(2000, 1, 1)), 9497);
  EXPECT_EQ(DaysBetween(D(9999, 12, 31), D(1, 1, 1)), 3652058);
}

TEST(RetentionDateTest, FileNamesCarryADateOrNot) {
  LogDate d{0, 0, 0};
  EXPECT_TRUE(ParseLogFileDate("ErrorLog20261207.log", &d));
  EXPECT_EQ(d.iYear, 2026);
  EXPECT_EQ(d.iMonth, 12);
  EXPECT_EQ(d.iDay, 7);
  EXPECT_TRUE(ParseLogFileDate("errorlog20240229.LOG", &d));
  EXPECT_FALSE(ParseLogFileDate("ErrorLog.log", &d));
  EXPECT_FALSE(ParseLogFileDate("ErrorLog2026120.log", &d));
  EXPECT_FALSE(ParseLogFileDate("ErrorLog20261307.log", &d));
  EXPECT_FALSE(ParseLogFileDate("ErrorLog20230229.log", &d));
  EXPECT_FALSE(ParseLogFileDate("ErrorLog-2026120.log", &d));
  EXPECT_FALSE(ParseLogFileDate("ErrorLog 2026120.log", &d));
  EXPECT_FALSE(ParseLogFileDate("Error", &d));
  EXPECT_FALSE(ParseLogFileDate(nullptr, &d));
  EXPECT_EQ(d.iYear, 2024);  // failures leave the date alone
}

class RetentionTest : public kvtest::TempDirTest {
 protected:
  std::string Touch(const std::string& name) {
    const std::string path = dir_ + name;
    EXPECT_TRUE(kvtest::WriteAll(path, "x"));
    return path;
  }
  bool Exists(const std::string& name) { return KvFileExists((dir_ + name).c_str()); }
};

TEST_F(RetentionTest, KeepsTodayAndTheSixDaysBefore) {
  for (const char* n : {"ErrorLog20261201.log", "ErrorLog20261130.log", "ErrorLog20261207.log",
                        "ErrorLog20261215.log", "ErrorLog20261210.log", "ErrorLog.log",
                        "ErrorLog2026xx07.log", "Other20200101.log", "ErrorLog20200101.txt"}) {
    Touch(n);
  }
  DeleteOldLogsIn(dir_.c_str(), D(2026, 12, 7));
  EXPECT_TRUE(Exists("ErrorLog20261201.log"));
  EXPECT_FALSE(Exists("ErrorLog20261130.log"));
  EXPECT_TRUE(Exists("ErrorLog20261207.log"));
  EXPECT_FALSE(Exists("ErrorLog20261215.log"));  // eight days ahead
  EXPECT_TRUE(Exists("ErrorLog20261210.log"));
  EXPECT_TRUE(Exists("ErrorLog.log"));
  EXPECT_TRUE(Exists("ErrorLog2026xx07.log"));
  EXPECT_TRUE(Exists("Other20200101.log"));
  EXPECT_TRUE(Exists("ErrorLog20200101.txt"));
}

TEST_F(RetentionTest, AcrossMonthsYearsAndLeapDays) {
  Touch("ErrorLog20261130.log");
  Touch("ErrorLog20261124.log");
  DeleteOldLogsIn(dir_.c_str(), D(2026, 12, 1));
  EXPECT_TRUE(Exists("ErrorLog20261130.log"));
  EXPECT_FALSE(Exists("ErrorLog20261124.log"));

  Touch("ErrorLog20261228.log");
  Touch("ErrorLog20261227.log");
  DeleteOldLogsIn(dir_.c_str(), D(2027, 1, 3));
  EXPECT_TRUE(Exists("ErrorLog20261228.log"));
  EXPECT_FALSE(Exists("ErrorLog20261227.log"));

  Touch("ErrorLog20240223.log");
  Touch("ErrorLog20240224.log");
  DeleteOldLogsIn(dir_.c_str(), D(2024, 3, 1));
  EXPECT_FALSE(Exists("ErrorLog20240223.log"));
  EXPECT_TRUE(Exists("ErrorLog20240224.log"));
}

TEST_F(RetentionTest, MissingFolderIsQuiet) {
  DeleteOldLogsIn((dir_ + "nowhere").c_str(), D(2026, 12, 7));
  DeleteOldLogsIn(nullptr, D(2026, 12, 7));
  EXPECT_EQ(KvListDir(dir_.c_str(), "*", nullptr, nullptr), 0);
}

}  // namespace
