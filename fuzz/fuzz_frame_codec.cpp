// Fuzz target: the frame codec. Arbitrary bytes are decoded and checked whole and cut to the
// frame's own length and one byte less; an accepted frame must encode back to the same bytes,
// and the check must keep its message inside text buffers of every small size.
#include <cstdint>
#include <cstring>
#include <vector>

#include "FuzzEnv.h"
#include "KorvessaDLL.h"
#include "protocol/BTFManager.h"
#include "protocol/TransID.h"

namespace {

// Dumps and check messages are logged: the log code sees the same arbitrary bytes.
const char kIni[] = "[DEBUG_LOG]\r\nDebugLog=6\r\n[TRANSNAMEDSP]\r\n001=30 SALE\r\n";

// Decodes a copy of exactly `len` bytes, so a read past them is caught.
bool DecodeExact(BTFManager& frame, const uint8_t* data, size_t len) {
  std::vector<uint8_t> copy(data, data + len);
  return frame.Decode(copy.data(), static_cast<int>(len));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::InitScratch(kIni);
  SetTransID(fuzz::kTransID);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::TrimLog();
  // One object for the whole run, like the engine's: its content buffer follows the lengths.
  static BTFManager frame;
  if (!DecodeExact(frame, data, size)) {
    // A rejected frame leaves the object in a state every reader must still survive.
    char szCmd[3];
    frame.GetCmdCode(szCmd, sizeof(szCmd));
    frame.CheckRetCode("30");
    return 0;
  }
  const int n = frame.GetContLen() + kBtfOverhead;
  FUZZ_CHECK(n >= kBtfMinContLen + kBtfOverhead && static_cast<size_t>(n) <= size);
  FUZZ_CHECK(data[1] * 256 + data[2] == frame.GetContLen() + 6);

  std::vector<uint8_t> out(static_cast<size_t>(n));
  FUZZ_CHECK(frame.Encode(out.data(), n) == n);
  FUZZ_CHECK(std::memcmp(out.data(), data, static_cast<size_t>(n)) == 0);
  FUZZ_CHECK(frame.Encode(out.data(), n - 1) == 0);

  // Cut to its own length the frame is still good; one byte short it is refused.
  BTFManager cut;
  FUZZ_CHECK(DecodeExact(cut, data, static_cast<size_t>(n)));
  BTFManager shortFrame;
  FUZZ_CHECK(!DecodeExact(shortFrame, data, static_cast<size_t>(n) - 1));

  // The check writes into the caller's buffer whatever its size; a new object fails it with
  // a message to cut.
  for (size_t textSize = 1; textSize <= kBtfCheckTextSize; textSize += 7) {
    std::vector<char> text(textSize);
    FUZZ_CHECK(frame.Check(text.data(), textSize));
    FUZZ_CHECK(!shortFrame.Check(text.data(), textSize));
    FUZZ_CHECK(std::memchr(text.data(), '\0', textSize) != nullptr);
  }

  char szCmd[3];
  FUZZ_CHECK(frame.GetCmdCode(szCmd, sizeof(szCmd)));
  const int ret = frame.CheckRetCode(szCmd);
  FUZZ_CHECK(ret >= 0 && ret <= 0xFFFF);
  FUZZ_CHECK((ret == 0) == (n > 16 && data[15] == '0' && data[16] == '0'));
  std::vector<char> request(KORVESSA_REQUEST_SIZE, ' ');
  std::vector<char> response(KORVESSA_RESPONSE_SIZE);
  frame.MapResponse(request.data(), response.data());
  return 0;
}
