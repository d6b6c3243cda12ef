// "korvessa log": the command line, reading the files, and the two outputs (text, JSON lines).
#include "LogCmd.h"

#include <fstream>
#include <sstream>

#include "Records.h"

namespace korvessa {

namespace {

const char kUsage[] =
    "usage: korvessa log [--json] [--config Config.ini] FILE...\n"
    "  FILE             the library's logs (Log/ErrorLogYYYYMMDD.log, GBK), read in the order given\n"
    "  --config FILE    explain return codes with this Config.ini's REEOR_INFORMITION\n"
    "  --json           one JSON object per transaction\n";

}  // namespace

int LogCommand(const std::vector<std::string>& args, FILE* out, FILE* err) {
  bool json = false;
  std::string ini;
  std::vector<std::string> files;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      fputs(kUsage, out);
      return 0;
    } else if (a == "--json") {
      json = true;
    } else if (a == "--config" && i + 1 < args.size()) {
      ini = args[++i];
    } else if (!a.empty() && a[0] == '-') {
      fprintf(err, "korvessa log: %s\n%s",
              a == "--config" ? "--config needs a value" : ("unknown option " + a).c_str(), kUsage);
      return 3;
    } else {
      files.push_back(a);
    }
  }
  if (files.empty()) {
    fprintf(err, "korvessa log: no log file given\n%s", kUsage);
    return 3;
  }
  std::vector<LogEntry> entries;
  for (const std::string& f : files) {
    std::ifstream in(f, std::ios::binary);
    if (!in) {
      fprintf(err, "korvessa log: cannot read %s\n", f.c_str());
      return 3;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    const std::vector<LogEntry> e = ParseLog(ss.str(), f);
    entries.insert(entries.end(), e.begin(), e.end());
  }
  const int level = LogLevelOf(entries);
  const std::vector<LogTransaction> all = BuildTimeline(entries, ini);
  if (!json) fprintf(out, "Log written at %s.\n", LevelNote(level).c_str());
  for (size_t n = 0; n < all.size(); ++n) {
    const LogTransaction& t = all[n];
    if (json) {
      std::string o = "{\"transaction\":" + std::to_string(n + 1) + ",\"start\":";
      JsonString(&o, t.start);
      o += ",\"end\":";
      JsonString(&o, t.end);
      o += ",\"result\":";
      JsonString(&o, t.result);
      o += ",\"terminalWaitSeconds\":" +
           (t.terminalWait < 0 ? std::string("null") : std::to_string(t.terminalWait));
      o += ",\"hostWaitSeconds\":" + (t.hostWait < 0 ? std::string("null") : std::to_string(t.hostWait));
      o += ",\"errors\":" + std::to_string(t.errors) + ",\"truncated\":" + (t.truncated ? "true" : "false");
      o += ",\"logLevel\":" + std::to_string(level) + ",\"note\":";
      JsonString(&o, LevelNote(level));
      o += ",\"steps\":[";
      for (size_t k = 0; k < t.steps.size(); ++k) {
        const LogStep& s = t.steps[k];
        o += k ? ",{\"time\":" : "{\"time\":";
        JsonString(&o, s.time);
        o += ",\"offsetSeconds\":" + std::to_string(s.offset) + ",\"step\":";
        JsonString(&o, s.kind);
        o += ",\"text\":";
        JsonString(&o, s.text);
        o += std::string(",\"error\":") + (s.error ? "true" : "false") + "}";
      }
      o += "]}\n";
      fputs(o.c_str(), out);
      continue;
    }
    fprintf(out, "\nTransaction %zu  %s - %s\n", n + 1, t.start.c_str(), t.end.c_str());
    for (const LogStep& s : t.steps) {
      fprintf(out, "%s %s  +%ds  %-16s %s\n", s.error ? "!!" : "  ", s.time.c_str(), s.offset, s.kind.c_str(),
              s.text.c_str());
    }
    fprintf(out, "   result: %s\n", t.result.c_str());
    if (t.terminalWait >= 0) fprintf(out, "   waited for the terminal: %ds\n", t.terminalWait);
    if (t.hostWait >= 0) fprintf(out, "   waited for the bank host: %ds\n", t.hostWait);
    if (t.errors) fprintf(out, "   error lines: %d\n", t.errors);
  }
  if (!json && all.empty()) fprintf(out, "No transaction in this log.\n");
  return 0;
}

}  // namespace korvessa
