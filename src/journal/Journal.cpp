// The transaction journal: outcome of a result, line layout, the day's file written through to the
// disk, and the removal of old files.

#include "journal/Journal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "KorvessaDLL.h"
#include "config/Config.h"
#include "log/Log.h"
#include "platform/platform_fs.h"

namespace {

// Request record fields the journal keeps (offset, width). The card number is never among them.
struct RecordField {
  int offset;
  int width;
};
const RecordField kRequestFields[] = {
    {KV_REQ_cashRegisterNo, KV_REQ_cashRegisterNo_LEN},
    {KV_REQ_cashTraceNumber, KV_REQ_cashTraceNumber_LEN},
    {KV_REQ_transType, KV_REQ_transType_LEN},
    {KV_REQ_amount, KV_REQ_amount_LEN},
};
// Response record fields of a final event.
const RecordField kRetCode = {KV_RSP_rejCode, KV_RSP_rejCode_LEN};
const RecordField kPosTrace = {KV_RSP_posTraceNumber, KV_RSP_posTraceNumber_LEN};
const RecordField kHostRef = {KV_RSP_hostserialNumber, KV_RSP_hostserialNumber_LEN};

bool AppendText(char* out, size_t size, const char* text) {
  const size_t used = strlen(out);
  const size_t n = strlen(text);
  if (used + n + 1 > size) return false;
  memcpy(out + used, text, n + 1);
  return true;
}

}  // namespace

JournalOutcome OutcomeOf(int result, bool requestWritten) {
  if (result == KORVESSA_OK) return JournalOutcome::kApproved;
  if (result > 0) return requestWritten ? JournalOutcome::kRefused : JournalOutcome::kNotSent;
  // A request frame that did not go out whole is not taken by a terminal; any other failure after the
  // request went out (no answer in time, or a failure with no answer seen) leaves the payment in doubt.
  if (requestWritten && result != KORVESSA_ERR_WRITE) return JournalOutcome::kUncertain;
  return JournalOutcome::kNotSent;
}

const char* JournalEventName(JournalOutcome outcome) {
  switch (outcome) {
    case JournalOutcome::kApproved:
      return "APPROVED";
    case JournalOutcome::kRefused:
      return "REFUSED";
    case JournalOutcome::kNotSent:
      return "NOT-SENT";
    case JournalOutcome::kUncertain:
      return "UNCERTAIN";
    default:
      return "";
  }
}

const char* JournalOutcomeText(JournalOutcome outcome) {
  switch (outcome) {
    case JournalOutcome::kApproved:
      return "approved";
    case JournalOutcome::kRefused:
      return "refused";
    case JournalOutcome::kNotSent:
      return "not-sent";
    case JournalOutcome::kUncertain:
      return "uncertain";
    default:
      return "";
  }
}

bool JournalEscape(const char* field, size_t n, char* out, size_t size) {
  while (n > 0 && field[n - 1] == ' ') --n;
  char text[4 * 32 + 1];
  if (n > 32) return false;
  size_t k = 0;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(field[i]);
    if (c < 0x20 || c > 0x7E || c == '\\') {
      snprintf(text + k, sizeof(text) - k, "\\x%02X", c);
      k += 4;
    } else {
      text[k++] = static_cast<char>(c);
    }
  }
  text[k] = '\0';
  return AppendText(out, size, text);
}

bool JournalEnabled() {
  char path[kKvPathSize];
  GetConfigFile(path, sizeof(path));
  return GetPrivateProfileIntA("JOURNAL", "Enabled", 1, path) != 0;
}

int JournalDays() {
  char path[kKvPathSize];
  GetConfigFile(path, sizeof(path));
  return static_cast<int>(GetPrivateProfileIntA("JOURNAL", "Days", 90, path));
}

void GetJournalDir(char* out, size_t size) {
  if (out == nullptr || size == 0) return;
  char dir[kKvPathSize];
  GetModuleDir(dir, sizeof(dir));
  const int n = snprintf(out, size, "%sJournal%s", dir, KV_PATH_SEP_STR);
  if (n < 0 || static_cast<size_t>(n) >= size) out[0] = '\0';
}

bool ParseJournalFileDate(const char* name, LogDate* date) {
  static const char kPrefix[] = "Journal";
  const size_t p = sizeof(kPrefix) - 1;
  if (name == nullptr || date == nullptr || strncmp(name, kPrefix, p) != 0) return false;
  for (size_t i = 0; i < 8; ++i) {
    if (name[p + i] < '0' || name[p + i] > '9') return false;
  }
  if (strcmp(name + p + 8, ".txt") != 0) return false;
  char part[5] = {0};
  memcpy(part, name + p, 4);
  date->iYear = atoi(part);
  part[2] = '\0';
  memcpy(part, name + p + 4, 2);
  date->iMonth = atoi(part);
  memcpy(part, name + p + 6, 2);
  date->iDay = atoi(part);
  return date->iMonth >= 1 && date->iMonth <= 12 && date->iDay >= 1 && date->iDay <= 31;
}

namespace {

// Dates as one number, YYYYMMDD, so that they compare in calendar order.
long DateKey(const LogDate& d) { return d.iYear * 10000L + d.iMonth * 100L + d.iDay; }

struct RetentionScan {
  const char* folder;
  LogDate today;
  int days;
  std::vector<long> dates;  // every dated file
  bool failed = false;      // out of memory: nothing is removed
};

void CollectDate(const char* name, void* ctx) {
  RetentionScan* scan = static_cast<RetentionScan*>(ctx);
  LogDate date;
  if (scan->failed || !ParseJournalFileDate(name, &date)) return;
  try {
    scan->dates.push_back(DateKey(date));
  } catch (...) {
    scan->failed = true;
  }
}

// `newest`: the date of the `days`-th newest file (0 when there are fewer files).
struct RemoveRun {
  const RetentionScan* scan;
  long newest;
};

void RemoveIfOld(const char* name, void* ctx) {
  const RemoveRun* run = static_cast<const RemoveRun*>(ctx);
  const RetentionScan* scan = run->scan;
  LogDate date;
  if (!ParseJournalFileDate(name, &date)) return;
  const long key = DateKey(date);
  if (key >= run->newest || key > DateKey(scan->today) || DaysBetween(scan->today, date) <= scan->days)
    return;
  char path[kKvPathSize];
  const int n = snprintf(path, sizeof(path), "%s%s", scan->folder, name);
  if (n > 0 && static_cast<size_t>(n) < sizeof(path)) KvRemoveFile(path);
}

JournalClockFn g_pfnClock = nullptr;

void JournalNow(SYSTEMTIME* now) {
  if (g_pfnClock != nullptr) {
    g_pfnClock(now);
  } else {
    GetLocalTime(now);
  }
}

}  // namespace

void DeleteOldJournals(const char* folder, const LogDate& today, int days) {
  if (folder == nullptr || days < 1) return;
  RetentionScan scan{folder, today, days, {}, false};
  if (KvListDir(folder, "Journal*.txt", CollectDate, &scan) < 0 || scan.failed || scan.dates.empty()) return;
  std::sort(scan.dates.begin(), scan.dates.end(), std::greater<long>());
  if (scan.dates.front() > DateKey(today)) return;  // the clock is behind the files: it is wrong
  const size_t keep = static_cast<size_t>(days);
  RemoveRun run{&scan, keep <= scan.dates.size() ? scan.dates[keep - 1] : 0};
  if (run.newest == 0) return;  // no more than `days` files: every one is among the newest
  KvListDir(folder, "Journal*.txt", RemoveIfOld, &run);
}

void SetJournalClock(JournalClockFn clock) { g_pfnClock = clock; }

const char* JournalStateText(JournalState state) {
  switch (state) {
    case JournalState::kOk:
      return "ok";
    case JournalState::kFailed:
      return "failed";
    case JournalState::kOff:
      return "off";
    default:
      return "";
  }
}

// ------------------------------------------------------------------ one call

TransJournal::TransJournal(const char* request) : m_bActive(request != nullptr) {
  if (!m_bActive) return;
  for (size_t i = 0; i < sizeof(kRequestFields) / sizeof(kRequestFields[0]); ++i) {
    if (i > 0) AppendText(m_szFields, sizeof(m_szFields), "\t");
    JournalEscape(request + kRequestFields[i].offset, static_cast<size_t>(kRequestFields[i].width),
                  m_szFields, sizeof(m_szFields));
  }
}

void TransJournal::SetTransId(const char* id) {
  m_szId[0] = '\0';
  if (id != nullptr) JournalEscape(id, strnlen(id, 6), m_szId, sizeof(m_szId));
}

void TransJournal::BeforeWrite() {
  if (!m_bArmed) return;
  m_bArmed = false;
  m_bWritten = true;
  WriteEvent("SENT", "", true);
}

JournalOutcome TransJournal::Finish(int result, const char* response) {
  const JournalOutcome outcome = OutcomeOf(result, m_bWritten);
  if (m_bFinished) return outcome;
  m_bFinished = true;
  char tail[kJournalLineSize / 2] = {0};
  // The response record holds this transaction's answer only when the terminal answered the request.
  const bool answered = response != nullptr && m_bWritten && result >= 0;
  if (answered) {
    JournalEscape(response + kRetCode.offset, kRetCode.width, tail, sizeof(tail));
  } else if (result > 0) {
    // A refused handshake: its return code, first character in the low byte.
    const char code[2] = {static_cast<char>(result & 0xFF), static_cast<char>((result >> 8) & 0xFF)};
    JournalEscape(code, 2, tail, sizeof(tail));
  }
  AppendText(tail, sizeof(tail), "\t");
  if (answered) JournalEscape(response + kPosTrace.offset, kPosTrace.width, tail, sizeof(tail));
  AppendText(tail, sizeof(tail), "\t");
  if (answered) JournalEscape(response + kHostRef.offset, kHostRef.width, tail, sizeof(tail));
  char number[16];
  snprintf(number, sizeof(number), "\t%d", result);
  AppendText(tail, sizeof(tail), number);
  WriteEvent(JournalEventName(outcome), tail, false);
  return outcome;
}

JournalState TransJournal::State() const {
  if (!m_bActive) return JournalState::kNone;
  if (m_bFailLogged) return JournalState::kFailed;
  return m_bOff ? JournalState::kOff : JournalState::kOk;
}

void TransJournal::WriteEvent(const char* event, const char* tail, bool bSent) {
  if (!m_bActive) return;
  if (!JournalEnabled()) {
    m_bOff = true;
    return;
  }
  SYSTEMTIME t;
  JournalNow(&t);
  char line[kJournalLineSize];
  const int n = snprintf(line, sizeof(line), "%04u-%02u-%02u %02u:%02u:%02u.%03u\t%s\t%s\t%s%s%s\r\n",
                         t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, m_szId,
                         m_szFields, event, tail[0] != '\0' ? "\t" : "", tail);
  char today[sizeof(m_szSentDay)];
  snprintf(today, sizeof(today), "%04u%02u%02u", t.wYear % 10000u, t.wMonth % 100u, t.wDay % 100u);
  // The transaction belongs to the day its request was sent: the final event joins SENT's file.
  if (bSent) memcpy(m_szSentDay, today, sizeof(today));
  const char* day = m_szSentDay[0] != '\0' ? m_szSentDay : today;
  char dir[kKvPathSize];
  GetJournalDir(dir, sizeof(dir));
  char path[kKvPathSize] = {0};
  bool ok = n > 0 && static_cast<size_t>(n) < sizeof(line) && dir[0] != '\0';
  if (ok) {
    const int m = snprintf(path, sizeof(path), "%sJournal%s.txt", dir, day);
    ok = m > 0 && static_cast<size_t>(m) < sizeof(path);
  }
  int err = 0;
  if (ok) {
    CreateDirs(dir);
    const bool created = !KvFileExists(path);
    if (created && strcmp(day, today) == 0) {
      const LogDate date{t.wYear, t.wMonth, t.wDay};
      DeleteOldJournals(dir, date, JournalDays());
    }
    errno = 0;
    FILE* fp = KvFopen(path, "ab");
    ok = fp != nullptr;
    if (ok) {
      ok = fwrite(line, 1, static_cast<size_t>(n), fp) == static_cast<size_t>(n);
      ok = KvSyncFile(fp) && ok;
      if (!ok) err = errno;
      ok = fclose(fp) == 0 && ok;
    }
    // A new file's name is on the disk only once its folder is: a power cut must not lose the day's
    // first SENT.
    if (ok && created) ok = KvSyncDir(dir);
    if (!ok && err == 0) err = errno;
  }
  if (!ok && !m_bFailLogged) {
    m_bFailLogged = true;
    WriteLog(KV_HERE, LOG_FATAL, "Failed to write the journal.(%s)(%s)", path[0] != '\0' ? path : dir,
             err != 0 ? strerror(err) : "?");
  }
}
