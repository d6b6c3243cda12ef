// Readers of Config.ini and the two cached code-to-text tables.
#include "config/Config.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "base/PathUtil.h"
#include "platform/platform.h"

namespace {

const char kSecCom[] = "COM";
const char kSecDebugLog[] = "DEBUG_LOG";
const char kSecTransName[] = "TRANSNAMEDSP";
const char kSecErrInfo[] = "REEOR_INFORMITION";
const char kSecTxtFileName[] = "TXTFILENAME";
const char kSecTxtFileContent[] = "TXTFILECONTENT";
const char kSecTcp[] = "TCP";

constexpr int kMaxTableLines = 999;
// Value buffer of one table line.
constexpr DWORD kTableValueSize = 255;

// A table entry: the code, and its text in the interned pool (never freed before the
// library is unloaded, so a text handed out stays valid across reloads).
struct CodeTextEntry {
  char szItemCode[10];
  const char* pszText;
};

// The cached tables. Allocated at first use and released when the library is unloaded;
// a lookup that comes after the release (a thread still winding down while the
// library's statics are destroyed) gets the default text.
struct TableData {
  std::string stampPath;  // the file the stamp belongs to
  KvFileStamp stamp{0, 0};
  bool loaded = false;
  std::vector<CodeTextEntry> transNames;
  std::vector<CodeTextEntry> errInfos;
  std::set<std::string> texts;  // every text handed out, kept until unload
};

// Everything below is trivially destructible and so stays usable whatever the order in
// which the library's statics are destroyed.
std::mutex g_pathLock;
char g_szConfigFile[kKvPathSize] = ".\\Config.ini";

std::mutex g_tableLock;  // guards the two below
TableData* g_tables = nullptr;
bool g_tablesReleased = false;

struct TableOwner {
  ~TableOwner() {
    std::lock_guard<std::mutex> lock(g_tableLock);
    delete g_tables;
    g_tables = nullptr;
    g_tablesReleased = true;
  }
};
TableOwner g_tableOwner;

// Caller holds g_tableLock. Null after the release or when memory is short.
TableData* Tables() {
  if (g_tables == nullptr && !g_tablesReleased) g_tables = new (std::nothrow) TableData;
  return g_tables;
}

void CopyConfigPath(char* out, size_t size) {
  std::lock_guard<std::mutex> lock(g_pathLock);
  const size_t len = std::strlen(g_szConfigFile);
  const size_t n = len < size - 1 ? len : size - 1;
  std::memcpy(out, g_szConfigFile, n);
  out[n] = '\0';
}

int ReadInt(const char* section, const char* key, int def) {
  char file[kKvPathSize];
  CopyConfigPath(file, sizeof(file));
  return static_cast<int>(GetPrivateProfileIntA(section, key, def, file));
}

// Largest section a table reload reads; a file can hardly hold more (the POSIX reader takes
// none beyond 1 MiB).
constexpr DWORD kMaxSectionSize = 4u << 20;

bool IsBlankChar(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// The values of the numbered keys "001".."999" of a section, read from the file in one pass
// (a key at a time would walk the file once per line): (*lines)[n] is the value of key n as
// the key reader gives it (blanks trimmed, one pair of quotes removed, cut to a table value),
// the first of a repeated key; "" when missing.
void ReadNumberedLines(const char* section, const char* file, std::vector<std::string>* lines) {
  lines->assign(kMaxTableLines + 1, std::string());
  std::vector<bool> seen(kMaxTableLines + 1, false);
  std::vector<char> buf;
  DWORD n = 0;
  for (DWORD size = 64u << 10; size <= kMaxSectionSize; size *= 4) {
    buf.assign(size, '\0');
    n = GetPrivateProfileSectionA(section, buf.data(), size, file);
    if (n < size - 2) break;
  }
  if (n >= buf.size() - 2 && n > 0) {
    // Cut short even at the largest size: the last entry may be partial, so it is left out.
    while (n > 0 && buf[n - 1] != '\0') --n;
  }
  for (const char* p = buf.data(); p < buf.data() + n && *p != '\0'; p += std::strlen(p) + 1) {
    const char* eq = std::strchr(p, '=');
    if (eq == nullptr) continue;
    const char* k = p;
    const char* ke = eq;
    while (k < ke && IsBlankChar(*k)) ++k;
    while (ke > k && IsBlankChar(ke[-1])) --ke;
    if (ke - k != 3 || !std::isdigit(static_cast<unsigned char>(k[0])) ||
        !std::isdigit(static_cast<unsigned char>(k[1])) || !std::isdigit(static_cast<unsigned char>(k[2]))) {
      continue;
    }
    const int number = (k[0] - '0') * 100 + (k[1] - '0') * 10 + (k[2] - '0');
    if (number < 1 || seen[number]) continue;
    seen[number] = true;
    const char* v = eq + 1;
    const char* ve = v + std::strlen(v);
    while (v < ve && IsBlankChar(*v)) ++v;
    while (ve > v && IsBlankChar(ve[-1])) --ve;
    if (ve - v >= 2 && (*v == '"' || *v == '\'') && ve[-1] == *v) {
      ++v;
      --ve;
    }
    (*lines)[number].assign(v, std::min<size_t>(static_cast<size_t>(ve - v), kTableValueSize - 1));
  }
}

// One numbered table line into `item`; false when it is shorter than three characters
// (missing, or too short to hold a code and a text: the end of the table).
bool ReadCodeTextItem(const std::string& value, CodeTextItem* item) {
  if (value.size() < 3) return false;
  std::memset(item, 0, sizeof(*item));
  // Code: the first word, at most 9 characters; text: the rest after blanks, at most 99.
  std::sscanf(value.c_str(), "%9s %99[^\n]", item->szItemCode, item->szItemText);
  return true;
}

// Caller holds g_tableLock.
void LoadTable(TableData* t, const char* section, const char* file, std::vector<CodeTextEntry>* list) {
  std::vector<std::string> lines;
  ReadNumberedLines(section, file, &lines);
  for (int n = 1; n <= kMaxTableLines; ++n) {
    CodeTextItem item;
    if (!ReadCodeTextItem(lines[n], &item)) break;
    CodeTextEntry entry;
    std::memcpy(entry.szItemCode, item.szItemCode, sizeof(entry.szItemCode));
    entry.pszText = t->texts.insert(std::string(item.szItemText)).first->c_str();
    list->push_back(entry);
  }
}

// Caller holds g_tableLock. Reloads both tables when the file (or the file's path) has
// changed since the last look, or always when bForce.
void RefreshTables(TableData* t, bool bForce = false) {
  char file[kKvPathSize];
  CopyConfigPath(file, sizeof(file));
  KvFileStamp now;
  KvGetFileStamp(file, &now);
  if (!bForce && t->loaded && t->stampPath == file && now.mtime == t->stamp.mtime &&
      now.size == t->stamp.size) {
    return;
  }
  t->transNames.clear();
  t->errInfos.clear();
  try {
    t->stampPath = file;
    t->stamp = now;
    t->loaded = true;
    if (now.mtime == 0 && now.size == 0) return;  // no file: both tables empty
    LoadTable(t, kSecTransName, file, &t->transNames);
    LoadTable(t, kSecErrInfo, file, &t->errInfos);
  } catch (const std::bad_alloc&) {
    // Out of memory: empty tables (default texts) and another try at the next lookup.
    t->transNames.clear();
    t->errInfos.clear();
    t->loaded = false;
  }
}

const char* Lookup(std::vector<CodeTextEntry> TableData::*list, const char* code, int length,
                   const char* def) {
  std::lock_guard<std::mutex> lock(g_tableLock);
  TableData* t = Tables();
  if (t == nullptr) return def;
  RefreshTables(t);
  if (code == nullptr || length <= 0) return def;
  // A code entry is 10 bytes with its terminator: no longer comparison can match more.
  const size_t n = length < 10 ? static_cast<size_t>(length) : 10u;
  for (const CodeTextEntry& e : t->*list) {
    if (std::memcmp(e.szItemCode, code, n) == 0) return e.pszText;
  }
  return def;
}

}  // namespace

void SetConfigFile(const char* path) {
  std::lock_guard<std::mutex> lock(g_pathLock);
  std::memset(g_szConfigFile, 0, sizeof(g_szConfigFile));
  if (path == nullptr) return;
  const size_t len = std::strlen(path);
  if (len + 1 > sizeof(g_szConfigFile)) return;  // does not fit: no file is found
  std::memcpy(g_szConfigFile, path, len + 1);
}

void GetConfigFile(char* out, size_t size) {
  if (out == nullptr || size == 0) return;
  CopyConfigPath(out, size);
}

void ReadComConfig(ComConfig* config) {
  if (config == nullptr) return;
  char file[kKvPathSize];
  CopyConfigPath(file, sizeof(file));
  config->dwPort = GetPrivateProfileIntA(kSecCom, "ComPort", 1, file);
  config->dwBaudRate = GetPrivateProfileIntA(kSecCom, "BaudRate", 9600, file);
  config->dwByteSize = GetPrivateProfileIntA(kSecCom, "ByteSize", 8, file);
  config->dwParity = GetPrivateProfileIntA(kSecCom, "Parity", 0, file);
  config->dwStopBits = GetPrivateProfileIntA(kSecCom, "StopBits", 0, file);
}

size_t ReadComDevice(char* out, size_t size) {
  if (out == nullptr || size == 0) return 0;
  char file[kKvPathSize];
  CopyConfigPath(file, sizeof(file));
  return GetPrivateProfileStringA(kSecCom, "Device", "", out, static_cast<DWORD>(size), file);
}

int GetDebugLogLevel() {
  const int level = ReadInt(kSecDebugLog, "DebugLog", 2);
  return level < 0 ? 0 : level;
}

void LoadCodeTextLists() {
  std::lock_guard<std::mutex> lock(g_tableLock);
  TableData* t = Tables();
  if (t != nullptr) RefreshTables(t, true);
}

int GetMaskCardNumber() { return ReadInt(kSecDebugLog, "MaskCardNumber", 1); }

const char* GetTransName(const char* code, int length) {
  return Lookup(&TableData::transNames, code, length, KV_DEFAULT_TRANS_NAME);
}

const char* GetRejCodeExplain(const char* code, int length) {
  return Lookup(&TableData::errInfos, code, length, KV_DEFAULT_REJ_EXPLAIN);
}

void GetPrintFileName(char* out, size_t size) {
  if (out == nullptr || size == 0) return;
  out[0] = '\0';
  char file[kKvPathSize];
  CopyConfigPath(file, sizeof(file));
  char folder[kKvPathSize];
  char name[kKvPathSize];
  GetPrivateProfileStringA(kSecTxtFileName, "FilePath", ".\\", folder, sizeof(folder), file);
  GetPrivateProfileStringA(kSecTxtFileName, "FileName", "print.txt", name, sizeof(name), file);
  if (folder[0] == '\0') std::strcpy(folder, ".\\");
  size_t len = std::strlen(folder);
  if (folder[len - 1] != '\\' && folder[len - 1] != '/') {
    if (len + 1 > kKvPathSize - 1) return;  // no room for the separator: no usable path
    folder[len++] = '\\';
    folder[len] = '\0';
  }
  CreateDirs(folder);
  const int n = std::snprintf(out, size, "%s%s", folder, name);
  if (n < 0 || static_cast<size_t>(n) >= size) out[0] = '\0';
}

int GetContentNum() { return ReadInt(kSecTxtFileContent, "ContentNum", 0); }

void ResolveContentEscapes(char* text) {
  if (text == nullptr) return;
  size_t w = 0;
  for (size_t r = 0; text[r] != '\0';) {
    const unsigned char c = static_cast<unsigned char>(text[r]);
    if (KvIsGbkLead(c) && text[r + 1] != '\0') {
      text[w++] = text[r++];  // a double-byte character: its trail byte is no backslash
      text[w++] = text[r++];
      continue;
    }
    if (c == '\\' && (text[r + 1] == 'n' || text[r + 1] == 'N')) {
      text[w++] = '\n';
      r += 2;
    } else if (c == '\\' && text[r + 1] == '\\') {
      text[w++] = '\\';
      r += 2;
    } else if (c == '\\' && text[r + 1] != '\0' && !KvIsGbkLead(static_cast<unsigned char>(text[r + 1]))) {
      text[w++] = text[r++];
      text[w++] = text[r++];
    } else {
      // A lone backslash, or one before a double-byte character: the character that
      // follows is taken whole on the next turn, so its trail byte never starts an escape.
      text[w++] = text[r++];
    }
  }
  text[w] = '\0';
}

void ReadContentLine(char* buffer, int size, int number) {
  if (buffer == nullptr || size <= 0) return;
  char file[kKvPathSize];
  CopyConfigPath(file, sizeof(file));
  char key[16];
  std::snprintf(key, sizeof(key), "%03d", number);
  GetPrivateProfileStringA(kSecTxtFileContent, key, "", buffer, static_cast<DWORD>(size), file);
  ResolveContentEscapes(buffer);
}

int GetConnTimeOut() { return ReadInt(kSecTcp, "ConnTimeOut", 20); }

void GetAllowedHosts(char* out, size_t size) {
  if (out == nullptr || size < 2) return;
  char file[kKvPathSize];
  CopyConfigPath(file, sizeof(file));
  const DWORD n = GetPrivateProfileStringA(kSecTcp, "AllowedHosts", "", out, static_cast<DWORD>(size), file);
  if (n + 1 < size) return;
  char* comma = std::strrchr(out, ',');
  if (comma != nullptr) *comma = '\0';
  if (comma == nullptr || std::strspn(out, " \t,") == std::strlen(out)) std::snprintf(out, size, ":");
}

int GetTradeTimeOut() {
  const long long ms = static_cast<long long>(ReadInt(kSecTcp, "TradeTimeOut", 60)) * 1000;
  if (ms > INT_MAX) return INT_MAX;
  if (ms < INT_MIN) return INT_MIN;
  return static_cast<int>(ms);
}
