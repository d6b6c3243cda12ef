// Day arithmetic on calendar dates (proleptic Gregorian), bounded for any input.
#include "base/CalendarDate.h"

namespace {

const int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

int YearDays(int year) { return IsLeapYear(year) ? 366 : 365; }

int DayOfYear(const LogDate& d) { return DaysBeforeMonth(d) + d.iDay; }

long long FloorDiv(long long a, long long b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

// Leap years from year 1 up to and including `year` (continued below year 1).
long long LeapYearsUpTo(long long year) {
  return FloorDiv(year, 4) - FloorDiv(year, 100) + FloorDiv(year, 400);
}

}  // namespace

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  if (month < 1 || month > 12) return 0;
  return kMonthDays[month - 1] + ((month == 2 && IsLeapYear(year)) ? 1 : 0);
}

int DaysBeforeMonth(const LogDate& date) {
  int days = 0;
  for (int m = 1; m < date.iMonth && m <= 12; ++m) days += DaysInMonth(date.iYear, m);
  return days;
}

int DaysBetween(const LogDate& a, const LogDate& b) {
  long long days;
  if (a.iYear == b.iYear && a.iMonth == b.iMonth) {
    days = static_cast<long long>(a.iDay) - b.iDay;
  } else if (a.iYear == b.iYear) {
    days = static_cast<long long>(DayOfYear(a)) - DayOfYear(b);
  } else {
    const LogDate& e = a.iYear < b.iYear ? a : b;
    const LogDate& l = a.iYear < b.iYear ? b : a;
    // Whole years strictly between the two, leap days counted.
    const long long between = static_cast<long long>(l.iYear) - e.iYear - 1;
    const long long leaps = LeapYearsUpTo(static_cast<long long>(l.iYear) - 1) - LeapYearsUpTo(e.iYear);
    days = YearDays(e.iYear) - DayOfYear(e) + 365 * between + leaps + DayOfYear(l);
  }
  if (days < 0) days = -days;
  return days > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(days);
}
