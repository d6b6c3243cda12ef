// The cash register's side of the records: field tables, the request built from command-line values,
// result meanings and the Config.ini readings korvessa displays.
#include "Records.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "KorvessaDLL.h"

namespace korvessa {

// Both tables come from the public header's field lists, so the tool cannot disagree with the library.
#define KV_REQUEST_FIELD(f) {#f, KV_REQ_##f, KV_REQ_##f##_LEN},
#define KV_RESPONSE_FIELD(f) {#f, KV_RSP_##f, KV_RSP_##f##_LEN},

const std::vector<Field>& RequestFields() {
  static const std::vector<Field> kFields = {KORVESSA_REQUEST_FIELDS(KV_REQUEST_FIELD)};
  return kFields;
}

const std::vector<Field>& ResponseFields() {
  static const std::vector<Field> kFields = [] {
    std::vector<Field> all = {KORVESSA_RESPONSE_FIELDS(KV_RESPONSE_FIELD)};
    // The gap holds nothing: it is no field a register reads.
    all.erase(
        std::remove_if(all.begin(), all.end(), [](const Field& f) { return strcmp(f.name, "gap") == 0; }),
        all.end());
    return all;
  }();
  return kFields;
}

const Field* FindField(const std::vector<Field>& fields, const std::string& name) {
  for (const Field& f : fields) {
    if (name == f.name) return &f;
  }
  return nullptr;
}

bool PutField(char* record, const Field& f, const std::string& text) {
  if (text.size() > f.width) return false;
  memset(record + f.off, ' ', f.width);
  memcpy(record + f.off, text.data(), text.size());
  return true;
}

bool AmountToMinor(const std::string& text, std::string* out) {
  std::string whole, frac;
  bool point = false;
  for (char c : text) {
    if (c == '.' && !point) {
      point = true;
    } else if (c >= '0' && c <= '9') {
      (point ? frac : whole).push_back(c);
    } else {
      return false;
    }
  }
  if (whole.empty() && frac.empty()) return false;
  if (frac.size() > 2) return false;
  while (whole.size() > 1 && whole[0] == '0') whole.erase(0, 1);
  if (whole.size() > 10) return false;
  frac.resize(2, '0');
  std::string digits = whole + frac;
  *out = std::string(12 - digits.size(), '0') + digits;
  return true;
}

std::string ResultMeaning(int result) {
  switch (result) {
    case KORVESSA_OK:
      return "approved";
    case KORVESSA_ERR_OPEN:
      return "the serial port could not be opened";
    case KORVESSA_ERR_ARGUMENT:
      return "bad argument or undefined transaction type";
    case KORVESSA_ERR_TIMEOUT:
      return "no acceptable answer from the terminal in time";
    case KORVESSA_ERR_WRITE:
      return "writing to the serial port failed";
    case KORVESSA_ERR_TOO_LARGE:
      return "the request frame is too large";
    default:
      break;
  }
  if (result > 0 && result <= 0xFFFF) {
    const char c[3] = {KORVESSA_REFUSAL_CHAR1(result), KORVESSA_REFUSAL_CHAR2(result), 0};
    return std::string("refused by the terminal, return code \"") + c + "\"";
  }
  return "unknown result";
}

int ExitStatusFor(int result) { return result == KORVESSA_OK ? 0 : (result > 0 ? 1 : 2); }

int ExitStatusForRejCode(const std::string& rejCode) {
  if (rejCode == "00") return 0;
  if (rejCode == "ff" ||
      (rejCode.size() == 2 && rejCode[0] == 'x' && rejCode[1] >= '1' && rejCode[1] <= '6')) {
    return 2;
  }
  return 1;
}

namespace {

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r' || s[b] == '\n')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n')) --e;
  return s.substr(b, e - b);
}

using kvtools::SameNameNoCase;

}  // namespace

std::string IniString(const std::string& file, const std::string& section, const std::string& key,
                      const std::string& def) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return def;
  std::string line;
  bool inSection = false;
  while (std::getline(in, line)) {
    const std::string t = Trim(line);
    if (t.empty() || t[0] == ';') continue;
    if (t[0] == '[') {
      const size_t close = t.find(']');
      inSection = close != std::string::npos && SameNameNoCase(Trim(t.substr(1, close - 1)), section);
      continue;
    }
    if (!inSection) continue;
    const size_t eq = t.find('=');
    if (eq == std::string::npos || !SameNameNoCase(Trim(t.substr(0, eq)), key)) continue;
    std::string v = Trim(t.substr(eq + 1));
    if (v.size() >= 2 && ((v.front() == '"' && v.back() == '"') || (v.front() == '\'' && v.back() == '\''))) {
      v = v.substr(1, v.size() - 2);
    }
    return v;
  }
  return def;
}

std::string RejCodeExplain(const std::string& iniFile, const std::string& code, bool* found) {
  *found = false;
  for (int n = 1; n <= 999; ++n) {
    char key[8];
    snprintf(key, sizeof key, "%03d", n);
    const std::string v = IniString(iniFile, "REEOR_INFORMITION", key, "");
    if (v.size() < 3) break;
    size_t e = 0;
    while (e < v.size() && v[e] != ' ' && v[e] != '\t') ++e;
    const std::string itemCode = v.substr(0, std::min<size_t>(e, 9));
    if (itemCode.size() >= 2 && code.size() >= 2 && itemCode.compare(0, 2, code, 0, 2) == 0) {
      *found = true;
      return Trim(v.substr(std::min(v.size(), itemCode.size())));
    }
  }
  return std::string();
}

std::string ReceiptPath(const std::string& iniFile) {
  std::string dir = IniString(iniFile, "TXTFILENAME", "FilePath", ".\\");
  if (dir.empty()) dir = ".\\";
  const std::string name = IniString(iniFile, "TXTFILENAME", "FileName", "print.txt");
  if (dir.back() != '\\' && dir.back() != '/') dir += '\\';
  std::string path = dir + name;
#ifndef _WIN32
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
#endif
  return path;
}

void JsonString(std::string* o, const std::string& s) {
  o->push_back('"');
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      o->push_back('\\');
      o->push_back(static_cast<char>(c));
    } else if (c < 0x20) {
      char b[8];
      snprintf(b, sizeof b, "\\u%04x", c);
      *o += b;
    } else {
      o->push_back(static_cast<char>(c));
    }
  }
  o->push_back('"');
}

}  // namespace korvessa
