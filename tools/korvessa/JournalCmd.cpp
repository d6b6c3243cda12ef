// "korvessa journal": the day's journal as one line per transaction, and the transactions in doubt.

#include "JournalCmd.h"

#include <sys/stat.h>

#include <cerrno>
#include <ctime>
#include <map>
#include <sstream>

#include "FileText.h"
#include "Records.h"

namespace korvessa {

namespace {

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> cols;
  size_t c = 0;
  for (;;) {
    const size_t t = line.find('\t', c);
    cols.push_back(line.substr(c, t == std::string::npos ? std::string::npos : t - c));
    if (t == std::string::npos) return cols;
    c = t + 1;
  }
}

bool IsFinal(const std::string& e) {
  return e == "APPROVED" || e == "REFUSED" || e == "NOT-SENT" || e == "UNCERTAIN";
}

bool IsDay(const std::string& d) {
  if (d.size() != 8) return false;
  for (char c : d)
    if (c < '0' || c > '9') return false;
  const int m = std::stoi(d.substr(4, 2)), dd = std::stoi(d.substr(6, 2));
  return m >= 1 && m <= 12 && dd >= 1 && dd <= 31;
}

const char kUsage[] =
    "usage: korvessa journal [--day YYYYMMDD] [--dir FOLDER] [--uncertain]\n"
    "       korvessa journal --totals [--from YYYYMMDD] [--to YYYYMMDD] [--dir FOLDER] [--csv | --json]\n"
    "  --day YYYYMMDD   the day to list (default: today)\n"
    "  --dir FOLDER     the journal folder (default: Journal beside the library)\n"
    "  --uncertain      only the transactions left in doubt; exit status 1 when there are any\n"
    "  --totals         per transaction type: count and sum of the amounts approved, refused, not sent and\n"
    "                   uncertain, and the grand totals; --from and --to give a range of days (default: "
    "--day)\n"
    "  --csv, --json    instead: one row (one object) per transaction with its final outcome, amounts in\n"
    "                   minor units\n";

// The longest range --totals reads (days).
const int kMaxDays = 3660;

// YYYYMMDD moved by delta days; "" when it does not convert.
std::string AddDays(const std::string& day, int delta) {
  struct tm t = {};
  t.tm_year = std::stoi(day.substr(0, 4)) - 1900;
  t.tm_mon = std::stoi(day.substr(4, 2)) - 1;
  t.tm_mday = std::stoi(day.substr(6, 2)) + delta;
  t.tm_hour = 12;  // clear of any daylight-saving step
  t.tm_isdst = -1;
  if (mktime(&t) == static_cast<time_t>(-1)) return "";
  char out[16];
  strftime(out, sizeof out, "%Y%m%d", &t);
  return out;
}

// The day of a transaction: that of its first line, YYYYMMDD.
std::string DayOf(const JournalTrans& t) {
  return t.time.size() >= 10 ? t.time.substr(0, 4) + t.time.substr(5, 2) + t.time.substr(8, 2) : "";
}

bool MinorUnits(const std::string& amount, unsigned long long* out) {
  *out = 0;
  if (amount.size() != 12) return false;
  for (char c : amount) {
    if (c < '0' || c > '9') return false;
    *out = *out * 10 + static_cast<unsigned long long>(c - '0');
  }
  return true;
}

std::string Units(unsigned long long minor) {
  char cents[4];
  snprintf(cents, sizeof cents, "%02u", static_cast<unsigned>(minor % 100));
  return std::to_string(minor / 100) + "." + cents;
}

std::string CsvCell(const std::string& v) {
  if (v.find_first_of(",\"\r\n") == std::string::npos) return v;
  std::string o = "\"";
  for (char c : v) o += c == '"' ? std::string("\"\"") : std::string(1, c);
  return o + "\"";
}

// Reads the journal files of the days first..last into text; false (message in *why) on a file that
// exists and cannot be read.
bool ReadDays(const std::string& dir, const std::string& first, const std::string& last, std::string* text,
              std::string* why) {
  for (std::string d = first; !d.empty() && d <= last; d = AddDays(d, 1)) {
    const std::string path = dir + "/Journal" + d + ".txt";
    struct stat st;
    if (stat(path.c_str(), &st) != 0 && errno == ENOENT) continue;
    std::string day;
    if (!ReadWholeFile(path, &day)) {
      *why = "cannot read " + path;
      return false;
    }
    *text += day;
    if (!text->empty() && text->back() != '\n') *text += "\r\n";
  }
  return true;
}

int TotalsCommand(const std::string& dir, const std::string& from, const std::string& to,
                  const std::string& format, FILE* out, FILE* err) {
  // A day's transactions are those whose first line is that day; their final events may lie in the
  // next day's file (a transaction across midnight), and a file's first final events may belong to a
  // SENT of the day before: both neighbours are read and paired too.
  std::string text, why;
  if (!ReadDays(dir, AddDays(from, -1), AddDays(to, 1), &text, &why)) {
    fprintf(err, "korvessa journal: %s\n", why.c_str());
    return 3;
  }
  int badLines = 0, badAmounts = 0;
  std::vector<JournalTrans> all;
  for (const JournalTrans& t : ParseJournal(text, &badLines)) {
    const std::string d = DayOf(t);
    if (d >= from && d <= to) all.push_back(t);
  }
  TypeTotals grand;
  const auto perType = DayTotals(all, &grand, &badAmounts);
  if (format == "csv") {
    fputs("day,time,id,register,trace,type,amount,outcome,result,code,posTrace,ref\r\n", out);
    for (const JournalTrans& t : all) {
      unsigned long long minor;
      MinorUnits(t.amount, &minor);
      const std::string cells[] = {
          DayOf(t),     t.time,   t.id,      t.reg,      t.trace, t.type, std::to_string(minor),
          OutcomeOf(t), t.result, t.retCode, t.posTrace, t.ref};
      std::string row;
      for (const std::string& c : cells) row += (row.empty() ? "" : ",") + CsvCell(c);
      fprintf(out, "%s\r\n", row.c_str());
    }
  } else if (format == "json") {
    fputs("[\n", out);
    for (size_t i = 0; i < all.size(); ++i) {
      const JournalTrans& t = all[i];
      unsigned long long minor;
      MinorUnits(t.amount, &minor);
      std::string o = "{\"day\":";
      JsonString(&o, DayOf(t));
      const std::pair<const char*, const std::string*> texts[] = {
          {"time", &t.time}, {"id", &t.id}, {"register", &t.reg}, {"trace", &t.trace}, {"type", &t.type}};
      for (const auto& p : texts) {
        o += std::string(",\"") + p.first + "\":";
        JsonString(&o, *p.second);
      }
      o += ",\"amount\":" + std::to_string(minor) + ",\"outcome\":";
      JsonString(&o, OutcomeOf(t));
      const std::pair<const char*, const std::string*> tail[] = {
          {"result", &t.result}, {"code", &t.retCode}, {"posTrace", &t.posTrace}, {"ref", &t.ref}};
      for (const auto& p : tail) {
        o += std::string(",\"") + p.first + "\":";
        JsonString(&o, *p.second);
      }
      fprintf(out, "%s}%s\n", o.c_str(), i + 1 < all.size() ? "," : "");
    }
    fputs("]\n", out);
  } else {
    fprintf(out, "Day totals %s to %s (%s), amounts in units:\n", from.c_str(), to.c_str(), dir.c_str());
    fprintf(out, "%-6s %20s %20s %20s %20s\n", "type", "approved", "refused", "not sent", "uncertain");
    auto row = [out](const std::string& name, const TypeTotals& t) {
      const OutcomeSum* cells[] = {&t.approved, &t.refused, &t.notSent, &t.uncertain};
      fprintf(out, "%-6s", name.c_str());
      for (const OutcomeSum* c : cells) fprintf(out, " %5lld %14s", c->count, Units(c->minor).c_str());
      fputc('\n', out);
    };
    for (const auto& p : perType) row(p.first, p.second);
    row("all", grand);
    fprintf(
        out, "%zu transaction(s), %lld in doubt%s.\n", all.size(), grand.uncertain.count,
        grand.uncertain.count ? " (korvessa journal --uncertain --day ...; reconcile with the bank)" : "");
  }
  if (badLines)
    fprintf(err, "korvessa journal: %d line(s) that are not journal lines were skipped\n", badLines);
  if (badAmounts)
    fprintf(err, "korvessa journal: %d amount(s) that are not 12 digits counted as 0\n", badAmounts);
  return 0;
}

}  // namespace

std::vector<JournalTrans> ParseJournal(const std::string& text, int* bad) {
  std::vector<JournalTrans> all;
  std::vector<size_t> open;  // transactions with a SENT and no final event yet
  if (bad) *bad = 0;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const std::vector<std::string> c = SplitTabs(line);
    const bool sent = c.size() == 7 && c[6] == "SENT";
    if (!sent && !(c.size() == 11 && IsFinal(c[6]))) {
      if (bad) ++*bad;
      continue;
    }
    if (!sent) {
      bool joined = false;
      for (size_t k = open.size(); k-- > 0;) {
        JournalTrans& t = all[open[k]];
        if (t.id == c[1] && t.reg == c[2] && t.trace == c[3] && t.type == c[4] && t.amount == c[5]) {
          t.event = c[6];
          t.retCode = c[7];
          t.posTrace = c[8];
          t.ref = c[9];
          t.result = c[10];
          open.erase(open.begin() + static_cast<long>(k));
          joined = true;
          break;
        }
      }
      if (joined) continue;
    }
    JournalTrans t;
    t.time = c[0];
    t.id = c[1];
    t.reg = c[2];
    t.trace = c[3];
    t.type = c[4];
    t.amount = c[5];
    t.sent = sent;
    if (!sent) {
      t.event = c[6];
      t.retCode = c[7];
      t.posTrace = c[8];
      t.ref = c[9];
      t.result = c[10];
    } else {
      open.push_back(all.size());
    }
    all.push_back(t);
  }
  return all;
}

std::string OutcomeOf(const JournalTrans& t) {
  if (t.event == "APPROVED") return "approved";
  if (t.event == "REFUSED") return "refused";
  if (t.event == "NOT-SENT") return "not-sent";
  return "uncertain";  // UNCERTAIN, or a SENT whose process ended before its final event
}

OutcomeSum& TypeTotals::Of(const std::string& outcome) {
  return outcome == "approved"   ? approved
         : outcome == "refused"  ? refused
         : outcome == "not-sent" ? notSent
                                 : uncertain;
}

std::vector<std::pair<std::string, TypeTotals>> DayTotals(const std::vector<JournalTrans>& all,
                                                          TypeTotals* grand, int* bad) {
  std::map<std::string, TypeTotals> byType;
  if (bad) *bad = 0;
  for (const JournalTrans& t : all) {
    unsigned long long minor;
    if (!MinorUnits(t.amount, &minor) && bad) ++*bad;
    const std::string o = OutcomeOf(t);
    for (OutcomeSum* s : {&byType[t.type].Of(o), &grand->Of(o)}) {
      ++s->count;
      s->minor += minor;
    }
  }
  return std::vector<std::pair<std::string, TypeTotals>>(byType.begin(), byType.end());
}

int JournalCommand(const std::vector<std::string>& args, const std::string& defaultDir, FILE* out,
                   FILE* err) {
  std::string day = JournalToday(), dir = defaultDir, from, to, format;
  bool onlyDoubt = false, totals = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool valued = a == "--day" || a == "--dir" || a == "--from" || a == "--to";
    if (a == "--help" || a == "-h") {
      fputs(kUsage, out);
      return 0;
    } else if (a == "--uncertain") {
      onlyDoubt = true;
    } else if (a == "--totals") {
      totals = true;
    } else if (a == "--csv" || a == "--json") {
      format = a.substr(2);
    } else if (valued && i + 1 < args.size()) {
      (a == "--day" ? day : a == "--dir" ? dir : a == "--from" ? from : to) = args[++i];
    } else {
      fprintf(err, "korvessa journal: %s\n%s",
              valued ? (a + " needs a value").c_str() : ("unknown option " + a).c_str(), kUsage);
      return 3;
    }
  }
  if (!totals && (!from.empty() || !to.empty() || !format.empty())) {
    fprintf(err, "korvessa journal: --from, --to, --csv and --json go with --totals\n%s", kUsage);
    return 3;
  }
  if (from.empty()) from = to.empty() ? day : to;
  if (to.empty()) to = from;
  for (const std::string* d : {&day, &from, &to}) {
    if (!IsDay(*d) || AddDays(*d, 0) != *d) {
      fprintf(err, "korvessa journal: bad day %s (YYYYMMDD)\n", d->c_str());
      return 3;
    }
  }
  if (totals) {
    if (from > to || AddDays(from, kMaxDays) < to) {
      fprintf(err, "korvessa journal: --from %s to --to %s is not a range of at most %d days\n", from.c_str(),
              to.c_str(), kMaxDays);
      return 3;
    }
    return TotalsCommand(dir, from, to, format, out, err);
  }
  const std::string path = dir + "/Journal" + day + ".txt";
  struct stat st;
  if (stat(path.c_str(), &st) != 0 && errno == ENOENT) {
    fprintf(out, "No journal for %s in %s: no transaction that day.\n", day.c_str(), dir.c_str());
    return 0;
  }
  std::string text;
  if (!ReadWholeFile(path, &text)) {
    fprintf(err, "korvessa journal: cannot read %s\n", path.c_str());
    return 3;
  }
  int bad = 0;
  const std::vector<JournalTrans> all = ParseJournal(text, &bad);
  int doubt = 0;
  for (const JournalTrans& t : all) {
    if (t.InDoubt()) ++doubt;
    if (onlyDoubt && !t.InDoubt()) continue;
    const std::string outcome =
        t.event.empty() ? "UNCERTAIN (sent, no final event: the program ended)" : t.event;
    fprintf(out, "%s  id=%-6s register=%s trace=%s type=%s amount=%s  %s", t.time.c_str(), t.id.c_str(),
            t.reg.c_str(), t.trace.c_str(), t.type.c_str(), t.amount.c_str(), outcome.c_str());
    if (!t.event.empty()) {
      fprintf(out, " result=%s", t.result.c_str());
      if (!t.retCode.empty()) fprintf(out, " code=%s", t.retCode.c_str());
      if (!t.posTrace.empty()) fprintf(out, " posTrace=%s", t.posTrace.c_str());
      if (!t.ref.empty()) fprintf(out, " ref=%s", t.ref.c_str());
    }
    fputc('\n', out);
  }
  fprintf(out, "%s: %zu transaction(s), %d in doubt%s.\n", path.c_str(), all.size(), doubt,
          doubt ? " (ask the terminal for its last transaction, or reconcile with the bank)" : "");
  if (bad) fprintf(err, "korvessa journal: %d line(s) that are not journal lines were skipped\n", bad);
  return onlyDoubt && doubt > 0 ? 1 : 0;
}

std::string JournalToday() {
  char day[16];
  const time_t now = time(nullptr);
  struct tm t;
#ifdef _WIN32
  localtime_s(&t, &now);
#else
  localtime_r(&now, &t);
#endif
  strftime(day, sizeof day, "%Y%m%d", &t);
  return day;
}

}  // namespace korvessa
