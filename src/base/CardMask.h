// Card numbers in what the log shows: at most the first six and the last four digits of a card
// number stay readable, every other digit becomes '*' (0x2A). Plain functions of their input, so
// the log, the engine and the command-line register mask the same way.
#pragma once

#include <cstddef>

constexpr unsigned char kCardMaskByte = 0x2A;  // '*': "2A" in a dump's hex column
constexpr int kCardFieldWidth = 19;            // card-number field of the records and frames
constexpr size_t kCardMinRun = 13;             // shortest digit run taken for a card number in unknown bytes

// Masks a run of n ASCII digits in place: from 10 digits on the first six and the last four
// stay; a shorter run keeps only its last four.
void MaskDigitRun(unsigned char* run, size_t n);
// Masks the card number of a field: the run of digits from the field's first byte, up to the
// first non-digit (normally the padding space) or the field's end.
void MaskCardField(unsigned char* field, size_t width);
// Masks every run of kCardMinRun or more ASCII digits: for bytes whose layout is not known.
void MaskDigitRuns(unsigned char* data, size_t len);

// Where a dumped buffer may hold card numbers: up to two card-number fields at known offsets,
// and one span of bytes of unknown layout. Parts outside the dumped bytes are ignored.
struct DumpMask {
  int fieldOffset[2];
  int fieldCount;
  int runsFrom;  // digit runs are masked in [runsFrom, runsTo)
  int runsTo;
};

// A mask of one card-number field at `offset`.
DumpMask CardFieldMask(int offset);
// A mask of the digit runs in [from, to); to < 0 means up to the end of the buffer.
DumpMask DigitRunMask(int from, int to = -1);
// Applies a mask to `len` bytes in place.
void ApplyDumpMask(unsigned char* data, size_t len, const DumpMask& mask);
