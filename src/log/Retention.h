// Removal of old log files: the files of today and the six days before remain.
#pragma once

struct LogDate {
  int iYear;
  int iMonth;  // 1..12
  int iDay;    // 1..31
};

bool IsLeapYear(int year);
// Days in the months of the date's year before its month (0 for January).
int DaysBeforeMonth(const LogDate& date);
// Calendar days between two dates, never negative.
int DaysBetween(const LogDate& a, const LogDate& b);

// Reads the date from a bare log file name "ErrorLogYYYYMMDD.log". False when the
// eight characters after "ErrorLog" are not a valid date.
bool ParseLogFileDate(const char* name, LogDate* date);

// Removes every "ErrorLog*.log" in folder `folder` whose date lies more than six days
// from `today` (either way). Names that carry no date are left alone.
void DeleteOldLogsIn(const char* folder, const LogDate& today);

// DeleteOldLogsIn on the folder the log writer uses ("Log\" beside the library), for today.
void DeleteOldLogs();
