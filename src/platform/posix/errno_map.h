// errno to Win32 error numbers, for the POSIX implementation of the platform seam.
#pragma once

#include "win32_posix.h"

// The Win32 number that stands for C library error `err` (ERROR_GEN_FAILURE when
// there is no closer one).
DWORD KvWin32ErrorFromErrno(int err);

// SetLastError(KvWin32ErrorFromErrno(err)).
void KvSetLastErrorFromErrno(int err);
