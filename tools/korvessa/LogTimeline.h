// "korvessa log"'s timeline: the entries of a log put together into transactions, each step with its time
// and the time since the call began, dumped frames decoded field by field (card numbers masked), the time
// spent waiting for the terminal and for the bank host, errors marked.
#pragma once

#include <string>
#include <vector>

#include "LogParse.h"

namespace korvessa {

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
std::vector<LogTransaction> BuildTimeline(const std::vector<kvtools::LogEntry>& entries,
                                          const std::string& explainIni);

// Card number for display: the first 6 and last 4 digits, the others as '*'.
std::string MaskCard(const std::string& digits);

}  // namespace korvessa
