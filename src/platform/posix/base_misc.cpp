// wsprintfA and the user32 notification calls for the POSIX side. There are no
// windows or thread message queues here: notifications always fail.
#include <cstdio>

#include "win32_posix.h"

namespace {
constexpr DWORD kErrorInvalidWindowHandle = 1400;
constexpr DWORD kErrorInvalidThreadId = 1444;
// wsprintfA writes at most this many bytes, terminator included.
constexpr int kWsprintfMax = 1024;
}  // namespace

int wsprintfA(LPSTR out, LPCSTR fmt, ...) {
  if (out == nullptr || fmt == nullptr) return 0;
  va_list ap;
  va_start(ap, fmt);
  const int n = std::vsnprintf(out, kWsprintfMax, fmt, ap);
  va_end(ap);
  if (n < 0) {
    out[0] = '\0';
    return 0;
  }
  return n < kWsprintfMax ? n : kWsprintfMax - 1;
}

BOOL IsWindow(HWND hWnd) {
  (void)hWnd;
  return FALSE;
}

BOOL PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  (void)hWnd;
  (void)Msg;
  (void)wParam;
  (void)lParam;
  SetLastError(kErrorInvalidWindowHandle);
  return FALSE;
}

LRESULT SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  (void)hWnd;
  (void)Msg;
  (void)wParam;
  (void)lParam;
  SetLastError(kErrorInvalidWindowHandle);
  return 0;
}

BOOL PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
  (void)idThread;
  (void)Msg;
  (void)wParam;
  (void)lParam;
  SetLastError(kErrorInvalidThreadId);
  return FALSE;
}
