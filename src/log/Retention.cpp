// Removal of log files more than six days old.
#include "log/Retention.h"

#include <cstdio>
#include <cstring>

#include "base/PathUtil.h"

namespace {

const int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
// Files whose date lies further than this from today are removed.
constexpr int kKeepDays = 6;

int YearDays(int year) { return IsLeapYear(year) ? 366 : 365; }

int DayOfYear(const LogDate& d) { return DaysBeforeMonth(d) + d.iDay; }

long long FloorDiv(long long a, long long b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

// Leap years from year 1 up to and including `year` (continued below year 1).
long long LeapYearsUpTo(long long year) {
  return FloorDiv(year, 4) - FloorDiv(year, 100) + FloorDiv(year, 400);
}

struct RemoveContext {
  const char* folder;
  bool addSeparator;
  LogDate today;
};

void ConsiderFile(const char* name, void* ctx) {
  const RemoveContext* rc = static_cast<const RemoveContext*>(ctx);
  LogDate date;
  if (!ParseLogFileDate(name, &date)) return;  // not a dated log: left alone
  if (DaysBetween(rc->today, date) <= kKeepDays) return;
  char path[kKvPathSize];
  const int n = std::snprintf(path, sizeof(path), "%s%s%s", rc->folder, rc->addSeparator ? "\\" : "", name);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(path)) return;
  KvRemoveFile(path);  // a file that cannot be removed is passed over
}

}  // namespace

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysBeforeMonth(const LogDate& date) {
  int days = 0;
  for (int m = 1; m < date.iMonth && m <= 12; ++m) {
    days += kMonthDays[m - 1];
    if (m == 2 && IsLeapYear(date.iYear)) ++days;
  }
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

bool ParseLogFileDate(const char* name, LogDate* date) {
  static const char kPrefix[] = "ErrorLog";
  if (name == nullptr || date == nullptr) return false;
  for (size_t i = 0; i < sizeof(kPrefix) - 1; ++i) {
    const char c = name[i];
    const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    const char want = kPrefix[i];
    const char wantLower = (want >= 'A' && want <= 'Z') ? static_cast<char>(want - 'A' + 'a') : want;
    if (lower != wantLower) return false;
  }
  const char* digits = name + sizeof(kPrefix) - 1;
  int value[3] = {0, 0, 0};
  const int widths[3] = {4, 2, 2};
  for (int f = 0, pos = 0; f < 3; ++f) {
    for (int k = 0; k < widths[f]; ++k, ++pos) {
      if (digits[pos] < '0' || digits[pos] > '9') return false;
      value[f] = value[f] * 10 + (digits[pos] - '0');
    }
  }
  LogDate d{value[0], value[1], value[2]};
  if (d.iYear < 1 || d.iMonth < 1 || d.iMonth > 12 || d.iDay < 1) return false;
  const int monthDays = kMonthDays[d.iMonth - 1] + ((d.iMonth == 2 && IsLeapYear(d.iYear)) ? 1 : 0);
  if (d.iDay > monthDays) return false;
  *date = d;
  return true;
}

void DeleteOldLogsIn(const char* folder, const LogDate& today) {
  if (folder == nullptr) return;
  const size_t len = std::strlen(folder);
  RemoveContext rc{folder, len > 0 && folder[len - 1] != '\\' && folder[len - 1] != '/', today};
  KvListDir(folder, "ErrorLog*.log", ConsiderFile, &rc);
}

void DeleteOldLogs() {
  char date[20];
  FormatNow(date, sizeof(date), "YYYYMMDD");
  LogDate today{0, 0, 0};
  if (std::sscanf(date, "%4d%2d%2d", &today.iYear, &today.iMonth, &today.iDay) != 3) return;
  // The folder the writer uses: "Log\" beside the library. Looking in "Log\" under the current
  // directory instead would leave the library's own files to grow without end whenever the
  // application runs elsewhere, and would remove files of whatever else keeps a log folder there.
  char folder[kKvPathSize];
  GetModuleDir(folder, sizeof(folder));
  const size_t len = std::strlen(folder);
  static const char kLogFolder[] = "Log\\";
  if (len + sizeof(kLogFolder) > sizeof(folder)) return;
  std::memcpy(folder + len, kLogFolder, sizeof(kLogFolder));
  DeleteOldLogsIn(folder, today);
}
