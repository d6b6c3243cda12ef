// The diagnostic log: one text file per day, "ErrorLog" + YYYYMMDD + ".log" in the
// folder "Log\" beside the library, GBK, every line ending CR LF. A message is written
// when its level is at most DebugLog of Config.ini (default 2, re-read per message).
// Writers on all threads are serialised, so a hex dump's rows stay together.
#pragma once

#include <cstddef>

#include "base/CardMask.h"
#include "base/PathUtil.h"

// Where a message was written from; pszFile points into a text that outlives the call.
struct SourceLocation {
  const char* pszFile;
  int iLine;
};

// The SourceLocation of the line where it is written.
#define KV_HERE (SourceLocation{GetFileNamePart(__FILE__), __LINE__})

// Message levels: the lower, the more serious.
enum LogLevel : int {
  LOG_FATAL = 1,   // the transaction cannot start
  LOG_ERROR = 2,   // errors
  LOG_REJECT = 3,  // rejected or malformed data from the terminal
  LOG_FRAME = 4,   // hex dumps of request and reply frames
  LOG_INFO = 5,    // progress, dumps of incoming data
  LOG_TRACE = 6,   // detailed tracing of serial reception
};

// Size of the message buffer: a longer message is cut to 1023 characters.
constexpr size_t kLogMessageSize = 1024;

#if defined(__GNUC__)
#define KV_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#define KV_PRINTF_LIKE(f, a)
#endif

// Writes one message line:
//   threshold below 5:  "【hh:mm:ss】message \n"
//   threshold 5 and up: "【file:line】【hh:mm:ss】message \n"
void WriteLog(SourceLocation location, int level, const char* format, ...) KV_PRINTF_LIKE(3, 4);

// Writes a titled hex dump of `data` (see the layout in Log.cpp). `shown`: 0 the title
// line only, negative a table of all `length` bytes, positive a table of the first
// `shown` bytes (the caller's buffer holds them). Returns 0 when written or skipped,
// -1 when the file cannot be opened.
int WriteHexLog(unsigned level, const char* title, const void* data, int length, int shown);
// The same dump of a buffer that may hold card numbers: with [DEBUG_LOG] MaskCardNumber on
// (the default), the table shows the bytes with `mask` applied (to a copy; `data` is only
// read). Title line and layout are the same either way.
int WriteHexLog(unsigned level, const char* title, const void* data, int length, int shown,
                const DumpMask& mask);

// Today's log file path: GetModuleDir() + "Log\" + "ErrorLog" + YYYYMMDD + ".log".
// Creates the folder. `out` holds 260 bytes; an over-long path leaves it empty.
void GetLogFileName(char* out);
