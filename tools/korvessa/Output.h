// What korvessa prints after the call: the result with its meaning, the response fields by name (card
// numbers masked unless asked), the explanation of the return code and the receipt if the call wrote one.
// Separate from the run so that the texts a script reads live in one place.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "KorvessaDLL.h"
#include "Records.h"

namespace korvessa {

// The encoding to convert the library's GBK texts to when none is asked for: the locale's, else UTF-8
// ("" on Windows: print as is).
std::string DefaultEncoding();

// The card number at the start of a field, masked like the library's log shows it.
void MaskCardText(std::string* text);
// The library stores each line end as CR LF; show plain lines.
std::string FoldCrLf(const std::string& s);

// After the facade's call: "rejCode: ..." and the GetValue of each name (a default list when gets is
// empty). Returns the exit status.
int PrintFacadeResult(PFN_GetValue getValue, const std::vector<std::string>& gets, bool showCard,
                      const std::string& enc);
// After BankTrans: "Result: ...", the response record's fields (or "not filled") and the explanation of
// its return code from the library's Config.ini. Returns the exit status.
int PrintBankTransResult(int result, const char (&response)[kResponseSize + 1], bool showCard,
                         const std::string& ini, const std::string& enc);

// The receipt file as it was before the call, to tell a new receipt from an old one.
struct ReceiptBefore {
  std::string path;
  bool had = false;
  std::string text;
  time_t start = 0;
};
ReceiptBefore TakeReceiptBefore(const std::string& path);
// "Receipt (path):" and its text when the call approved and wrote it fresh, else "Receipt: none written".
void PrintReceipt(const ReceiptBefore& before, int status, const std::string& enc);

}  // namespace korvessa
