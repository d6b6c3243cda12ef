// The card-terminal library as the register meets it: found beside this program, loaded at run time
// (dlopen + dlsym here, LoadLibrary + GetProcAddress by ordinal on Windows) and its four calls looked up.
// Separate from the run and the output so that the doctor and the transaction load it the same way.
#pragma once

#include <string>

#include "KorvessaDLL.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

namespace korvessa {

// The folder part of a path ("." when it has none).
std::string DirOf(const std::string& path);
// The folder this program was started from ("." when it cannot be had).
std::string ProgramDir();
// The library beside this program.
std::string DefaultLibrary();

struct Library {
#ifdef _WIN32
  HMODULE h = nullptr;
#else
  void* h = nullptr;
#endif
  PFN_BankTrans bankTrans = nullptr;
  PFN_PutValue putValue = nullptr;
  PFN_TransProcess transProcess = nullptr;
  PFN_GetValue getValue = nullptr;

  Library() = default;
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  // False with the reason in *err when the file cannot be loaded or lacks one of the four calls.
  bool Load(const std::string& path, std::string* err);
  ~Library();
};

}  // namespace korvessa
