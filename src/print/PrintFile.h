// The receipt text file written after an approved transaction.
//
// Up to twenty line templates come from Config.ini ([TXTFILECONTENT] 001..020, count
// ContentNum); each field line is a template with one string conversion
// (%[-+ #0][width][.precision]s, "%%" for a literal "%"), the date-and-time line one with
// up to six. A template that holds anything else is printed as literal text, and the
// first such template of a file is logged at level 2. The file is text: every "\n" is
// stored as CR LF on every system.
#pragma once

#include <cstddef>
#include <cstdio>

// The part of the terminal's reply content that the receipt reads.
constexpr int kPrintContSize = 555;
// Work buffer of a formatted line (the date-and-time line is cut at 255 characters).
constexpr int kPrintLineSize = 256;
// Largest width or precision a template may give a conversion.
constexpr int kPrintMaxWidth = 999;

// What MakePrintFile did; the values are the ones its callers and their logs have always seen.
enum PrintResult : int {
  kPrintNotNeeded = -1,  // the transaction type needs no receipt: no file touched
  kPrintFailed = 0,      // the receipt could not be written
  kPrintWritten = 1,
};

// Makes the receipt from the reply content (pCont, iContLen bytes; missing bytes count
// as spaces). kPrintNotNeeded for the types "00", "80", "92", "94" (the type is the
// reply's command code with its second character decreased by one).
PrintResult MakePrintFile(const unsigned char* pCont, int iContLen);

// Writes the receipt file: true only when all twenty lines were written.
bool WritePrintFile(const unsigned char* pCont, int iContLen);

// ---- renderers (pure functions, also used by the line writers)

// Formats `tmpl` with the given string arguments (each taken up to its length or its
// first zero byte) into out (size bytes, always terminated, cut to fit). Returns false
// without touching `out` beyond a terminator when the template holds a conversion other
// than the accepted string conversion, more conversions than nArgs, or a lone "%".
bool FormatTemplate(char* out, size_t size, const char* tmpl, const char* const* args, const size_t* argLens,
                    int nArgs);

// Masks a card number: j = count of digits among the `width` bytes; from the first j
// bytes positions 6..j-5 become "*", a blank follows every fourth character.
// out needs 24 bytes for width 19; always terminated.
void FormatCardNo(char* out, size_t size, const char* text, int width);

// Amount in minor units (last two digits the decimals) as "123.45"; out needs 15 bytes.
void FormatAmount(char* out, size_t size, const char* text, int width);

// The date (Y M D at text offsets 0, 4, 6) and time (h m s at 0, 2, 4) formatted with a
// template of up to six string conversions, cut at size - 1. dateLen/timeLen: bytes
// readable from each pointer. False for a template that is not accepted.
bool FormatDateTime(char* out, size_t size, const char* tmpl, const char* date, size_t dateLen,
                    const char* time, size_t timeLen);

// ---- the line writers over one open receipt file

class PrintFile {
 public:
  // fp: the receipt file, opened for writing in text mode with KvFopen (each "\n" is
  // stored as CR LF on every system).
  explicit PrintFile(FILE* fp) : m_fp(fp) {}

  // Line number of the template being written (for the log line of a rejected template).
  void SetLine(int iLine) { m_iLine = iLine; }

  // Template printed verbatim, then "\n".
  void WriteVerbatim(const char* tmpl);
  // Plain field: the template formatted with the text cut to its width, then "\n" when
  // bNewLine.
  void WriteLine(const char* tmpl, const char* text, int width, bool bNewLine);
  // Display name of the request's type (the reply code with its second character less one).
  void WriteTransName(const char* tmpl, const char* code);
  void WriteCardNo(const char* tmpl, const char* text, int width);
  void WriteAmount(const char* tmpl, const char* text, int width);
  // Written only for dateWidth 8 and timeWidth 6. dateAvail/timeAvail: bytes readable
  // from date and time (a template without precision reads up to the first zero byte).
  void WriteDateTime(const char* tmpl, const char* date, int dateWidth, const char* time, int timeWidth,
                     size_t dateAvail, size_t timeAvail);

  // True once a template of this file has been rejected (and logged).
  bool HadBadTemplate() const { return m_bBadLogged; }
  // The system's error number of the first write that failed (0: every write succeeded).
  int WriteError() const { return m_iWriteError; }

 private:
  void Put(const char* text);
  void Rejected(const char* tmpl);  // prints the template as literal text, logs the first one

  FILE* m_fp;
  int m_iLine = 0;
  bool m_bBadLogged = false;
  int m_iWriteError = 0;
};
