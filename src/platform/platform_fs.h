// Portable file-system helpers: the few C runtime file services whose names or
// behaviour differ between Windows and POSIX.
//
// Path texts follow the system's own conventions: a backslash separates folders on
// both systems. On POSIX a path is bytes: every helper below first turns each backslash
// into a slash, whatever precedes it (a folder named in UTF-8 may hold any byte from
// 0x80 up); on Windows the path is passed on unchanged. A path that does not fit MAX_PATH (260 bytes,
// terminator included) is refused by every helper like a file that cannot be opened.
//
// How the helpers answer: a question or a step of our own answers bool (true: yes, done). The
// four that stand for a C runtime call answer as that call does: KvMakeDir, KvRemoveFile and
// KvRemoveTree 0 or -1 (mkdir, remove), KvListDir a count or -1; KvFopen a stream or null.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#ifdef _WIN32
#define KV_PATH_SEP '\\'
#define KV_PATH_SEP_STR "\\"
#else
#define KV_PATH_SEP '/'
#define KV_PATH_SEP_STR "/"
#endif

// Size of every path buffer of the system, terminator included.
constexpr size_t kKvPathSize = 260;

// True for a byte that starts a GBK double-byte character (0x81..0xFE). For texts known
// to be GBK (Config.ini values); paths use KvIsPathLeadByte.
inline bool KvIsGbkLead(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

// True when `c` starts a double-byte character in the system's narrow path encoding, so
// that the byte after it is never a separator: on Windows the lead bytes of the ANSI code
// page (IsDBCSLeadByte: GBK under 936, none under 1252); on POSIX never (paths are bytes).
bool KvIsPathLeadByte(unsigned char c);

// Copies `path` into `out` (of `size` bytes) in the form the operating system takes:
// backslashes become slashes on POSIX. Returns false (with `out` empty when size > 0)
// when the path is null or does not fit.
bool KvNativePath(const char* path, char* out, size_t size);

// access(path, 0): true when the file or folder exists.
bool KvFileExists(const char* path);

// Creates one folder (not its parents). 0 on success, -1 on failure.
int KvMakeDir(const char* path);

// Removes one file. 0 on success, -1 on failure.
int KvRemoveFile(const char* path);

// What identifies one state of a file's content for change detection: the
// modification time at the finest resolution the system offers, and the size.
struct KvFileStamp {
  int64_t mtime;  // 0 when the file cannot be examined
  int64_t size;
};
// False (and a zero stamp) when the file cannot be examined.
bool KvGetFileStamp(const char* path, KvFileStamp* stamp);

// fopen with the Windows C runtime's text-mode rules on both systems: unless `mode`
// holds 'b', every "\n" written is stored as "\r\n" and every "\r\n" read is
// delivered as "\n". The stream is closed with fclose.
FILE* KvFopen(const char* path, const char* mode);

// Flushes a stream and then asks the system to put the file's data on the disk (fsync on
// POSIX, FlushFileBuffers on Windows). False when either step fails.
bool KvSyncFile(FILE* fp);
// Puts a folder's entries on the disk after a file was created in it (fsync of the folder on
// POSIX; on Windows the file system keeps its own entries: true).
bool KvSyncDir(const char* dir);

// Calls `fn` with the bare name of every entry of folder `dir` whose name matches
// `wildcard` ('*' and '?', letters compared without regard to case, as on Windows).
// Returns the number of matches, or -1 when the folder cannot be read. The callback
// may remove the entry it is given.
typedef void (*KvDirEntryFn)(const char* name, void* ctx);
int KvListDir(const char* dir, const char* wildcard, KvDirEntryFn fn, void* ctx);

// The process's current folder (for tools and tests that must run somewhere else).
bool KvGetCurrentDir(char* out, size_t size);
bool KvSetCurrentDir(const char* path);

// For tests and tools: a new, empty, uniquely named folder below the system's
// temporary folder; its path (ending without a separator) is written to `out`.
bool KvMakeTempDir(char* out, size_t size);
// Removes a folder and everything below it (best effort). 0 when it is gone.
int KvRemoveTree(const char* path);
// Sets a file's modification time to `seconds` since 1970 (tests of change detection).
bool KvSetFileTime(const char* path, int64_t seconds);
