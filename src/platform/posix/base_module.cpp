// GetModuleFileNameA for the POSIX side. There is one module of interest: the shared
// object (or program) holding this code. Any handle, null included, names it.
#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>

#include "win32_posix.h"

namespace {

// An address inside this module, for dladdr.
void ModuleAnchor() {}

// Absolute path of the module holding ModuleAnchor into `out` (PATH_MAX bytes).
bool FindModulePath(char* out) {
  Dl_info info{};
  struct link_map* map = nullptr;
  const char* name = nullptr;
  if (dladdr1(reinterpret_cast<void*>(&ModuleAnchor), &info, reinterpret_cast<void**>(&map),
              RTLD_DL_LINKMAP) != 0 &&
      map != nullptr && map->l_name != nullptr && map->l_name[0] != '\0') {
    name = map->l_name;  // a shared object: the path it was loaded from
  }
  char self[PATH_MAX];
  if (name == nullptr) {
    // The main program: its loader entry carries no path.
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) return false;
    self[n] = '\0';
    name = self;
  }
  return realpath(name, out) != nullptr;
}

// Found once at load, while the current directory is still the one a relative load
// path refers to; read-only afterwards.
char g_modulePath[PATH_MAX];
bool g_modulePathKnown = false;

__attribute__((constructor)) void RecordModulePath() { g_modulePathKnown = FindModulePath(g_modulePath); }

}  // namespace

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  (void)hModule;
  if (lpFilename == nullptr || nSize == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  char path[PATH_MAX];
  if (g_modulePathKnown) {
    std::memcpy(path, g_modulePath, sizeof(path));
  } else if (!FindModulePath(path)) {
    lpFilename[0] = '\0';
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  const size_t len = std::strlen(path);
  if (len + 1 > nSize) {
    // Cut and terminated; the full size is returned with ERROR_INSUFFICIENT_BUFFER.
    std::memcpy(lpFilename, path, nSize - 1);
    lpFilename[nSize - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
  }
  std::memcpy(lpFilename, path, len + 1);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(len);
}
