// Removal of log files more than six days old.
#include "log/Retention.h"

#include <cstdio>
#include <cstring>

#include "base/PathUtil.h"

namespace {

// Files whose date lies further than this from today are removed.
constexpr int kKeepDays = 6;

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
  if (d.iDay > DaysInMonth(d.iYear, d.iMonth)) return false;
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
