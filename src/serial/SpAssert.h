// SP_ASSERT: the serial layer's one way of reporting a failed precondition or a refused
// system call. The check raises std::runtime_error with the text
//   "SP_ASSERT(<condition>) failed; SerialPort(<line>); "
// followed, when the thread's last system error code is not 0, by "Code:<n>;" and the
// system's message for that code. The text never exceeds 255 characters.
#pragma once

#include <stdexcept>

#include "platform/platform.h"

// Room for a composed assertion text, terminator included.
constexpr size_t kSpAssertTextSize = 256;

// Composes the assertion text for the fixed text `text` and the system error `code` into
// `out` (kSpAssertTextSize bytes). Returns out.
char* ComposeSpAssertText(const char* text, DWORD code, char* out);

// Composes the text with the calling thread's GetLastError() and throws it as runtime_error.
[[noreturn]] void RaiseSpAssert(const char* text);

// `text` is the whole fixed text of the check, as a literal, for instance
//   SP_ASSERT(IsOpen(), "SP_ASSERT(IsOpen()) failed; SerialPort(497); ");
#define SP_ASSERT(cond, text) \
  do {                        \
    if (!(cond)) {            \
      ::RaiseSpAssert(text);  \
    }                         \
  } while (0)
