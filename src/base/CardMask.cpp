// Masking of card numbers for the log.
#include "base/CardMask.h"

namespace {

bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

// Digits kept at the front of a run that is long enough to keep them.
constexpr size_t kKeepFirst = 6;
constexpr size_t kKeepLast = 4;
constexpr size_t kKeepBothFrom = 10;

}  // namespace

void MaskDigitRun(unsigned char* run, size_t n) {
  if (run == nullptr || n <= kKeepLast) return;
  const size_t from = n >= kKeepBothFrom ? kKeepFirst : 0;
  for (size_t i = from; i < n - kKeepLast; ++i) run[i] = kCardMaskByte;
}

void MaskCardField(unsigned char* field, size_t width) {
  if (field == nullptr) return;
  size_t n = 0;
  while (n < width && IsDigit(field[n])) ++n;
  MaskDigitRun(field, n);
}

void MaskDigitRuns(unsigned char* data, size_t len) {
  if (data == nullptr) return;
  size_t i = 0;
  while (i < len) {
    if (!IsDigit(data[i])) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < len && IsDigit(data[end])) ++end;
    // A longer run than any card number is masked too: a card number written right before
    // other digits (the next field of a record) must not show whole.
    if (end - i >= kCardMinRun) MaskDigitRun(data + i, end - i);
    i = end;
  }
}

DumpMask CardFieldMask(int offset) { return DumpMask{{offset, -1}, 1, 0, 0}; }

DumpMask DigitRunMask(int from, int to) { return DumpMask{{-1, -1}, 0, from, to}; }

void ApplyDumpMask(unsigned char* data, size_t len, const DumpMask& mask) {
  if (data == nullptr) return;
  for (int k = 0; k < mask.fieldCount && k < 2; ++k) {
    const int off = mask.fieldOffset[k];
    if (off < 0 || static_cast<size_t>(off) >= len) continue;
    size_t width = len - static_cast<size_t>(off);
    if (width > static_cast<size_t>(kCardFieldWidth)) width = kCardFieldWidth;
    MaskCardField(data + off, width);
  }
  if (mask.runsFrom >= 0 && static_cast<size_t>(mask.runsFrom) < len) {
    size_t to = mask.runsTo < 0 ? len : static_cast<size_t>(mask.runsTo);
    if (to > len) to = len;
    if (to > static_cast<size_t>(mask.runsFrom)) {
      MaskDigitRuns(data + mask.runsFrom, to - static_cast<size_t>(mask.runsFrom));
    }
  }
}
