// Card-number positions of the request record and of the frames, for the masked dumps.
#include "engine/FrameMask.h"

#include "engine/MyComm.h"

namespace {

constexpr int kFramePrefix = 9;         // STX, LEN, ID ahead of the content
constexpr int kFrameTrailer = 2;        // ETX, LRC
constexpr int kRequestCardOffset = 84;  // request record cardNumber
constexpr int kContentCardOffset = 72;  // request content cardNumber ("62", "64", "66")
constexpr int kAnswerCardOffset = 104;  // answer content cardNumber

bool TypeIs(const unsigned char* frame, const char* type) {
  return frame[kFramePrefix + 2] == type[0] && frame[kFramePrefix + 3] == type[1];
}

}  // namespace

DumpMask RequestRecordMask() { return CardFieldMask(kRequestCardOffset); }

DumpMask RequestFrameMask(const unsigned char* frame, int len) {
  if (frame == nullptr || len < kFramePrefix + 4) return DigitRunMask(0, 0);
  if (TypeIs(frame, "62") || TypeIs(frame, "64") || TypeIs(frame, "66")) {
    return CardFieldMask(kFramePrefix + kContentCardOffset);
  }
  if (TypeIs(frame, "06")) return DigitRunMask(kFramePrefix + kContentSize, len - kFrameTrailer);
  return DigitRunMask(0, 0);
}

DumpMask AnswerFrameMask() { return CardFieldMask(kFramePrefix + kAnswerCardOffset); }
