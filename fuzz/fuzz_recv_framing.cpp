// Fuzz target: the receive framing. An input is four chunk lengths, then a byte stream from the
// terminal; the stream is cut into chunks of those lengths in turn (0: all that is left, at most
// what the watch thread reads at once) and fed to the frame assembler chunk by chunk, as the
// engine feeds it from the watch thread. A decoded frame of transmit data goes the relay's way
// (the unit's head copied, its payload, the host's reply header, the reply frame) to a terminal
// link that records what the relay writes; any other frame is taken, and the assembly starts
// over, as the exchange does with an answer. No engine, no port, no sockets.
#include <cstdint>
#include <cstring>
#include <vector>

#include "FuzzEnv.h"
#include "engine/FrameAssembler.h"
#include "protocol/BTFManager.h"
#include "protocol/TransID.h"
#include "relay/TcpThread.h"
#include "relay/TerminalLink.h"

namespace {

const char kIni[] =
    "[DEBUG_LOG]\r\nDebugLog=6\r\n[TRANSNAMEDSP]\r\n001=00 HANDSHAKE\r\n002=30 SALE\r\n003=04 BALANCE\r\n";

// Bytes the watch thread hands over at most per chunk.
constexpr size_t kMaxChunk = kRecvBufSize - 1;

// The relay's terminal side in this target: the frame's head is copied from the assembler and
// resets go to it, as the engine does under its receive lock; writes are recorded instead of
// going to a port.
class RecordingTerminal : public TerminalLink {
 public:
  explicit RecordingTerminal(FrameAssembler& assembler) : m_assembler(assembler) {}
  DWORD WriteToTerminal(const void* data, DWORD length) override {
    m_assembler.Reset();  // as the engine's write does
    const unsigned char* p = static_cast<const unsigned char*>(data);
    m_written.assign(p, p + length);
    return length;
  }
  int CopyRecvHead(unsigned char* dest, int size) override { return m_assembler.CopyHead(dest, size); }
  void ResetReceive() override { m_assembler.Reset(); }
  const std::vector<unsigned char>& Written() const { return m_written; }

 private:
  FrameAssembler& m_assembler;
  std::vector<unsigned char> m_written;
};

// The relay's way for one unit, with the host answering the payload back: the frame shown,
// the receive state reset, the payload taken, the reply framed and written to the terminal.
void RelayUnit(RecordingTerminal& recorder, const BTFManager& unit) {
  TerminalLink& terminal = recorder;
  const unsigned char* content = unit.GetCont();
  // The head the relay keeps for its log: bounded by its buffer, the frame's whole length told.
  unsigned char shown[kTransmitHeadShown];
  const int receivedLen = terminal.CopyRecvHead(shown, sizeof(shown));
  FUZZ_CHECK(receivedLen == unit.GetContLen() + kBtfOverhead);
  // The unit's header follows STX, LEN and the identifier.
  FUZZ_CHECK(shown[0] == kBtfSTX && std::memcmp(shown + 9, content, kTransmitHeadSize) == 0);
  terminal.ResetReceive();

  TransmitHead head;
  std::vector<unsigned char> payload(kTcpBufSize);
  int len = -1;
  FUZZ_CHECK(head.GetBody(content, payload.data(), static_cast<int>(payload.size()), &len));
  FUZZ_CHECK(len + kTransmitHeadSize == unit.GetContLen());

  const int size = head.BuildReply(payload.data(), len, nullptr);
  std::vector<unsigned char> reply(static_cast<size_t>(size));
  FUZZ_CHECK(head.BuildReply(payload.data(), len, reply.data()) == size);
  BTFManager frame;
  frame.Build(reply.data(), size);
  unsigned char wire[kTcpBufSize];
  const int n = frame.Encode(wire, sizeof(wire));
  if (n == 0) return;  // a reply too large for a frame is not written
  FUZZ_CHECK(terminal.WriteToTerminal(wire, static_cast<DWORD>(n)) == static_cast<DWORD>(n));

  // What the terminal receives: a frame of this transaction answering the unit.
  const std::vector<unsigned char>& w = recorder.Written();
  BTFManager back;
  FUZZ_CHECK(back.Decode(w.data(), static_cast<int>(w.size())));
  const unsigned char* r = back.GetCont();
  FUZZ_CHECK(r[0] == 'D' && r[1] == '1' && r[2] == content[2]);
  FUZZ_CHECK(r[3] == static_cast<unsigned char>(content[3] + 1));
  FUZZ_CHECK(std::memcmp(r + 4, content + 4, 46) == 0);
  FUZZ_CHECK(r[50] * 256 + r[51] == len && std::memcmp(r + 52, content + 52, static_cast<size_t>(len)) == 0);
}

// After a chunk that decoded a frame: transmit data is relayed, anything else is taken.
void AfterFrame(FrameAssembler& assembler, const BTFManager& frame, RecordingTerminal& terminal) {
  // Only the frame's own bytes are handed out, at the front of the buffer.
  unsigned char copy[kRecvBufSize];
  const int len = assembler.CopyHead(copy, sizeof(copy));
  FUZZ_CHECK(len == frame.GetContLen() + kBtfOverhead && copy[0] == kBtfSTX);
  FUZZ_CHECK(std::memcmp(copy, assembler.Frame(), static_cast<size_t>(len)) == 0);
  static TcpThread relay;  // classifies only: no thread, no socket
  const int kind = relay.CheckTransmitData(const_cast<BTFManager*>(&frame));
  if (kind > 0) {
    RelayUnit(terminal, frame);
    return;
  }
  assembler.Reset();  // a dropped unit, or an answer taken
}

// True when the stream ends with a whole frame that passes every check and fits the assembly
// buffer: fed to an engine that took no frame before, it must be taken.
bool EndsWithAFrame(const uint8_t* stream, size_t size) {
  for (size_t p = 0; p + kBtfMinDecodeLen <= size; ++p) {
    const size_t frameLen = size - p;
    if (stream[p] != kBtfSTX || frameLen > static_cast<size_t>(kRecvBufSize)) continue;
    if (static_cast<size_t>(stream[p + 1] * 256 + stream[p + 2] - 6 + kBtfOverhead) != frameLen) continue;
    BTFManager frame;
    std::vector<uint8_t> copy(stream + p, stream + size);
    if (frame.Decode(copy.data(), static_cast<int>(frameLen))) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::InitScratch(kIni);
  SetTransID(fuzz::kTransID);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  fuzz::TrimLog();
  static BTFManager frame;
  static FrameAssembler assembler(frame);
  static RecordingTerminal terminal(assembler);
  assembler.Reset();  // as the request's write does

  const uint8_t* cuts = data;
  size_t pos = 4;
  bool anyDecoded = false;
  for (int i = 0; pos < size; ++i) {
    size_t n = cuts[i % 4] != 0 ? cuts[i % 4] : kMaxChunk;
    if (n > size - pos) n = size - pos;
    // Each chunk in a buffer of its own size, so a read past it is caught.
    std::vector<unsigned char> chunk(data + pos, data + pos + n);
    pos += n;
    const bool decoded = assembler.Feed(chunk.data(), static_cast<int>(n));
    FUZZ_CHECK(assembler.Index() >= -1 && assembler.Index() <= kRecvBufSize);  // never past the buffer
    FUZZ_CHECK(decoded == assembler.Decoded());
    if (decoded) AfterFrame(assembler, frame, terminal);
    anyDecoded = anyDecoded || decoded;
  }
  // Nothing before it completed a frame, so bytes ahead of a good frame must not lose it.
  if (!anyDecoded) FUZZ_CHECK(!EndsWithAFrame(data + 4, size - 4));
  return 0;
}
