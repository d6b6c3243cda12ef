// The one header through which the rest of the library reaches the operating system.
// On Windows it is the real Win32 API; on POSIX, posix/win32_posix.h declares the same
// subset under the same names and contracts, implemented in src/platform/posix/.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <windows.h>
#include <process.h>
#else
#include "posix/win32_posix.h"
#endif

#include "platform_fs.h"
