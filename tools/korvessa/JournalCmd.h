// "korvessa journal": reads a day's transaction journal written by the library and lists one line per
// transaction, or only the transactions left in doubt (for an end-of-day script).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace korvessa {

// One transaction put together from its journal lines.
struct JournalTrans {
  std::string time;  // of its first line
  std::string id, reg, trace, type, amount;
  std::string event;  // the final event; "" when only SENT was written
  std::string retCode, posTrace, ref, result;
  bool sent = false;
  // In doubt: a final UNCERTAIN, or a SENT whose process ended before its final event.
  bool InDoubt() const { return event == "UNCERTAIN" || (sent && event.empty()); }
};

// Parses journal text (CR LF or LF lines): a SENT is joined by the next final event with the same
// identifier and record fields. Lines that are not journal lines are counted in *bad (may be null).
std::vector<JournalTrans> ParseJournal(const std::string& text, int* bad);

// The final outcome of a transaction, as GetValue("lastOutcome") names it: "approved", "refused",
// "not-sent" or "uncertain" (a final UNCERTAIN, or a SENT without a final event).
std::string OutcomeOf(const JournalTrans& t);

// Count and sum of amounts (minor units) of one outcome.
struct OutcomeSum {
  long long count = 0;
  unsigned long long minor = 0;
};
// The four outcomes of one transaction type (or of all of them).
struct TypeTotals {
  OutcomeSum approved, refused, notSent, uncertain;
  OutcomeSum& Of(const std::string& outcome);
};
// Totals per transaction type, in type order, and over all of them (grand). Amounts that are not
// 12 digits count as 0 and are counted in *bad (may be null).
std::vector<std::pair<std::string, TypeTotals>> DayTotals(const std::vector<JournalTrans>& all,
                                                          TypeTotals* grand, int* bad);

// Today's date as the journal's day files name it (YYYYMMDD, local time).
std::string JournalToday();

// The command: args are what follows "journal". defaultDir: the journal folder beside the library.
// --totals [--from YYYYMMDD] [--to YYYYMMDD] [--csv | --json]: totals of a range of days.
// Exit status 0, 1 (--uncertain and some transaction is in doubt), 3 usage error or unreadable file.
int JournalCommand(const std::vector<std::string>& args, const std::string& defaultDir, FILE* out, FILE* err);

}  // namespace korvessa
