// File-system helpers for Windows: paths are taken as they are; the C runtime's text
// mode already stores "\n" as "\r\n".
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <direct.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform_fs.h"

namespace {

// Joins folder and name with one backslash into `out` (kKvPathSize bytes).
bool JoinPath(const char* dir, const char* name, char* out) {
  const size_t dl = std::strlen(dir);
  const bool sep = dl > 0 && dir[dl - 1] != '\\' && dir[dl - 1] != '/';
  const int n = std::snprintf(out, kKvPathSize, "%s%s%s", dir, sep ? "\\" : "", name);
  return n >= 0 && static_cast<size_t>(n) < kKvPathSize;
}

}  // namespace

bool KvNativePath(const char* path, char* out, size_t size) {
  if (out == nullptr || size == 0) return false;
  out[0] = '\0';
  if (path == nullptr) return false;
  const size_t len = std::strlen(path);
  if (len + 1 > size) return false;
  std::memcpy(out, path, len + 1);
  return true;
}

bool KvIsPathLeadByte(unsigned char c) { return IsDBCSLeadByte(c) != FALSE; }

bool KvFileExists(const char* path) {
  char native[kKvPathSize];
  return KvNativePath(path, native, sizeof(native)) && _access(native, 0) == 0;
}

int KvMakeDir(const char* path) {
  char native[kKvPathSize];
  if (!KvNativePath(path, native, sizeof(native))) return -1;
  return _mkdir(native) == 0 ? 0 : -1;
}

int KvRemoveFile(const char* path) {
  char native[kKvPathSize];
  if (!KvNativePath(path, native, sizeof(native))) return -1;
  return std::remove(native) == 0 ? 0 : -1;
}

bool KvSyncFile(FILE* fp) {
  if (fp == nullptr || std::fflush(fp) != 0) return false;
  const intptr_t h = _get_osfhandle(_fileno(fp));
  return h != -1 && FlushFileBuffers(reinterpret_cast<HANDLE>(h)) != 0;
}

bool KvSyncDir(const char* dir) { return dir != nullptr; }

bool KvGetFileStamp(const char* path, KvFileStamp* stamp) {
  KvFileStamp result{0, 0};
  char native[kKvPathSize];
  WIN32_FILE_ATTRIBUTE_DATA data;
  const bool ok = KvNativePath(path, native, sizeof(native)) &&
                  GetFileAttributesExA(native, GetFileExInfoStandard, &data);
  if (ok) {
    result.mtime = (static_cast<int64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                   data.ftLastWriteTime.dwLowDateTime;
    result.size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }
  if (stamp != nullptr) *stamp = result;
  return ok;
}

FILE* KvFopen(const char* path, const char* mode) {
  char native[kKvPathSize];
  if (mode == nullptr || !KvNativePath(path, native, sizeof(native))) return nullptr;
  return std::fopen(native, mode);
}

int KvListDir(const char* dir, const char* wildcard, KvDirEntryFn fn, void* ctx) {
  char pattern[kKvPathSize];
  if (dir == nullptr || wildcard == nullptr || !JoinPath(dir[0] ? dir : ".", wildcard, pattern)) return -1;
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA(pattern, &fd);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    return (err == ERROR_FILE_NOT_FOUND || err == ERROR_NO_MORE_FILES) ? 0 : -1;
  }
  int count = 0;
  do {
    if (std::strcmp(fd.cFileName, ".") == 0 || std::strcmp(fd.cFileName, "..") == 0) continue;
    ++count;
    if (fn != nullptr) fn(fd.cFileName, ctx);
  } while (FindNextFileA(h, &fd));
  FindClose(h);
  return count;
}

bool KvMakeTempDir(char* out, size_t size) {
  if (out == nullptr || size == 0) return false;
  out[0] = '\0';
  char base[MAX_PATH + 1];
  const DWORD n = GetTempPathA(sizeof(base), base);
  if (n == 0 || n > MAX_PATH) return false;
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    char dir[kKvPathSize];
    const int m = std::snprintf(dir, sizeof(dir), "%skvtest.%lu.%lu.%u", base,
                                static_cast<unsigned long>(GetCurrentProcessId()),
                                static_cast<unsigned long>(GetTickCount()), attempt);
    if (m < 0 || static_cast<size_t>(m) >= sizeof(dir) || static_cast<size_t>(m) + 1 > size) return false;
    if (CreateDirectoryA(dir, nullptr)) {
      std::memcpy(out, dir, static_cast<size_t>(m) + 1);
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

int KvRemoveTree(const char* path) {
  if (path == nullptr || path[0] == '\0') return -1;
  char pattern[kKvPathSize];
  if (JoinPath(path, "*", pattern)) {
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA(pattern, &fd);
    if (h != INVALID_HANDLE_VALUE) {
      do {
        if (std::strcmp(fd.cFileName, ".") == 0 || std::strcmp(fd.cFileName, "..") == 0) continue;
        char child[kKvPathSize];
        if (!JoinPath(path, fd.cFileName, child)) continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          KvRemoveTree(child);
        } else {
          DeleteFileA(child);
        }
      } while (FindNextFileA(h, &fd));
      FindClose(h);
    }
  }
  RemoveDirectoryA(path);
  return _access(path, 0) == 0 ? -1 : 0;
}

bool KvSetFileTime(const char* path, int64_t seconds) {
  HANDLE h = CreateFileA(path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const uint64_t ticks = (static_cast<uint64_t>(seconds) + 11644473600ull) * 10000000ull;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  const BOOL ok = SetFileTime(h, nullptr, nullptr, &ft);
  CloseHandle(h);
  return ok != FALSE;
}

bool KvGetCurrentDir(char* out, size_t size) {
  if (out == nullptr || size == 0) return false;
  const DWORD n = GetCurrentDirectoryA(static_cast<DWORD>(size), out);
  if (n == 0 || n >= size) {
    out[0] = '\0';
    return false;
  }
  return true;
}

bool KvSetCurrentDir(const char* path) { return path != nullptr && SetCurrentDirectoryA(path) != FALSE; }
