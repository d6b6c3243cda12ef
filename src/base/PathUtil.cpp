// The library's folder, folder creation, file-name parts and the time pattern formatter.
#include "base/PathUtil.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

std::atomic<HMODULE> g_hModule{nullptr};

std::mutex g_overrideLock;
char g_szModuleDirOverride[kKvPathSize] = {0};

const char kDefaultPattern[] = "YYYY-MM-DD hh:mm:ss";

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsPatternLetter(char c) { return c == 'Y' || c == 'M' || c == 'D' || c == 'h' || c == 'm' || c == 's'; }

// Appends to a buffer of fixed size, dropping what does not fit (one byte is kept for
// the terminator).
class BoundedOut {
 public:
  BoundedOut(char* out, size_t size) : out_(out), size_(size) {}
  void Put(char c) {
    if (pos_ + 1 < size_) out_[pos_++] = c;
  }
  void Finish() {
    if (size_ > 0) out_[pos_] = '\0';
  }

 private:
  char* out_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace

void SetModuleHandleForPaths(HMODULE hModule) { g_hModule.store(hModule); }

HMODULE GetModuleHandleForPaths() { return g_hModule.load(); }

void SetModuleDirOverride(const char* dir) {
  std::lock_guard<std::mutex> lock(g_overrideLock);
  std::memset(g_szModuleDirOverride, 0, sizeof(g_szModuleDirOverride));
  if (dir == nullptr) return;
  const size_t len = std::strlen(dir);
  if (len == 0 || len + 2 > sizeof(g_szModuleDirOverride)) return;  // room for a separator
  std::memcpy(g_szModuleDirOverride, dir, len);
  if (!IsSeparator(dir[len - 1])) g_szModuleDirOverride[len] = KV_PATH_SEP;
}

bool GetModuleDir(char* out, size_t size) {
  if (out == nullptr || size == 0) return false;
  std::memset(out, 0, size);
  {
    std::lock_guard<std::mutex> lock(g_overrideLock);
    const size_t len = std::strlen(g_szModuleDirOverride);
    if (len > 0 && len < size) {
      std::memcpy(out, g_szModuleDirOverride, len);
      return true;
    }
  }
  bool found = true;
  HMODULE h = g_hModule.load();
  if (h != nullptr) {
    found = false;
    char path[kKvPathSize] = {0};
    const DWORD n = GetModuleFileNameA(h, path, sizeof(path));
    if (n > 0 && n < sizeof(path)) {
      const char* name = GetFileNamePart(path);
      const size_t dirLen = static_cast<size_t>(name - path);  // separator included
      if (dirLen > 0 && dirLen < size) {
        std::memcpy(out, path, dirLen);
        found = true;
      }
    }
  }
  if (out[0] == '\0' && size >= 3) {
    out[0] = '.';
    out[1] = KV_PATH_SEP;
  }
  return found;
}

int CreateDirs(const char* path) {
  if (path == nullptr) return -1;
  char work[kKvPathSize];
  const size_t len = std::strlen(path);
  if (len + 1 > sizeof(work)) return -1;
  std::memcpy(work, path, len + 1);
  for (size_t i = 0; i <= len; ++i) {
    if (i < len && KvIsPathLeadByte(static_cast<unsigned char>(work[i])) && i + 1 < len) {
      ++i;  // the trail byte of a double-byte character is never a separator
      continue;
    }
    if (i < len && !IsSeparator(work[i])) continue;
    // An absolute POSIX path begins at the root, which always exists.
    if (i == 0 && len > 0 && KV_PATH_SEP == '/') continue;
    const char saved = work[i];
    work[i] = '\0';
    if (!KvFileExists(work) && KvMakeDir(work) != 0) return -1;
    work[i] = saved;
  }
  return 0;
}

const char* GetFileNamePart(const char* path) {
  if (path == nullptr) return "";
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (KvIsPathLeadByte(static_cast<unsigned char>(*p)) && p[1] != '\0') {
      ++p;
      continue;
    }
    if (IsSeparator(*p)) name = p + 1;
  }
  return name;
}

int GetTimeField(char c, const SYSTEMTIME& t, int width) {
  switch (c) {
    case 'Y': {
      int year = t.wYear;
      if (width == 1 || width == 2) year %= 100;
      if (width == 3) year %= 1000;
      if (width == 4) year %= 10000;
      return year;
    }
    case 'M':
      return t.wMonth;
    case 'D':
      return t.wDay;
    case 'h':
      return t.wHour;
    case 'm':
      return t.wMinute;
    case 's':
      return t.wSecond;
    default:
      return -1;
  }
}

char* FormatTime(char* out, size_t size, const char* pattern, const SYSTEMTIME& t) {
  if (out == nullptr) return out;
  if (pattern == nullptr || pattern[0] == '\0') pattern = kDefaultPattern;
  BoundedOut w(out, size);
  for (size_t i = 0; pattern[i] != '\0';) {
    const char c = pattern[i];
    if (!IsPatternLetter(c)) {
      w.Put(c);
      ++i;
      continue;
    }
    size_t n = 0;
    while (pattern[i + n] == c) ++n;
    i += n;
    const size_t width = (n % 2 == 1) ? n + 1 : (n < 4 ? n : 4);
    char digits[16];
    const int len = std::snprintf(digits, sizeof(digits), "%d", GetTimeField(c, t, static_cast<int>(width)));
    for (size_t k = static_cast<size_t>(len); k < width; ++k) w.Put('0');
    for (int k = 0; k < len; ++k) w.Put(digits[k]);
  }
  w.Finish();
  return out;
}

char* FormatNow(char* out, size_t size, const char* pattern) {
  SYSTEMTIME t;
  GetLocalTime(&t);
  return FormatTime(out, size, pattern, t);
}
