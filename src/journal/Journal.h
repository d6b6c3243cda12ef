// The transaction journal: a record of every transaction that survives a crash, separate from the
// diagnostic log so that its level, its retention and its content (never a card number) are its own.
//
// One ASCII file a day, "Journal" + YYYYMMDD + ".txt" in the folder "Journal" beside the library, CR LF
// line ends, one tab-separated line per event:
//   time  transId  cashRegisterNo  cashTraceNumber  transType  amount  event  [retCode  trace  ref  result]
// time is local "YYYY-MM-DD hh:mm:ss.mmm"; the record fields lose their trailing spaces, and every byte
// outside printable ASCII, a tab or a backslash is written as \xNN. SENT is written and put on the disk
// before the transaction request goes out; each call ends with exactly one final event (APPROVED,
// REFUSED, NOT-SENT, UNCERTAIN) carrying the terminal's return code, its trace and reference numbers and
// the call's result. A SENT without a final line means the process ended while the terminal worked.
#pragma once

#include <cstddef>

#include "log/Retention.h"
#include "platform/platform.h"

// What a call's result tells the register about the payment.
enum class JournalOutcome {
  kNone,       // no call yet
  kApproved,   // 0
  kRefused,    // the terminal refused the request
  kNotSent,    // the terminal never took the request: nothing was charged
  kUncertain,  // the request went out and no answer came: the terminal may have charged the card
};

// The outcome of a result: `requestWritten` tells whether the transaction request was handed to the port.
JournalOutcome OutcomeOf(int result, bool requestWritten);
// "APPROVED", "REFUSED", "NOT-SENT", "UNCERTAIN" ("" for kNone).
const char* JournalEventName(JournalOutcome outcome);
// "approved", "refused", "not-sent", "uncertain" ("" for kNone): the facade's "lastOutcome".
const char* JournalOutcomeText(JournalOutcome outcome);

// Longest journal line, CR LF and terminator included (every field escaped at 4 bytes a byte fits).
constexpr size_t kJournalLineSize = 512;

// Appends `n` bytes of a record field to the text in `out` (of `size` bytes) without their trailing
// spaces, escaping as the file does. A field that does not fit whole is not appended: false.
bool JournalEscape(const char* field, size_t n, char* out, size_t size);

// [JOURNAL] Enabled (default 1) and Days (default 90) of the current Config.ini.
bool JournalEnabled();
int JournalDays();

// The journal folder beside the library, ending with a separator ("" when it does not fit).
void GetJournalDir(char* out, size_t size);
// Reads the date of a bare file name "JournalYYYYMMDD.txt"; false when it carries none.
bool ParseJournalFileDate(const char* name, LogDate* date);
// Removes the journal files of `folder` older than `days` days before `today` that are not among its
// newest `days` files. A file dated after today is never removed, and nothing is when the newest file
// is dated after `today` (the clock was set back: the files of the real days are the record of
// payments in doubt). A value of `days` below 1 keeps every file.
void DeleteOldJournals(const char* folder, const LogDate& today, int days);

// The clock of the journal's lines and file names (null: the local time). For tests.
typedef void (*JournalClockFn)(SYSTEMTIME* now);
void SetJournalClock(JournalClockFn clock);

// What the journal did in the last call, for GetValue("journal").
enum class JournalState {
  kNone,    // no call yet: ""
  kOk,      // every line of the call was written and put on the disk: "ok"
  kFailed,  // a line could not be written: "failed"
  kOff,     // [JOURNAL] Enabled=0: "off"
};
const char* JournalStateText(JournalState state);

// The journal of one call. Built from the caller's request record (null: the call writes nothing); the
// engine tells it the identifier and the moment the request is about to be written; Finish writes the
// one final event. A journal that cannot be written logs one level-1 line per call and changes nothing
// else. SENT and the final event go to the file of the day the request was sent (a payment across
// midnight is one day's). Not thread-safe: one call runs on one thread.
class TransJournal {
 public:
  explicit TransJournal(const char* request);
  TransJournal(const TransJournal&) = delete;
  TransJournal& operator=(const TransJournal&) = delete;

  void SetTransId(const char* id);
  // The next frame written is the transaction request (not the handshake).
  void ArmRequest() { m_bArmed = true; }
  // Called just before a frame is written: writes SENT, on the disk, when the request is armed.
  void BeforeWrite();
  bool RequestWritten() const { return m_bWritten; }
  // The final event for `result` (response: the 161-byte record, may be null); only the first call
  // writes. Returns the outcome.
  JournalOutcome Finish(int result, const char* response);
  // kOk, kFailed or kOff for what this call wrote so far; kNone for a call without record.
  JournalState State() const;

 private:
  void WriteEvent(const char* event, const char* tail, bool bSent);

  bool m_bActive;
  bool m_bArmed = false;
  bool m_bWritten = false;
  bool m_bFinished = false;
  bool m_bFailLogged = false;  // a line of this call could not be written (and was logged)
  bool m_bOff = false;
  char m_szSentDay[12] = {0};  // YYYYMMDD of SENT's file
  char m_szId[8] = {0};
  char m_szFields[kJournalLineSize / 2] = {0};  // register, trace, type, amount: escaped, tab-joined
};
