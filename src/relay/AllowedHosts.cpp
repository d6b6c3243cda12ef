// The relay's destination list: parsing and matching of [TCP] AllowedHosts.
#include "relay/AllowedHosts.h"

#include <climits>
#include <cstdio>
#include <cstring>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// A decimal number as "%d" of scanf reads it: leading blanks skipped, an optional sign, at least
// one digit; out-of-range values saturate. Returns the position after the number, or null.
const char* ReadDecimal(const char* p, long long* value) {
  while (IsBlank(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  if (*p < '0' || *p > '9') return nullptr;
  long long v = 0;
  while (*p >= '0' && *p <= '9') {
    if (v <= INT_MAX) v = v * 10 + (*p - '0');
    ++p;
  }
  if (negative) v = -v;
  if (v > INT_MAX) v = INT_MAX;
  if (v < INT_MIN) v = INT_MIN;
  *value = v;
  return p;
}

bool SameTextNoCase(const char* a, size_t aLen, const char* b) {
  if (std::strlen(b) != aLen) return false;
  for (size_t i = 0; i < aLen; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Port of an entry: "*" (any, -1) or a plain decimal number 0..65535. False when malformed.
bool ReadEntryPort(const char* p, size_t len, long* port) {
  if (len == 1 && p[0] == '*') {
    *port = -1;
    return true;
  }
  if (len == 0 || len > 5) return false;
  long v = 0;
  for (size_t i = 0; i < len; ++i) {
    if (p[i] < '0' || p[i] > '9') return false;
    v = v * 10 + (p[i] - '0');
  }
  if (v > 65535) return false;
  *port = v;
  return true;
}

// One entry (blanks already trimmed) against the normalised destination.
bool EntryMatches(const char* entry, size_t len, const char* host, unsigned port) {
  const char* colon = nullptr;
  for (size_t i = len; i > 0; --i) {
    if (entry[i - 1] == ':') {
      colon = entry + i - 1;
      break;
    }
  }
  if (colon == nullptr || colon == entry) return false;
  long entryPort = 0;
  const size_t hostLen = static_cast<size_t>(colon - entry);
  if (!ReadEntryPort(colon + 1, len - hostLen - 1, &entryPort)) return false;
  if (entryPort >= 0 && static_cast<unsigned>(entryPort) != port) return false;
  char raw[kAllowedHostsSize];
  if (hostLen >= sizeof(raw)) return false;
  std::memcpy(raw, entry, hostLen);
  raw[hostLen] = '\0';
  char normal[kAllowedHostsSize];
  NormalizeHostText(raw, normal, sizeof(normal));
  return SameTextNoCase(normal, std::strlen(normal), host);
}

}  // namespace

void NormalizeHostText(const char* host, char* out, size_t size) {
  if (out == nullptr || size == 0) return;
  out[0] = '\0';
  if (host == nullptr) return;
  long long part[4];
  const char* p = host;
  bool dotted = true;
  for (int i = 0; i < 4 && dotted; ++i) {
    if (i > 0) {
      if (*p != '.') {
        dotted = false;
        break;
      }
      ++p;
    }
    p = ReadDecimal(p, &part[i]);
    dotted = p != nullptr;
  }
  if (dotted) {
    std::snprintf(out, size, "%d.%d.%d.%d", static_cast<int>(part[0]), static_cast<int>(part[1]),
                  static_cast<int>(part[2]), static_cast<int>(part[3]));
  } else {
    std::snprintf(out, size, "%s", host);
  }
}

unsigned RelayPortNumber(const char* text) {
  long long v = 0;
  if (text == nullptr || ReadDecimal(text, &v) == nullptr) return 0;
  if (v < 0 || v > 65535) return 0;
  return static_cast<unsigned>(v);
}

bool IsDestinationAllowed(const char* list, const char* host, unsigned port) {
  if (list == nullptr) return true;
  const char* p = list;
  while (IsBlank(*p) || *p == ',') ++p;
  if (*p == '\0') return true;  // no entry at all: every destination, as before the list existed
  char normal[kAllowedHostsSize];
  NormalizeHostText(host != nullptr ? host : "", normal, sizeof(normal));
  for (;;) {
    while (IsBlank(*p)) ++p;
    const char* start = p;
    while (*p != '\0' && *p != ',') ++p;
    const char* end = p;
    while (end > start && IsBlank(end[-1])) --end;
    if (end > start && EntryMatches(start, static_cast<size_t>(end - start), normal, port)) return true;
    if (*p == '\0') return false;
    ++p;
  }
}
