// "korvessa log": reads the library's GBK diagnostic logs and prints a UTF-8 timeline per transaction:
// each step with its time and the time since the call began, every dumped frame decoded field by field
// (card numbers masked), the time spent waiting for the terminal and for the bank host, errors marked.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace korvessa {

// One line (or one hex dump) of a log, converted to UTF-8.
struct LogEntry {
  std::string file;  // log file it came from
  std::string time;  // "hh:mm:ss"
  std::string src;   // "file:line" (threshold 5 and up), else ""
  std::string text;  // message (continuation lines joined with '\n'), or the dump's title
  bool dump = false;
  int length = 0;              // dump: the length in its title line
  int shown = -1;              // dump: the second number of the title line, -1 when there is none
  std::vector<uint8_t> bytes;  // dump: the bytes of its table
  bool truncated = false;      // the log ends inside this entry
};

// Parses one log file's text (GBK, CR LF or LF line ends).
std::vector<LogEntry> ParseLog(const std::string& gbkText, const std::string& fileName);

// One step of a transaction as shown.
struct LogStep {
  std::string time;
  int offset = 0;    // seconds since the call began
  std::string kind;  // "request", "open", "handshake", "handshake answer", "request sent", "answer",
                     // "relay unit", "relay reply", "received", "time-out", "message", ...
  std::string text;  // decoded fields or the message, UTF-8
  bool error = false;
};

struct LogTransaction {
  std::vector<LogStep> steps;
  std::string start, end;  // times
  std::string result;      // "0 approved", "refused 05 ...", "-3 time-out", ... or "unknown"
  int terminalWait = -1;   // seconds, -1 when the log does not tell
  int hostWait = -1;
  int errors = 0;
  bool truncated = false;
};

// Puts a log's entries together into transactions. explainIni: a Config.ini for return-code texts ("").
std::vector<LogTransaction> BuildTimeline(const std::vector<LogEntry>& entries,
                                          const std::string& explainIni);

// The lowest threshold that wrote these entries (2, 4, 5 or 6) and what the lower ones lack.
int LogLevelOf(const std::vector<LogEntry>& entries);
std::string LevelNote(int level);

// Card number for display: the first 6 and last 4 digits, the others as '*'.
std::string MaskCard(const std::string& digits);

// The command; args follow "log". Exit status 0, 3 usage error or a file that cannot be read.
int LogCommand(const std::vector<std::string>& args, FILE* out, FILE* err);

}  // namespace korvessa
