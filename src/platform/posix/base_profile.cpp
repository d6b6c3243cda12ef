// GetPrivateProfileIntA / GetPrivateProfileStringA / GetPrivateProfileSectionA for the
// POSIX side, with the Win32 contract: section and key names compared without regard to
// ASCII case, blanks around names and values trimmed, one pair of matching quotes around
// a value removed (by the key readers; a section is handed over as written), ';' comment
// lines, the first match wins (the first section of a name, the first key in it), values
// cut to the buffer, the count of characters copied returned, the file read afresh on
// every call, a missing file or key giving the default. A file of more than
// kMaxProfileBytes (or a device that never ends) counts as missing: no call reads more.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform_fs.h"
#include "win32_posix.h"

namespace {

// Characters of a line beyond this are dropped (keeps memory bounded on any file).
constexpr size_t kMaxLine = 65536;
// A profile larger than this is taken for a missing file (keeps every call bounded in time).
constexpr long kMaxProfileBytes = 1L << 20;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string Trimmed(const char* begin, const char* end) {
  while (begin < end && IsBlank(*begin)) ++begin;
  while (end > begin && IsBlank(end[-1])) --end;
  return std::string(begin, end);
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(const std::string& a, const char* b) {
  const size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// Receives the entries of a profile file in order; returns false to stop the walk.
class ProfileVisitor {
 public:
  virtual ~ProfileVisitor() = default;
  virtual bool OnSection(const std::string& name) = 0;
  virtual bool OnKey(const std::string& key, const std::string& value) = 0;
};

// Handles one line; false stops the walk.
bool ParseLine(std::string& line, ProfileVisitor& v) {
  const char* p = line.c_str();
  const char* end = p + line.size();
  while (p < end && IsBlank(*p)) ++p;
  if (p == end || *p == ';') return true;
  if (*p == '[') {
    const char* close = static_cast<const char*>(std::memchr(p + 1, ']', static_cast<size_t>(end - p - 1)));
    return v.OnSection(Trimmed(p + 1, close != nullptr ? close : end));
  }
  const char* eq = static_cast<const char*>(std::memchr(p, '=', static_cast<size_t>(end - p)));
  if (eq == nullptr) return true;  // no value: not an entry
  return v.OnKey(Trimmed(p, eq), Trimmed(eq + 1, end));
}

std::string Unquoted(const std::string& value) {
  if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// Walks the file; false when it cannot be opened or is too large (the visitor's findings
// are then to be ignored).
bool WalkProfile(const char* file, ProfileVisitor& v) {
  if (file == nullptr) return false;
  FILE* f = KvFopen(file, "rb");
  if (f == nullptr) return false;
  struct stat st;
  if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > kMaxProfileBytes) {
    std::fclose(f);
    return false;
  }
  std::string line;
  bool first = true;
  bool go = true;
  long total = 0;
  int c;
  while (go && (c = std::getc(f)) != EOF) {
    if (++total > kMaxProfileBytes) {  // grew while read, or a device without end
      std::fclose(f);
      return false;
    }
    if (c == '\n' || c == '\r') {
      if (first && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
      first = false;
      go = ParseLine(line, v);
      line.clear();
    } else if (line.size() < kMaxLine) {
      line.push_back(static_cast<char>(c));
    }
  }
  if (go && !line.empty()) {
    if (first && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    ParseLine(line, v);
  }
  std::fclose(f);
  return true;
}

// The first value of `key` in a section named `section`.
class FindValue : public ProfileVisitor {
 public:
  FindValue(const char* section, const char* key) : section_(section), key_(key) {}
  bool OnSection(const std::string& name) override {
    if (inSection_) return false;  // only the first section of that name counts
    inSection_ = SameName(name, section_);
    return true;
  }
  bool OnKey(const std::string& key, const std::string& value) override {
    if (!inSection_ || !SameName(key, key_)) return true;
    found_ = true;
    value_ = Unquoted(value);
    return false;
  }
  bool found_ = false;
  std::string value_;

 private:
  const char* section_;
  const char* key_;
  bool inSection_ = false;
};

// Every entry of the first section of a name, as "key=value" in file order.
class SectionEntries : public ProfileVisitor {
 public:
  explicit SectionEntries(const char* section) : section_(section) {}
  bool OnSection(const std::string& name) override {
    if (inSection_) return false;
    inSection_ = SameName(name, section_);
    return true;
  }
  bool OnKey(const std::string& key, const std::string& value) override {
    if (inSection_) entries_.push_back(key + "=" + value);
    return true;
  }
  std::vector<std::string> entries_;

 private:
  const char* section_;
  bool inSection_ = false;
};

// Copies a text cut to the buffer; the count copied.
DWORD CopyCut(const std::string& text, LPSTR out, DWORD size) {
  const size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
  return static_cast<DWORD>(n);
}

// Reads a number the way the system's profile reader does: blanks, an optional sign,
// a base prefix (0x, 0o, 0b) or decimal, digits up to the first other character,
// 32-bit wrap-around.
UINT ParseProfileInt(const std::string& s) {
  size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  unsigned base = 10;
  if (i + 1 < s.size() && s[i] == '0') {
    const char p = Lower(s[i + 1]);
    if (p == 'x') base = 16;
    if (p == 'o') base = 8;
    if (p == 'b') base = 2;
    if (base != 10) i += 2;
  }
  uint32_t value = 0;
  for (; i < s.size(); ++i) {
    const char c = Lower(s[i]);
    unsigned d;
    if (c >= '0' && c <= '9') {
      d = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      d = static_cast<unsigned>(c - 'a' + 10);
    } else {
      break;
    }
    if (d >= base) break;
    value = value * base + d;
  }
  return negative ? static_cast<UINT>(0u - value) : static_cast<UINT>(value);
}

}  // namespace

DWORD GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault, LPSTR lpReturnedString,
                               DWORD nSize, LPCSTR lpFileName) {
  if (lpReturnedString == nullptr || nSize == 0) return 0;
  if (lpAppName == nullptr || lpKeyName == nullptr) {
    // Listing sections or keys is not part of this layer.
    lpReturnedString[0] = '\0';
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
  }
  FindValue find(lpAppName, lpKeyName);
  if (WalkProfile(lpFileName, find) && find.found_) {
    SetLastError(ERROR_SUCCESS);
    return CopyCut(find.value_, lpReturnedString, nSize);
  }
  SetLastError(ERROR_FILE_NOT_FOUND);
  const char* def = lpDefault != nullptr ? lpDefault : "";
  size_t len = std::strlen(def);
  while (len > 0 && def[len - 1] == ' ') --len;  // the default loses its trailing blanks
  return CopyCut(std::string(def, len), lpReturnedString, nSize);
}

UINT GetPrivateProfileIntA(LPCSTR lpAppName, LPCSTR lpKeyName, int nDefault, LPCSTR lpFileName) {
  if (lpAppName == nullptr || lpKeyName == nullptr) return static_cast<UINT>(nDefault);
  FindValue find(lpAppName, lpKeyName);
  if (!WalkProfile(lpFileName, find) || !find.found_ || find.value_.empty())
    return static_cast<UINT>(nDefault);
  return ParseProfileInt(find.value_);
}

DWORD GetPrivateProfileSectionA(LPCSTR lpAppName, LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName) {
  if (lpReturnedString == nullptr || nSize == 0) return 0;
  lpReturnedString[0] = '\0';
  if (nSize == 1 || lpAppName == nullptr) return 0;
  lpReturnedString[1] = '\0';
  SectionEntries section(lpAppName);
  if (!WalkProfile(lpFileName, section)) return 0;
  // Entries one after the other, each with its terminator, and one more terminator at the
  // end. As the system does, the whole section counts as fitting only with a byte to spare;
  // otherwise what does not fit is cut (the last entry too), two terminators end the buffer,
  // and the count is nSize - 2.
  size_t used = 0;
  const size_t limit = nSize - 2;  // an entry with its terminator must end within this
  for (const std::string& e : section.entries_) {
    if (used > limit || e.size() + 1 > limit - used) {
      if (used < limit) std::memcpy(lpReturnedString + used, e.data(), limit - used);
      lpReturnedString[nSize - 2] = '\0';
      lpReturnedString[nSize - 1] = '\0';
      return nSize - 2;
    }
    std::memcpy(lpReturnedString + used, e.data(), e.size());
    used += e.size();
    lpReturnedString[used++] = '\0';
  }
  lpReturnedString[used] = '\0';
  return static_cast<DWORD>(used);
}
