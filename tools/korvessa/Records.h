// The cash register's side of the records: the request and response layouts, the request built from
// command-line values, the few Config.ini readings korvessa needs for its display.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "Gbk.h"
#include "KorvessaDLL.h"

namespace korvessa {

constexpr size_t kRequestSize = KORVESSA_REQUEST_SIZE;
constexpr size_t kResponseSize = KORVESSA_RESPONSE_SIZE;

struct Field {
  const char* name;
  size_t off;
  size_t width;
};

// Request record fields in record order (the last, "reserved", is never sent to the terminal).
const std::vector<Field>& RequestFields();
// Response record fields in record order; bytes 110..115 are a gap and not listed.
const std::vector<Field>& ResponseFields();
const Field* FindField(const std::vector<Field>& fields, const std::string& name);

// Puts text left-aligned into a field of a record, padded with spaces; false when it is too long.
bool PutField(char* record, const Field& f, const std::string& text);

// "123.45" -> "000000012345"; "7" -> "000000000700"; "0.5" -> "000000000050". False for anything that is
// not a non-negative decimal number with at most two decimals and at most ten whole digits.
bool AmountToMinor(const std::string& text, std::string* out);

// Meaning of a BankTrans result code, for people.
std::string ResultMeaning(int result);
// Exit status of korvessa for a result: 0 approved, 1 refused by the terminal, 2 local failure.
int ExitStatusFor(int result);
// The same from a facade rejCode: "00" approved, "x1".."x6"/"ff" local failures, anything else refused.
int ExitStatusForRejCode(const std::string& rejCode);

// Reads a value from an INI file with the Win32 profile rules: section and key names case-insensitive,
// blanks around names and values trimmed, one pair of quotes removed, ';' comment lines, first match wins.
// Returns def when the file, section or key is missing.
std::string IniString(const std::string& file, const std::string& section, const std::string& key,
                      const std::string& def);

// Explanation text of a return code from section REEOR_INFORMITION (numbered lines "001".., "code text",
// first two characters compared, the table ends at the first missing or short line); found = false and
// an empty text when there is none.
std::string RejCodeExplain(const std::string& iniFile, const std::string& code, bool* found);

// Path of the receipt file as the library forms it from section TXTFILENAME (FilePath default ".\",
// FileName default "print.txt"), with backslashes turned into the platform's separator.
std::string ReceiptPath(const std::string& iniFile);

// GBK text to the screen's encoding (tools/common/Gbk.h).
using kvtools::FromGbk;

// Appends s to o as a JSON string: quotes, backslashes and control bytes escaped; other bytes as they are.
void JsonString(std::string* o, const std::string& s);

}  // namespace korvessa
