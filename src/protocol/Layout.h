// Where each field sits in the contents of the frames: the 100-byte request content the engine builds
// from a request record, the terminal's answer content, and the transmit data header. Header-only, so the
// tools that speak to the terminal or read its frames from the log (korvessa, posterm) use the same table
// without the library.
#pragma once

#include "KorvessaDLL.h"

namespace layout {

// One field of a frame content: offset from the content's first byte, and width.
struct Span {
  int off;
  int width;
  constexpr int end() const { return off + width; }
};

// ------------------------------------------------------------------ frame envelope
constexpr int kFrameHead = 9;   // STX, LEN (2), ID (6) ahead of the content
constexpr int kFrameTail = 2;   // ETX, LRC after it
constexpr Span kFrameId{3, 6};  // the frame's ID, in the frame itself

// ------------------------------------------------------------------ request content, 100 bytes
// Bytes 0..51 are the request record's first fields, one for one; what follows depends on the type.
constexpr int kRequestContentSize = 100;
constexpr Span kReqOperType{KV_REQ_operType, KV_REQ_operType_LEN};
constexpr Span kReqTransType{KV_REQ_transType, KV_REQ_transType_LEN};  // also the frame's command code
constexpr Span kReqCardType{KV_REQ_cardType, KV_REQ_cardType_LEN};
constexpr Span kReqCashRegisterNo{KV_REQ_cashRegisterNo, KV_REQ_cashRegisterNo_LEN};
constexpr Span kReqOperatorNo{KV_REQ_operatorNo, KV_REQ_operatorNo_LEN};
constexpr Span kReqAmount{KV_REQ_amount, KV_REQ_amount_LEN};
constexpr Span kReqCashTraceNumber{KV_REQ_cashTraceNumber, KV_REQ_cashTraceNumber_LEN};
constexpr Span kReqPrintFlag{KV_REQ_printFlag, KV_REQ_printFlag_LEN};
constexpr Span kReqOldTraceNumber{KV_REQ_oldTraceNumber, KV_REQ_oldTraceNumber_LEN};
constexpr int kReqCommonEnd = kReqOldTraceNumber.end();  // end of the fields every type carries
constexpr Span kReqReference{52, 12};   // "40", "50": hostserialNumber; "62", "64", "66": oldAuthNumber
constexpr Span kReqDate{64, 8};         // "40", "50", "62", "64", "66": transDate
constexpr Span kReqCardNumber{72, 19};  // "62", "64", "66": cardNumber

// ------------------------------------------------------------------ the terminal's answer content
// The response record is copied from these; bytes 8..22 and 64..103 are for the receipt only.
constexpr Span kAnsOperType{0, 2};
constexpr Span kAnsCmdCode{2, 2};
constexpr Span kAnsReply4{4, 2};
constexpr Span kAnsRetCode{6, 2};  // "00" is approval
constexpr Span kAnsInfo{8, 15};
constexpr Span kAnsAmount{23, 12};  // 12 digits, the last two the decimals
constexpr Span kAnsBatch{35, 6};
constexpr Span kAnsMerchant{41, 15};
constexpr Span kAnsTerminal{56, 8};
constexpr Span kAnsName{64, 40};
constexpr Span kAnsCardNumber{104, 19};
constexpr Span kAnsExpiry{123, 4};
constexpr Span kAnsIssuer{127, 12};
constexpr Span kAnsAcquirer{139, 12};
constexpr Span kAnsDate{151, 8};  // yyyymmdd
constexpr Span kAnsTime{159, 6};  // hhmmss
constexpr Span kAnsAuth{165, 6};
constexpr Span kAnsReference{171, 12};  // the host's reference number
constexpr Span kAnsReference2{183, 12};
constexpr Span kAnsExtra{195, 6};
constexpr Span kAnsTrace{201, 6};  // the terminal's trace number
constexpr Span kAnsText{207, 300};
constexpr int kAnsMappedEnd = kAnsTrace.end();  // an answer this long fills the whole response record

// ------------------------------------------------------------------ transmit data header, 52 bytes
// The head of a "D0" frame's content (a unit the terminal sends the bank host) and of the relay's reply.
constexpr int kUnitHeadSize = 52;
constexpr Span kUnitOperType{0, 2};  // "D0"
constexpr Span kUnitCmdCode{2, 2};
constexpr Span kUnitHost{4, 40};        // ends at its first NUL or at the field's end
constexpr Span kUnitPort{44, 6};        // decimal text
constexpr Span kUnitPayloadLen{50, 2};  // most significant byte first

// The fields follow each other without a gap and end where the content does.
static_assert(kReqCommonEnd == KV_REQ_hostserialNumber, "the common fields are the record's bytes 0..51");
static_assert(kReqReference.off == kReqCommonEnd && kReqDate.off == kReqReference.end() &&
                  kReqCardNumber.off == kReqDate.end() && kReqCardNumber.end() <= kRequestContentSize,
              "request content fields");
static_assert(kReqReference.width == KV_REQ_hostserialNumber_LEN &&
                  kReqReference.width == KV_REQ_oldAuthNumber_LEN && kReqDate.width == KV_REQ_transDate_LEN &&
                  kReqCardNumber.width == KV_REQ_cardNumber_LEN,
              "the type-dependent fields are as wide as the record fields they carry");
static_assert(kAnsCmdCode.off == kAnsOperType.end() && kAnsReply4.off == kAnsCmdCode.end() &&
                  kAnsRetCode.off == kAnsReply4.end() && kAnsInfo.off == kAnsRetCode.end() &&
                  kAnsAmount.off == kAnsInfo.end() && kAnsBatch.off == kAnsAmount.end() &&
                  kAnsMerchant.off == kAnsBatch.end() && kAnsTerminal.off == kAnsMerchant.end() &&
                  kAnsName.off == kAnsTerminal.end() && kAnsCardNumber.off == kAnsName.end() &&
                  kAnsExpiry.off == kAnsCardNumber.end() && kAnsIssuer.off == kAnsExpiry.end() &&
                  kAnsAcquirer.off == kAnsIssuer.end() && kAnsDate.off == kAnsAcquirer.end() &&
                  kAnsTime.off == kAnsDate.end() && kAnsAuth.off == kAnsTime.end() &&
                  kAnsReference.off == kAnsAuth.end() && kAnsReference2.off == kAnsReference.end() &&
                  kAnsExtra.off == kAnsReference2.end() && kAnsTrace.off == kAnsExtra.end() &&
                  kAnsText.off == kAnsTrace.end(),
              "answer content fields");
static_assert(kUnitCmdCode.off == kUnitOperType.end() && kUnitHost.off == kUnitCmdCode.end() &&
                  kUnitPort.off == kUnitHost.end() && kUnitPayloadLen.off == kUnitPort.end() &&
                  kUnitPayloadLen.end() == kUnitHeadSize,
              "transmit data header fields");

}  // namespace layout
