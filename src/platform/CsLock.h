// Holds a critical section for the life of a scope: the one small helper the platform seam
// adds to the Win32 calls, so that every lock of the library is left on every path out.
#pragma once

#include "platform/platform.h"

class CsLock {
 public:
  explicit CsLock(CRITICAL_SECTION* cs) : cs_(cs) { EnterCriticalSection(cs_); }
  ~CsLock() { LeaveCriticalSection(cs_); }
  CsLock(const CsLock&) = delete;
  CsLock& operator=(const CsLock&) = delete;

 private:
  CRITICAL_SECTION* cs_;
};
