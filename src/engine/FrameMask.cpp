// Card-number positions of the request record and of the frames, for the masked dumps.
#include "engine/FrameMask.h"

#include "KorvessaDLL.h"
#include "engine/MyComm.h"
#include "protocol/Layout.h"

namespace {

constexpr int kFramePrefix = layout::kFrameHead;
constexpr int kFrameTrailer = layout::kFrameTail;

bool TypeIs(const unsigned char* frame, const char* type) {
  const int at = kFramePrefix + layout::kReqTransType.off;
  return frame[at] == type[0] && frame[at + 1] == type[1];
}

}  // namespace

DumpMask RequestRecordMask() { return CardFieldMask(KV_REQ_cardNumber); }

DumpMask RequestFrameMask(const unsigned char* frame, int len) {
  if (frame == nullptr || len < kFramePrefix + layout::kReqTransType.end()) return DigitRunMask(0, 0);
  if (TypeIs(frame, "62") || TypeIs(frame, "64") || TypeIs(frame, "66")) {
    return CardFieldMask(kFramePrefix + layout::kReqCardNumber.off);
  }
  if (TypeIs(frame, "06")) return DigitRunMask(kFramePrefix + kContentSize, len - kFrameTrailer);
  return DigitRunMask(0, 0);
}

DumpMask AnswerFrameMask() { return CardFieldMask(kFramePrefix + layout::kAnsCardNumber.off); }
