// The transmit data header: parsing a unit from the terminal and building the reply header.
#include "relay/TransmitHead.h"

#include <cstddef>
#include <cstring>

#include "protocol/Layout.h"

static_assert(offsetof(STU_TRANSMIT_HEAD, ucLen) + 2 == kTransmitHeadSize, "header is 52 bytes on the wire");
static_assert(kTransmitHeadSize == layout::kUnitHeadSize &&
                  offsetof(STU_TRANSMIT_HEAD, szIP) == static_cast<size_t>(layout::kUnitHost.off) &&
                  offsetof(STU_TRANSMIT_HEAD, szPort) == static_cast<size_t>(layout::kUnitPort.off) &&
                  offsetof(STU_TRANSMIT_HEAD, ucLen) == static_cast<size_t>(layout::kUnitPayloadLen.off),
              "the header structure is the layout's transmit data header");

TransmitHead::TransmitHead() { std::memset(&m_stuHead, 0, sizeof(m_stuHead)); }

TransmitHead::~TransmitHead() {}

int TransmitHead::PayloadLength(const unsigned char* content) {
  if (content == nullptr) return 0;
  return content[layout::kUnitPayloadLen.off] * 256 + content[layout::kUnitPayloadLen.off + 1];
}

bool TransmitHead::CheckLength(const unsigned char* content, int contentLen) {
  if (content == nullptr || contentLen < kTransmitHeadSize) return false;
  return contentLen == PayloadLength(content) + kTransmitHeadSize;
}

void TransmitHead::SaveHead(const unsigned char* content) {
  if (content == nullptr) return;
  std::memcpy(&m_stuHead, content, kTransmitHeadSize);
  m_stuHead.pData = nullptr;
}

bool TransmitHead::GetBody(const unsigned char* content, unsigned char* dest, int destSize, int* len) {
  if (content == nullptr || dest == nullptr || len == nullptr) return false;
  int n = PayloadLength(content);
  if (n > destSize) return false;
  if (n > 0) std::memcpy(dest, content + kTransmitHeadSize, static_cast<size_t>(n));
  *len = n;
  SaveHead(content);
  return true;
}

int TransmitHead::BuildReply(const unsigned char* payload, int len, unsigned char* dest) const {
  if (len < 0 || len > 0xFFFF) return 0;
  if (dest == nullptr) return len + kTransmitHeadSize;
  if (payload == nullptr) return 0;
  std::memcpy(dest, &m_stuHead, 50);
  dest[1] = static_cast<unsigned char>(dest[1] + 1);  // "D0" is answered with "D1"
  dest[3] = static_cast<unsigned char>(dest[3] + 1);  // the command code's answer
  dest[50] = static_cast<unsigned char>(len / 256);
  dest[51] = static_cast<unsigned char>(len % 256);
  if (len > 0) std::memcpy(dest + kTransmitHeadSize, payload, static_cast<size_t>(len));
  return len + kTransmitHeadSize;
}
