// The receipt text file: twenty template lines from Config.ini filled from the
// terminal's reply content.
#include "print/PrintFile.h"

#include <cerrno>
#include <cstring>

#include "config/Config.h"
#include "log/Log.h"
#include "platform/platform.h"
#include "platform/platform_fs.h"
#include "protocol/Layout.h"

namespace {

// Appends to a bounded, always terminated output.
class Out {
 public:
  Out(char* buf, size_t size) : m_buf(buf), m_size(size) {
    if (m_size > 0) m_buf[0] = '\0';
  }
  void Add(char c) {
    if (m_size > 0 && m_len + 1 < m_size) {
      m_buf[m_len++] = c;
      m_buf[m_len] = '\0';
    }
  }
  void Add(const char* p, size_t n) {
    for (size_t i = 0; i < n; ++i) Add(p[i]);
  }
  void Fill(char c, size_t n) {
    for (size_t i = 0; i < n; ++i) Add(c);
  }
  void Clear() {
    m_len = 0;
    if (m_size > 0) m_buf[0] = '\0';
  }

 private:
  char* m_buf;
  size_t m_size;
  size_t m_len = 0;
};

// One string conversion of a template: %[flags][width][.precision]s
struct Conversion {
  bool bLeft = false;
  int iWidth = 0;
  int iPrecision = -1;  // -1: none
};

// Reads up to three decimal digits at p; false when there are more.
bool ReadNumber(const char*& p, int& value) {
  value = 0;
  int digits = 0;
  while (*p >= '0' && *p <= '9') {
    if (++digits > 3) return false;
    value = value * 10 + (*p - '0');
    ++p;
  }
  return true;
}

// Parses the conversion that follows a '%' (p points after it). On success p points
// after the 's'.
bool ParseConversion(const char*& p, Conversion& conv) {
  while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0') {
    if (*p == '-') conv.bLeft = true;
    ++p;
  }
  if (!ReadNumber(p, conv.iWidth)) return false;
  if (*p == '.') {
    ++p;
    if (!ReadNumber(p, conv.iPrecision)) return false;
  }
  if (*p != 's') return false;
  ++p;
  return true;
}

// Length of an argument: up to its given length or its first zero byte.
size_t ArgLength(const char* arg, size_t maxLen) {
  if (arg == nullptr) return 0;
  size_t n = 0;
  while (n < maxLen && arg[n] != '\0') ++n;
  return n;
}

// The twenty receipt lines in file order: how each is rendered and where its value lies
// in the reply content.
struct ReceiptLine {
  enum Kind { kVerbatim, kPlain, kCardNo, kTransName, kDateTime, kAmount } kind;
  int iOff;
  int iWidth;
  int iOff2;  // the time of the date-and-time line
  int iWidth2;
};

// Offset and width of an answer field.
#define KV_ANS(field) layout::field.off, layout::field.width
const ReceiptLine kReceiptLines[20] = {
    {ReceiptLine::kVerbatim, 0, 0, 0, 0},                          // 001
    {ReceiptLine::kVerbatim, 0, 0, 0, 0},                          // 002
    {ReceiptLine::kVerbatim, 0, 0, 0, 0},                          // 003
    {ReceiptLine::kPlain, KV_ANS(kAnsName), 0, 0},                 // 004
    {ReceiptLine::kPlain, KV_ANS(kAnsMerchant), 0, 0},             // 005
    {ReceiptLine::kPlain, KV_ANS(kAnsTerminal), 0, 0},             // 006
    {ReceiptLine::kPlain, layout::kAnsInfo.off, 9, 0, 0},          // 007: the first 9 bytes of the field
    {ReceiptLine::kPlain, KV_ANS(kAnsIssuer), 0, 0},               // 008
    {ReceiptLine::kPlain, KV_ANS(kAnsAcquirer), 0, 0},             // 009
    {ReceiptLine::kCardNo, KV_ANS(kAnsCardNumber), 0, 0},          // 010 card number
    {ReceiptLine::kTransName, KV_ANS(kAnsCmdCode), 0, 0},          // 011 transaction name of the command code
    {ReceiptLine::kPlain, KV_ANS(kAnsBatch), 0, 0},                // 012
    {ReceiptLine::kPlain, KV_ANS(kAnsTrace), 0, 0},                // 013 terminal trace number
    {ReceiptLine::kPlain, KV_ANS(kAnsAuth), 0, 0},                 // 014
    {ReceiptLine::kPlain, KV_ANS(kAnsReference), 0, 0},            // 015 host reference number
    {ReceiptLine::kDateTime, KV_ANS(kAnsDate), KV_ANS(kAnsTime)},  // 016 date and time
    {ReceiptLine::kAmount, KV_ANS(kAnsAmount), 0, 0},              // 017 amount
    {ReceiptLine::kPlain, KV_ANS(kAnsText), 0, 0},                 // 018
    {ReceiptLine::kVerbatim, 0, 0, 0, 0},                          // 019
    {ReceiptLine::kVerbatim, 0, 0, 0, 0},                          // 020
};
#undef KV_ANS

const char* const kNoReceiptTypes[] = {"94", "92", "80", "00"};

// The reply's command code turned back into the request's transaction type.
void RequestType(const char* code, char* type) {
  type[0] = code[0];
  type[1] = static_cast<char>(code[1] - 1);
  type[2] = '\0';
}

}  // namespace

bool FormatTemplate(char* out, size_t size, const char* tmpl, const char* const* args, const size_t* argLens,
                    int nArgs) {
  Out o(out, size);
  if (tmpl == nullptr) return true;
  int iArg = 0;
  for (const char* p = tmpl; *p != '\0';) {
    if (*p != '%') {
      o.Add(*p++);
      continue;
    }
    ++p;
    if (*p == '%') {
      o.Add('%');
      ++p;
      continue;
    }
    Conversion conv;
    if (!ParseConversion(p, conv) || iArg >= nArgs) {
      o.Clear();
      return false;
    }
    const char* arg = args != nullptr ? args[iArg] : nullptr;
    size_t n = ArgLength(arg, argLens != nullptr ? argLens[iArg] : 0);
    ++iArg;
    if (conv.iPrecision >= 0 && n > static_cast<size_t>(conv.iPrecision))
      n = static_cast<size_t>(conv.iPrecision);
    const size_t pad = static_cast<size_t>(conv.iWidth) > n ? static_cast<size_t>(conv.iWidth) - n : 0;
    if (!conv.bLeft) o.Fill(' ', pad);
    o.Add(arg, n);
    if (conv.bLeft) o.Fill(' ', pad);
  }
  return true;
}

void FormatCardNo(char* out, size_t size, const char* text, int width) {
  Out o(out, size);
  if (text == nullptr || width <= 0) return;
  int j = 0;
  for (int i = 0; i < width; ++i) {
    if (text[i] >= '0' && text[i] <= '9') ++j;
  }
  for (int i = 0; i < j; ++i) {
    o.Add((i >= 6 && i <= j - 5) ? '*' : text[i]);
    if (i % 4 == 3) o.Add(' ');
  }
}

void FormatAmount(char* out, size_t size, const char* text, int width) {
  char work[15];
  memset(work, '0', 14);
  work[14] = '\0';
  int k = 0;
  bool bCopy = false;
  for (int i = 0; text != nullptr && i < width && i < 12; ++i) {
    if (i == 10) {
      if (!bCopy) {
        k = 1;
        bCopy = true;
      }
      work[k++] = '.';
    }
    if (text[i] != '0') bCopy = true;
    if (bCopy) work[k++] = text[i];
  }
  work[k] = '\0';
  Out o(out, size);
  o.Add(work, strlen(work));
}

bool FormatDateTime(char* out, size_t size, const char* tmpl, const char* date, size_t dateLen,
                    const char* time, size_t timeLen) {
  static const char kEmpty[] = "";
  const size_t dateOff[3] = {0, 4, 6};
  const size_t timeOff[3] = {0, 2, 4};
  const char* args[6];
  size_t lens[6];
  for (int i = 0; i < 3; ++i) {
    const bool bDate = date != nullptr && dateOff[i] < dateLen;
    args[i] = bDate ? date + dateOff[i] : kEmpty;
    lens[i] = bDate ? dateLen - dateOff[i] : 0;
    const bool bTime = time != nullptr && timeOff[i] < timeLen;
    args[3 + i] = bTime ? time + timeOff[i] : kEmpty;
    lens[3 + i] = bTime ? timeLen - timeOff[i] : 0;
  }
  return FormatTemplate(out, size, tmpl, args, lens, 6);
}

// ---------------------------------------------------------------- line writers

void PrintFile::Put(const char* text) {
  if (m_fp == nullptr || text == nullptr || text[0] == '\0') return;
  errno = 0;
  if (fputs(text, m_fp) < 0 && m_iWriteError == 0) m_iWriteError = errno != 0 ? errno : EIO;
}

void PrintFile::Rejected(const char* tmpl) {
  if (!m_bBadLogged) {
    m_bBadLogged = true;
    WriteLog(KV_HERE, LOG_ERROR, "小票模板%03d格式不正确，按原文输出：%s", m_iLine,
             tmpl != nullptr ? tmpl : "");
  }
  WriteVerbatim(tmpl);
}

void PrintFile::WriteVerbatim(const char* tmpl) {
  Put(tmpl != nullptr ? tmpl : "");
  Put("\n");
}

void PrintFile::WriteLine(const char* tmpl, const char* text, int width, bool bNewLine) {
  // The template (at most 255 characters) and one value (at most kPrintMaxWidth wide).
  char szLine[kPrintLineSize + kPrintMaxWidth + 310];
  const char* args[1] = {text};
  const size_t lens[1] = {width > 0 ? static_cast<size_t>(width) : 0};
  if (!FormatTemplate(szLine, sizeof(szLine), tmpl, args, lens, 1)) {
    Rejected(tmpl);
    return;
  }
  Put(szLine);
  if (bNewLine) Put("\n");
}

void PrintFile::WriteTransName(const char* tmpl, const char* code) {
  char szType[3] = {' ', ' ', '\0'};
  if (code != nullptr) RequestType(code, szType);
  const char* pszName = GetTransName(szType, 2);
  WriteLine(tmpl, pszName, static_cast<int>(strlen(pszName)), true);
}

void PrintFile::WriteCardNo(const char* tmpl, const char* text, int width) {
  char szCard[32];
  FormatCardNo(szCard, sizeof(szCard), text, width > 19 ? 19 : width);
  WriteLine(tmpl, szCard, static_cast<int>(strlen(szCard)), true);
}

void PrintFile::WriteAmount(const char* tmpl, const char* text, int width) {
  char szAmount[16];
  FormatAmount(szAmount, sizeof(szAmount), text, width);
  WriteLine(tmpl, szAmount, static_cast<int>(strlen(szAmount)), true);
}

void PrintFile::WriteDateTime(const char* tmpl, const char* date, int dateWidth, const char* time,
                              int timeWidth, size_t dateAvail, size_t timeAvail) {
  if (dateWidth != 8 || timeWidth != 6) return;
  char szLine[kPrintLineSize];
  if (!FormatDateTime(szLine, sizeof(szLine), tmpl, date, dateAvail, time, timeAvail)) {
    Rejected(tmpl);
    return;
  }
  Put(szLine);
  Put("\n");
}

// ---------------------------------------------------------------- the receipt file

PrintResult MakePrintFile(const unsigned char* pCont, int iContLen) {
  char szCode[2];
  for (int i = 0; i < 2; ++i) {
    szCode[i] = (pCont != nullptr && 2 + i < iContLen) ? static_cast<char>(pCont[2 + i]) : ' ';
  }
  char szType[3];
  RequestType(szCode, szType);
  for (const char* pszNo : kNoReceiptTypes) {
    if (szType[0] == pszNo[0] && szType[1] == pszNo[1]) return kPrintNotNeeded;
  }
  return WritePrintFile(pCont, iContLen) ? kPrintWritten : kPrintFailed;
}

bool WritePrintFile(const unsigned char* pCont, int iContLen) {
  // Our own copy of the reply: bytes the terminal did not send count as spaces, and a
  // terminator after the last byte stops any conversion without a precision.
  char szCont[kPrintContSize + 1];
  memset(szCont, ' ', kPrintContSize);
  szCont[kPrintContSize] = '\0';
  if (pCont != nullptr && iContLen > 0) {
    memcpy(szCont, pCont, static_cast<size_t>(iContLen < kPrintContSize ? iContLen : kPrintContSize));
  }

  char szPath[kPrintFileNameSize];
  memset(szPath, 0, sizeof(szPath));
  GetPrintFileName(szPath, sizeof(szPath));
  FILE* fp = nullptr;
  if (szPath[0] != '\0' && strlen(szPath) < kKvPathSize) {
    fp = KvFopen(szPath, "w");
  }
  if (fp == nullptr) {
    WriteLog(KV_HERE, LOG_ERROR, "Failed to open or new file.(%s).", szPath);
    return false;
  }

  const int n = GetContentNum();
  if (n < 0) {
    fclose(fp);
    return false;
  }
  const int iLines = (n < 19 ? n : 19) + 1;

  PrintFile pf(fp);
  char szTmpl[kPrintLineSize];
  for (int iLine = 1; iLine <= iLines; ++iLine) {
    ReadContentLine(szTmpl, sizeof(szTmpl), iLine);
    szTmpl[sizeof(szTmpl) - 1] = '\0';
    pf.SetLine(iLine);
    const ReceiptLine& line = kReceiptLines[iLine - 1];
    const char* pValue = szCont + line.iOff;
    switch (line.kind) {
      case ReceiptLine::kVerbatim:
        pf.WriteVerbatim(szTmpl);
        break;
      case ReceiptLine::kPlain:
        pf.WriteLine(szTmpl, pValue, line.iWidth, true);
        break;
      case ReceiptLine::kCardNo:
        pf.WriteCardNo(szTmpl, pValue, line.iWidth);
        break;
      case ReceiptLine::kTransName:
        pf.WriteTransName(szTmpl, pValue);
        break;
      case ReceiptLine::kDateTime:
        pf.WriteDateTime(szTmpl, pValue, line.iWidth, szCont + line.iOff2, line.iWidth2,
                         static_cast<size_t>(kPrintContSize - line.iOff),
                         static_cast<size_t>(kPrintContSize - line.iOff2));
        break;
      case ReceiptLine::kAmount:
        pf.WriteAmount(szTmpl, pValue, line.iWidth);
        break;
    }
  }
  // A receipt not written whole is not reported as written: a full disk would give the register a
  // blank or cut receipt to print.
  int err = pf.WriteError();
  errno = 0;
  if (fclose(fp) != 0 && err == 0) err = errno != 0 ? errno : EIO;
  if (err != 0) {
    WriteLog(KV_HERE, LOG_FATAL, "打印文件写入失败，文件=%s，原因=%s.", szPath, strerror(err));
    return false;
  }
  return iLines == 20;
}
