#include "serial/SpAssert.h"

#include <cstdio>
#include <cstring>

char* ComposeSpAssertText(const char* text, DWORD code, char* out) {
  snprintf(out, kSpAssertTextSize, "%s", text != nullptr ? text : "");
  if (code == 0) return out;
  size_t len = strlen(out);
  const int room = static_cast<int>(kSpAssertTextSize - len);
  const int want = snprintf(out + len, kSpAssertTextSize - len, "Code:%d; ", static_cast<int>(code));
  if (want < 0 || want >= room) return out;  // "Code:%d; " cut short: no room for a message
  len = strlen(out);
  // The message starts on the final blank of "Code:%d; ", right after the semicolon.
  char* message = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&message), 0, nullptr);
  if (n != 0 && message != nullptr) {
    // At most 255 - len characters of the message, so the text stays within 255 characters.
    const size_t limit = kSpAssertTextSize - 1 - len;
    size_t copy = strlen(message);
    if (copy > limit) copy = limit;
    memcpy(out + len - 1, message, copy);
    out[len - 1 + copy] = '\0';
  }
  if (message != nullptr) LocalFree(message);
  return out;
}

void RaiseSpAssert(const char* text) {
  const DWORD code = GetLastError();
  char composed[kSpAssertTextSize];
  ComposeSpAssertText(text, code, composed);
  throw std::runtime_error(composed);
}
