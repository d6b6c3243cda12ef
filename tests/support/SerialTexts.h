// The texts the serial port's tests compare against: the system's message for an error code and
// what a call raised. Apart from pty_port.h because the unit tests and the Windows suite (no
// pseudo-terminals there) read them too.
#pragma once

#include <stdexcept>
#include <string>

#include "platform/platform.h"

// The message text the system gives for `code` (as FormatMessageA returns it), or "".
inline std::string SystemMessage(DWORD code) {
  char buf[512] = {0};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                 MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buf, sizeof(buf), nullptr);
  return n != 0 ? std::string(buf) : std::string();
}

// What a call raised, or "" when it raised nothing.
template <typename F>
std::string Raised(F f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return std::string();
}
