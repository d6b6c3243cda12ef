// Frame codec of the simulated terminal. Written independently of the library's codec so that the
// end-to-end tests cross-check the two: STX, LEN (ID + content, big-endian), 6-digit ID, content, ETX,
// LRC (XOR of every byte from STX through ETX).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace posterm {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
constexpr size_t kIdLen = 6;
constexpr size_t kFrameOverhead = 11;  // STX, LEN (2), ID (6), ETX, LRC
// Largest LEN the reader accepts: the library's frames never exceed 4096 bytes; anything much longer is a
// corrupted length, and waiting for it would swallow the frames that follow.
constexpr size_t kMaxLen = 8192;

uint8_t Lrc(const uint8_t* p, size_t n);

// Encodes content under a 6-character identifier (longer ids are cut, shorter ones padded with '0').
// Returns an empty vector when the content does not fit the 16-bit LEN.
Bytes EncodeFrame(const std::string& id, const Bytes& content);

// One frame as it came off the line.
struct Frame {
  Bytes raw;       // every byte of the frame, STX to LRC
  std::string id;  // the six ID bytes
  Bytes content;   // LEN - 6 bytes
  bool valid = false;
  std::string error;  // why it is not valid
  // Monotonic time at which the frame was read off the line (its last byte arrived) or, for a frame
  // sent, at which its last byte was written.
  std::chrono::steady_clock::time_point at{};

  // Two-character codes of the content ("" when the content is shorter).
  std::string OperType() const;
  std::string CmdCode() const;
  std::string Text(size_t off, size_t len) const;  // content bytes as text, cut to the content
};

// Assembles frames from bytes arriving in arbitrary pieces. Bytes outside a frame are counted and dropped.
class FrameReader {
 public:
  // Appends every frame completed by these bytes (valid or not) to out.
  void Feed(const uint8_t* p, size_t n, std::vector<Frame>* out);
  size_t Dropped() const { return dropped_; }
  size_t Pending() const { return buf_.size(); }
  void Reset() { buf_.clear(); }

 private:
  Bytes buf_;
  size_t dropped_ = 0;
};

std::string Hex(const uint8_t* p, size_t n);
inline std::string Hex(const Bytes& b) { return Hex(b.data(), b.size()); }
// Parses "02 00 6A" or "02006a"; false on any other character or an odd digit count.
bool ParseHex(const std::string& s, Bytes* out);

}  // namespace posterm
