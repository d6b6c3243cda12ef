// Local time, the 32-bit millisecond tick and Sleep for the POSIX side.
#include <cerrno>
#include <ctime>

#include <sched.h>

#include "win32_posix.h"

void GetLocalTime(LPSYSTEMTIME lpSystemTime) {
  if (lpSystemTime == nullptr) return;
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  time_t secs = ts.tv_sec;
  struct tm lt {};
  localtime_r(&secs, &lt);
  lpSystemTime->wYear = static_cast<WORD>(lt.tm_year + 1900);
  lpSystemTime->wMonth = static_cast<WORD>(lt.tm_mon + 1);
  lpSystemTime->wDayOfWeek = static_cast<WORD>(lt.tm_wday);
  lpSystemTime->wDay = static_cast<WORD>(lt.tm_mday);
  lpSystemTime->wHour = static_cast<WORD>(lt.tm_hour);
  lpSystemTime->wMinute = static_cast<WORD>(lt.tm_min);
  lpSystemTime->wSecond = static_cast<WORD>(lt.tm_sec);
  lpSystemTime->wMilliseconds = static_cast<WORD>(ts.tv_nsec / 1000000);
}

DWORD GetTickCount(void) {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<DWORD>(ms);  // wraps like the system's tick count
}

void Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == 0) {
    sched_yield();
    return;
  }
  struct timespec req {};
  req.tv_sec = static_cast<time_t>(dwMilliseconds / 1000u);
  req.tv_nsec = static_cast<long>(dwMilliseconds % 1000u) * 1000000L;
  struct timespec rem {};
  while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}
