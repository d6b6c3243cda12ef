// Calendar dates and the day arithmetic on them: the log's retention and the journal's both count
// days between dated file names, so the arithmetic stands below both, with no library state.
#pragma once

struct LogDate {
  int iYear;
  int iMonth;  // 1..12
  int iDay;    // 1..31
};

bool IsLeapYear(int year);
// Days in month `month` (1..12) of `year`; 0 for a month out of range.
int DaysInMonth(int year, int month);
// Days in the months of the date's year before its month (0 for January).
int DaysBeforeMonth(const LogDate& date);
// Calendar days between two dates, never negative.
int DaysBetween(const LogDate& a, const LogDate& b);
