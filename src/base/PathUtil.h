// Path and time helpers shared by the log and the configuration: the library's own
// folder, folder creation, the file-name part of a path, and the date/time pattern
// formatter. A leaf of the base room: nothing here includes the library above the platform.
#pragma once

#include <cstddef>

#include "platform/platform.h"

// Records the module handle of the library (the process-attach handle). Until it is
// set, GetModuleDir gives ".\" (the current folder). On POSIX any non-null handle
// stands for "this library": its path is found from the address of our own code.
void SetModuleHandleForPaths(HMODULE hModule);
HMODULE GetModuleHandleForPaths();

// Test hook: when `dir` is non-null and not empty, GetModuleDir returns it (a
// separator is added when it lacks one) instead of asking the system; null or ""
// removes the override. Lets tests place the log and Config.ini in a temporary folder.
void SetModuleDirOverride(const char* dir);

// The folder of the library's module file, ending with the platform's separator;
// ".\" (POSIX "./") when the module handle is unknown. The buffer is cleared first.
// False when the handle is known but its folder cannot be had (the module's path does
// not fit 260 bytes or `size`, or the system gives none): `out` then holds ".\" too, for
// the log, but the library's own files (Config.ini) must not be looked for there.
bool GetModuleDir(char* out, size_t size);

// Creates every missing folder along `path` (separators '\' and '/'; the text after
// the last separator is taken as a folder too). 0 on success, -1 when a folder cannot
// be created or the path does not fit 260 bytes. A path starting with a separator
// fails at its empty first prefix.
int CreateDirs(const char* path);

// The part of `path` after its last separator ('\' or '/'); the whole path when it
// has none. A null path gives "".
const char* GetFileNamePart(const char* path);

// Pattern letters: Y year, M month, D day, h hour, m minute, s second. A run of n
// equal letters is one number zero-padded to n + 1 digits when n is odd, to
// min(n, 4) when n is even; Y keeps the last digits of the year that fit the width.
// Returns the value for letter `c` at width `width`, or -1 for a non-pattern letter.
int GetTimeField(char c, const SYSTEMTIME& t, int width);

// Formats time `t` with `pattern` (null or "" means "YYYY-MM-DD hh:mm:ss") into `out`.
// Never writes past `size` bytes; the result is always terminated when size > 0.
char* FormatTime(char* out, size_t size, const char* pattern, const SYSTEMTIME& t);
// FormatTime with the current local time.
char* FormatNow(char* out, size_t size, const char* pattern);
