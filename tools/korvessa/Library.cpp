// Loading the card-terminal library at run time, as a register does (see Library.h).
#include "Library.h"

#ifndef _WIN32
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace korvessa {

std::string DirOf(const std::string& path) {
  const size_t s = path.find_last_of("/\\");
  return s == std::string::npos ? std::string(".") : path.substr(0, s);
}

std::string ProgramDir() {
#ifdef _WIN32
  char buf[MAX_PATH] = {0};
  const DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
  if (n == 0 || n >= sizeof buf) return ".";
  return DirOf(buf);
#else
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  buf[n] = 0;
  return DirOf(buf);
#endif
}

std::string DefaultLibrary() {
#ifdef _WIN32
  return ProgramDir() + "\\KorvessaDLL.dll";
#else
  return ProgramDir() + "/libKorvessaDLL.so";
#endif
}

bool Library::Load(const std::string& path, std::string* err) {
#ifdef _WIN32
  h = LoadLibraryA(path.c_str());
  if (!h) {
    *err = "LoadLibrary failed, error " + std::to_string(GetLastError());
    return false;
  }
  // By ordinal, as the registers do: 1 BankTrans, 2 PutValue, 3 TransProcess, 4 GetValue.
  bankTrans =
      reinterpret_cast<PFN_BankTrans>(reinterpret_cast<void*>(GetProcAddress(h, MAKEINTRESOURCEA(1))));
  putValue = reinterpret_cast<PFN_PutValue>(reinterpret_cast<void*>(GetProcAddress(h, MAKEINTRESOURCEA(2))));
  transProcess =
      reinterpret_cast<PFN_TransProcess>(reinterpret_cast<void*>(GetProcAddress(h, MAKEINTRESOURCEA(3))));
  getValue = reinterpret_cast<PFN_GetValue>(reinterpret_cast<void*>(GetProcAddress(h, MAKEINTRESOURCEA(4))));
#else
  h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) {
    const char* e = dlerror();
    *err = e ? e : "dlopen failed";
    return false;
  }
  bankTrans = reinterpret_cast<PFN_BankTrans>(dlsym(h, "BankTrans"));
  putValue = reinterpret_cast<PFN_PutValue>(dlsym(h, "PutValue"));
  transProcess = reinterpret_cast<PFN_TransProcess>(dlsym(h, "TransProcess"));
  getValue = reinterpret_cast<PFN_GetValue>(dlsym(h, "GetValue"));
#endif
  if (!bankTrans || !putValue || !transProcess || !getValue) {
    *err = "the library does not export BankTrans, PutValue, TransProcess and GetValue";
    return false;
  }
  return true;
}

Library::~Library() {
#ifdef _WIN32
  // Left to the end of the process, as a register closed at the end of a shift does: Windows
  // ends the library's worker threads before it detaches the library. A FreeLibrary while they
  // run waits for them under the loader lock, where they cannot end (bounded, but seconds).
  (void)h;
#else
  if (h) dlclose(h);
#endif
}

}  // namespace korvessa
