// What korvessa prints after the call (see Output.h).
#include "Output.h"

#include <sys/stat.h>

#include <clocale>
#include <cstdio>
#include <cstring>

#include "FileText.h"
#include "base/CardMask.h"

#ifndef _WIN32
#include <langinfo.h>
#endif

namespace korvessa {

std::string DefaultEncoding() {
#ifdef _WIN32
  return "";  // the console's code page is GBK on the systems this library serves: print as is
#else
  setlocale(LC_CTYPE, "");
  const char* cs = nl_langinfo(CODESET);
  if (!cs || !*cs || strcmp(cs, "ANSI_X3.4-1968") == 0) return "UTF-8";
  return cs;
#endif
}

void MaskCardText(std::string* text) {
  if (text->empty()) return;
  MaskCardField(reinterpret_cast<unsigned char*>(&(*text)[0]), text->size());
}

std::string FoldCrLf(const std::string& s) {
  std::string o;
  o.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
    o.push_back(s[i]);
  }
  return o;
}

int PrintFacadeResult(PFN_GetValue getValue, const std::vector<std::string>& gets, bool showCard,
                      const std::string& enc) {
  const std::string rejCode = getValue("rejCode");
  const int status = ExitStatusForRejCode(rejCode);
  printf("rejCode: %s (%s)\n", rejCode.c_str(),
         status == 0 ? "approved" : (status == 2 ? "local failure" : "refused by the terminal"));
  std::vector<std::string> names = gets;
  if (names.empty()) {
    names = {"rejCode", "rejCodeExplain", "cardNumber", "posTraceNumber", "hostserialNumber", "transDate"};
  }
  for (const std::string& g : names) {
    std::string v = getValue(g.c_str());
    if (g == "cardNumber" && !showCard) MaskCardText(&v);
    printf("  %-17s = \"%s\"\n", g.c_str(), FromGbk(v, enc).c_str());
  }
  return status;
}

int PrintBankTransResult(int result, const char (&response)[kResponseSize + 1], bool showCard,
                         const std::string& ini, const std::string& enc) {
  printf("Result: %d (%s)\n", result, ResultMeaning(result).c_str());
  bool filled = false;
  for (size_t i = 0; i < kResponseSize; ++i) filled = filled || response[i] != 0;
  if (!filled) {
    printf("Response: not filled\n");
  } else {
    printf("Response:\n");
    for (const Field& f : ResponseFields()) {
      std::string v(response + f.off, f.width);
      if (strcmp(f.name, "cardNumber") == 0 && !showCard) MaskCardText(&v);
      printf("  %-17s = \"%s\"\n", f.name, FromGbk(v, enc).c_str());
    }
    const std::string rejCode(response + KV_RSP_rejCode, KV_RSP_rejCode_LEN);
    bool found = false;
    const std::string text = RejCodeExplain(ini, rejCode, &found);
    printf("Explanation: %s\n", found ? FromGbk(text, enc).c_str() : "(none configured)");
  }
  return ExitStatusFor(result);
}

ReceiptBefore TakeReceiptBefore(const std::string& path) {
  ReceiptBefore b;
  b.path = path;
  b.had = ReadWholeFile(path, &b.text);
  b.start = time(nullptr);
  return b;
}

void PrintReceipt(const ReceiptBefore& before, int status, const std::string& enc) {
  std::string after;
  struct stat st;
  const bool fresh = ReadWholeFile(before.path, &after) && stat(before.path.c_str(), &st) == 0 &&
                     (!before.had || after != before.text || st.st_mtime >= before.start);
  if (status == 0 && fresh) {
    printf("Receipt (%s):\n%s", before.path.c_str(), FromGbk(FoldCrLf(after), enc).c_str());
    if (!after.empty() && after.back() != '\n') printf("\n");
  } else {
    printf("Receipt: none written\n");
  }
}

}  // namespace korvessa
