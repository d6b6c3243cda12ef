// "korvessa journal": the day's journal as one line per transaction, and the transactions in doubt.

#include "JournalCmd.h"

#include <sys/stat.h>

#include <cerrno>
#include <ctime>
#include <fstream>
#include <sstream>

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

std::string Today() {
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

bool IsDay(const std::string& d) {
  if (d.size() != 8) return false;
  for (char c : d)
    if (c < '0' || c > '9') return false;
  const int m = std::stoi(d.substr(4, 2)), dd = std::stoi(d.substr(6, 2));
  return m >= 1 && m <= 12 && dd >= 1 && dd <= 31;
}

const char kUsage[] =
    "usage: korvessa journal [--day YYYYMMDD] [--dir FOLDER] [--uncertain]\n"
    "  --day YYYYMMDD   the day to list (default: today)\n"
    "  --dir FOLDER     the journal folder (default: Journal beside the library)\n"
    "  --uncertain      only the transactions left in doubt; exit status 1 when there are any\n";

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

int JournalCommand(const std::vector<std::string>& args, const std::string& defaultDir, FILE* out,
                   FILE* err) {
  std::string day = Today(), dir = defaultDir;
  bool onlyDoubt = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      fputs(kUsage, out);
      return 0;
    } else if (a == "--uncertain") {
      onlyDoubt = true;
    } else if ((a == "--day" || a == "--dir") && i + 1 < args.size()) {
      (a == "--day" ? day : dir) = args[++i];
    } else {
      fprintf(err, "korvessa journal: %s\n%s",
              a == "--day" || a == "--dir" ? (a + " needs a value").c_str() : ("unknown option " + a).c_str(),
              kUsage);
      return 3;
    }
  }
  if (!IsDay(day)) {
    fprintf(err, "korvessa journal: bad day %s (YYYYMMDD)\n", day.c_str());
    return 3;
  }
  const std::string path = dir + "/Journal" + day + ".txt";
  struct stat st;
  if (stat(path.c_str(), &st) != 0 && errno == ENOENT) {
    fprintf(out, "No journal for %s in %s: no transaction that day.\n", day.c_str(), dir.c_str());
    return 0;
  }
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    fprintf(err, "korvessa journal: cannot read %s\n", path.c_str());
    return 3;
  }
  std::ostringstream ss;
  ss << f.rdbuf();
  int bad = 0;
  const std::vector<JournalTrans> all = ParseJournal(ss.str(), &bad);
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

}  // namespace korvessa
