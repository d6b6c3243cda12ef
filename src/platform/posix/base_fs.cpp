// File-system helpers for the POSIX side: backslash paths, text-mode streams with
// CR LF line ends, wildcard folder listing, temporary folders.
#include <dirent.h>
#include <fnmatch.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>

#include "platform/platform_fs.h"

namespace {

// A text-mode stream over a binary one: "\n" is written as "\r\n", "\r\n" is read as "\n".
ssize_t TextWrite(void* cookie, const char* buf, size_t size) {
  FILE* f = static_cast<FILE*>(cookie);
  size_t start = 0;
  for (size_t i = 0; i < size; ++i) {
    if (buf[i] != '\n') continue;
    if (i > start && std::fwrite(buf + start, 1, i - start, f) != i - start) return 0;
    if (std::fwrite("\r\n", 1, 2, f) != 2) return 0;
    start = i + 1;
  }
  if (size > start && std::fwrite(buf + start, 1, size - start, f) != size - start) return 0;
  return static_cast<ssize_t>(size);
}

ssize_t TextRead(void* cookie, char* buf, size_t size) {
  FILE* f = static_cast<FILE*>(cookie);
  size_t n = 0;
  while (n < size) {
    int c = std::getc(f);
    if (c == EOF) break;
    if (c == '\r') {
      const int next = std::getc(f);
      if (next == '\n') {
        c = '\n';
      } else if (next != EOF) {
        std::ungetc(next, f);
      }
    }
    buf[n++] = static_cast<char>(c);
  }
  if (n == 0 && std::ferror(f)) return -1;
  return static_cast<ssize_t>(n);
}

int TextSeek(void* cookie, off64_t* offset, int whence) {
  FILE* f = static_cast<FILE*>(cookie);
  if (fseeko(f, *offset, whence) != 0) return -1;
  *offset = ftello(f);
  return 0;
}

int TextClose(void* cookie) { return std::fclose(static_cast<FILE*>(cookie)); }

int RemoveEntry(const char* path, const struct stat* st, int flag, struct FTW* ftw) {
  (void)st;
  (void)flag;
  (void)ftw;
  std::remove(path);
  return 0;
}

}  // namespace

bool KvNativePath(const char* path, char* out, size_t size) {
  if (out == nullptr || size == 0) return false;
  out[0] = '\0';
  if (path == nullptr) return false;
  const size_t len = std::strlen(path);
  if (len + 1 > size) return false;
  for (size_t i = 0; i < len; ++i) out[i] = (path[i] == '\\') ? '/' : path[i];
  out[len] = '\0';
  return true;
}

bool KvIsPathLeadByte(unsigned char) { return false; }

bool KvFileExists(const char* path) {
  char native[kKvPathSize];
  return KvNativePath(path, native, sizeof(native)) && access(native, F_OK) == 0;
}

int KvMakeDir(const char* path) {
  char native[kKvPathSize];
  if (!KvNativePath(path, native, sizeof(native))) return -1;
  return mkdir(native, 0777) == 0 ? 0 : -1;
}

int KvRemoveFile(const char* path) {
  char native[kKvPathSize];
  if (!KvNativePath(path, native, sizeof(native))) return -1;
  return std::remove(native) == 0 ? 0 : -1;
}

bool KvSyncFile(FILE* fp) {
  if (fp == nullptr || std::fflush(fp) != 0) return false;
  int rc;
  do {
    rc = fsync(fileno(fp));
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool KvSyncDir(const char* dir) {
  char native[kKvPathSize];
  if (dir == nullptr || !KvNativePath(dir, native, sizeof(native))) return false;
  if (native[0] == '\0') std::strcpy(native, ".");
  const int fd = open(native, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  int rc;
  do {
    rc = fsync(fd);
  } while (rc != 0 && errno == EINTR);
  const int saved = errno;
  close(fd);
  errno = saved;
  return rc == 0;
}

bool KvGetFileStamp(const char* path, KvFileStamp* stamp) {
  KvFileStamp result{0, 0};
  char native[kKvPathSize];
  struct stat st {};
  bool ok = KvNativePath(path, native, sizeof(native)) && stat(native, &st) == 0;
  if (ok) {
    result.mtime = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    result.size = static_cast<int64_t>(st.st_size);
  }
  if (stamp != nullptr) *stamp = result;
  return ok;
}

FILE* KvFopen(const char* path, const char* mode) {
  char native[kKvPathSize];
  if (mode == nullptr || !KvNativePath(path, native, sizeof(native))) return nullptr;
  // Every file of the library is close-on-exec: no program the cash register starts keeps it.
  char rawMode[16];
  const int m = std::snprintf(rawMode, sizeof(rawMode), "%se", mode);
  if (m < 0 || static_cast<size_t>(m) >= sizeof(rawMode)) return nullptr;
  FILE* raw = std::fopen(native, rawMode);
  if (raw == nullptr || std::strchr(mode, 'b') != nullptr) return raw;
  cookie_io_functions_t io{};
  io.read = TextRead;
  io.write = TextWrite;
  io.seek = TextSeek;
  io.close = TextClose;
  FILE* text = fopencookie(raw, mode, io);
  if (text == nullptr) std::fclose(raw);
  return text;
}

int KvListDir(const char* dir, const char* wildcard, KvDirEntryFn fn, void* ctx) {
  char native[kKvPathSize];
  if (wildcard == nullptr || !KvNativePath(dir, native, sizeof(native))) return -1;
  if (native[0] == '\0') std::strcpy(native, ".");
  DIR* d = opendir(native);
  if (d == nullptr) return -1;
  int count = 0;
  while (struct dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    if (fnmatch(wildcard, e->d_name, FNM_CASEFOLD) != 0) continue;
    ++count;
    if (fn != nullptr) fn(e->d_name, ctx);
  }
  closedir(d);
  return count;
}

bool KvMakeTempDir(char* out, size_t size) {
  if (out == nullptr || size == 0) return false;
  out[0] = '\0';
  const char* base = std::getenv("TMPDIR");
  if (base == nullptr || base[0] == '\0') base = "/tmp";
  char templ[kKvPathSize];
  const int n = std::snprintf(templ, sizeof(templ), "%s/kvtest.XXXXXX", base);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(templ)) return false;
  if (mkdtemp(templ) == nullptr) return false;
  if (std::strlen(templ) + 1 > size) {
    rmdir(templ);
    return false;
  }
  std::strcpy(out, templ);
  return true;
}

int KvRemoveTree(const char* path) {
  char native[kKvPathSize];
  if (!KvNativePath(path, native, sizeof(native)) || native[0] == '\0') return -1;
  nftw(native, RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  return access(native, F_OK) == 0 ? -1 : 0;
}

bool KvSetFileTime(const char* path, int64_t seconds) {
  char native[kKvPathSize];
  if (!KvNativePath(path, native, sizeof(native))) return false;
  struct timespec times[2]{};
  times[0].tv_sec = static_cast<time_t>(seconds);
  times[1].tv_sec = static_cast<time_t>(seconds);
  return utimensat(AT_FDCWD, native, times, 0) == 0;
}

bool KvGetCurrentDir(char* out, size_t size) {
  if (out == nullptr || size == 0) return false;
  if (getcwd(out, size) == nullptr) {
    out[0] = '\0';
    return false;
  }
  return true;
}

bool KvSetCurrentDir(const char* path) {
  char native[kKvPathSize];
  return KvNativePath(path, native, sizeof(native)) && chdir(native) == 0;
}
