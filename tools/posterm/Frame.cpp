// The frame on the wire as the simulated terminal sees it: LRC, encoding, and the content's fields.
#include "Frame.h"

#include <cstdio>

#include "protocol/Layout.h"

namespace posterm {

uint8_t Lrc(const uint8_t* p, size_t n) {
  uint8_t x = 0;
  for (size_t i = 0; i < n; ++i) x ^= p[i];
  return x;
}

Bytes EncodeFrame(const std::string& id, const Bytes& content) {
  const size_t len = content.size() + kIdLen;
  if (len > 0xFFFF) return {};
  Bytes f;
  f.reserve(content.size() + kFrameOverhead);
  f.push_back(kStx);
  f.push_back(static_cast<uint8_t>(len >> 8));
  f.push_back(static_cast<uint8_t>(len & 0xFF));
  for (size_t i = 0; i < kIdLen; ++i) f.push_back(i < id.size() ? static_cast<uint8_t>(id[i]) : '0');
  f.insert(f.end(), content.begin(), content.end());
  f.push_back(kEtx);
  f.push_back(Lrc(f.data(), f.size()));
  return f;
}

// Request and answer contents both begin with the operation type and the command code.
std::string Frame::OperType() const {
  const std::string t = Text(layout::kReqOperType.off, layout::kReqOperType.width);
  return t.size() == 2 ? t : std::string();
}
std::string Frame::CmdCode() const {
  const std::string t = Text(layout::kReqTransType.off, layout::kReqTransType.width);
  return t.size() == 2 ? t : std::string();
}

std::string Frame::Text(size_t off, size_t len) const {
  if (off >= content.size()) return std::string();
  if (len > content.size() - off) len = content.size() - off;
  return std::string(reinterpret_cast<const char*>(content.data()) + off, len);
}

void FrameReader::Feed(const uint8_t* p, size_t n, std::vector<Frame>* out) {
  buf_.insert(buf_.end(), p, p + n);
  size_t pos = 0;
  for (;;) {
    while (pos < buf_.size() && buf_[pos] != kStx) {
      ++pos;
      ++dropped_;
    }
    if (buf_.size() - pos < 3) break;
    const size_t len = (static_cast<size_t>(buf_[pos + 1]) << 8) | buf_[pos + 2];
    if (len < kIdLen || len > kMaxLen) {
      // Not a frame start: a stray STX.
      ++pos;
      ++dropped_;
      continue;
    }
    const size_t total = len + 5;
    if (buf_.size() - pos < total) break;
    Frame f;
    f.raw.assign(buf_.begin() + pos, buf_.begin() + pos + total);
    f.id.assign(reinterpret_cast<const char*>(&f.raw[3]), kIdLen);
    f.content.assign(f.raw.begin() + 9, f.raw.begin() + 9 + (len - kIdLen));
    const uint8_t etx = f.raw[total - 2];
    const uint8_t lrc = f.raw[total - 1];
    const uint8_t calc = Lrc(f.raw.data(), total - 1);
    char msg[96];
    if (etx != kEtx) {
      snprintf(msg, sizeof msg, "ETX is 0x%02X", etx);
      f.error = msg;
      out->push_back(std::move(f));
      // The length was probably wrong: look for the next STX inside these bytes.
      ++pos;
      continue;
    }
    if (lrc != calc) {
      snprintf(msg, sizeof msg, "LRC is 0x%02X, expected 0x%02X", lrc, calc);
      f.error = msg;
    } else {
      f.valid = true;
    }
    out->push_back(std::move(f));
    pos += total;
  }
  buf_.erase(buf_.begin(), buf_.begin() + pos);
}

std::string Hex(const uint8_t* p, size_t n) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(n * 3);
  for (size_t i = 0; i < n; ++i) {
    if (i) s.push_back(' ');
    s.push_back(kDigits[p[i] >> 4]);
    s.push_back(kDigits[p[i] & 15]);
  }
  return s;
}

static int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHex(const std::string& s, Bytes* out) {
  Bytes b;
  int hi = -1;
  for (char c : s) {
    if (c == ' ' || c == ':' || c == '-') continue;
    const int d = HexDigit(c);
    if (d < 0) return false;
    if (hi < 0) {
      hi = d;
    } else {
      b.push_back(static_cast<uint8_t>(hi * 16 + d));
      hi = -1;
    }
  }
  if (hi >= 0) return false;
  *out = std::move(b);
  return true;
}

}  // namespace posterm
