// Fuzz target: the receive framing. An input is four chunk lengths, then a byte stream from the
// terminal; the stream is cut into chunks of those lengths in turn (0: all that is left, at most
// what the watch thread reads at once) and fed through the engine's frame assembly and routing
// chunk by chunk, as the watch thread feeds it. An answer is taken like the exchange takes it;
// transmit data goes the relay's way (the unit's payload, the host's reply header, the reply
// frame) to a terminal link that records what the relay writes. No port, no sockets.
#include <cstdint>
#include <cstring>
#include <vector>

#include "FuzzEnv.h"
#include "engine/MyComm.h"
#include "protocol/TransID.h"
#include "relay/TcpThread.h"
#include "relay/TerminalLink.h"

namespace {

const char kIni[] =
    "[DEBUG_LOG]\r\nDebugLog=6\r\n[TRANSNAMEDSP]\r\n001=00 HANDSHAKE\r\n002=30 SALE\r\n003=04 BALANCE\r\n";

// Bytes the watch thread hands over at most per chunk.
constexpr size_t kMaxChunk = kRecvBufSize - 1;

// The engine with its receive side open to the target.
class FuzzComm : public MyComm {
 public:
  BTFManager& RecvFrame() { return m_RecvBTF; }
  TcpThread& Relay() { return m_TcpThread; }
};

// The relay's terminal side in this target: reads and resets go to the engine, writes are
// recorded instead of going to a port.
class RecordingTerminal : public TerminalLink {
 public:
  explicit RecordingTerminal(FuzzComm& comm) : m_comm(comm) {}
  DWORD WriteToTerminal(const void* data, DWORD length) override {
    m_comm.ResetReceive();  // as the engine's write does
    const unsigned char* p = static_cast<const unsigned char*>(data);
    m_written.assign(p, p + length);
    return length;
  }
  void GetRecvData(unsigned char** data, int* length) override { m_comm.GetRecvData(data, length); }
  void ResetReceive() override { m_comm.ResetReceive(); }
  const std::vector<unsigned char>& Written() const { return m_written; }

 private:
  FuzzComm& m_comm;
  std::vector<unsigned char> m_written;
};

// The relay's way for one unit, with the host answering the payload back: the frame shown,
// the receive state reset, the payload taken, the reply framed and written to the terminal.
void RelayUnit(RecordingTerminal& recorder, const BTFManager& unit) {
  TerminalLink& terminal = recorder;
  const unsigned char* content = unit.GetCont();
  unsigned char* received = nullptr;
  int receivedLen = 0;
  terminal.GetRecvData(&received, &receivedLen);
  FUZZ_CHECK(received != nullptr && receivedLen == unit.GetContLen() + kBtfOverhead);
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

// After a chunk: route a decoded frame, take an answer as the exchange does.
void AfterFrame(FuzzComm& comm, RecordingTerminal& terminal) {
  BTFManager& frame = comm.RecvFrame();
  const int kind = comm.Relay().CheckTransmitData(&frame);
  if (kind > 0) {
    RelayUnit(terminal, frame);
    return;
  }
  comm.RouteFrame();  // answer or drop: no relay runs, no socket is opened
  if (!comm.IsRecvOK()) return;
  // The request pending is a "30": only a "31" answer is taken.
  char code[3];
  FUZZ_CHECK(kind == 0 && frame.GetCmdCode(code, sizeof(code)) && code[0] == '3' && code[1] == '1');
  unsigned char* data = nullptr;
  int len = 0;
  comm.GetRecvData(&data, &len);
  FUZZ_CHECK(len == frame.GetContLen() + kBtfOverhead);
  comm.ResetReceive();
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
  static FuzzComm comm;
  static RecordingTerminal terminal(comm);
  static bool requested = false;
  if (!requested) {
    // The request the answers pair with: a "30" (its answer is a "31").
    unsigned char content[kContentSize];
    std::memset(content, ' ', sizeof(content));
    std::memcpy(content, "A030", 4);
    FUZZ_CHECK(comm.BuildRequest(content));
    requested = true;
  }
  comm.ResetReceive();  // as the request's write does

  const uint8_t* cuts = data;
  size_t pos = 4;
  bool anyDecoded = false;
  for (int i = 0; pos < size; ++i) {
    size_t n = cuts[i % 4] != 0 ? cuts[i % 4] : kMaxChunk;
    if (n > size - pos) n = size - pos;
    // Each chunk in a buffer of its own size, so a read past it is caught.
    std::vector<unsigned char> chunk(data + pos, data + pos + n);
    pos += n;
    const bool decoded = comm.AssembleChunk(chunk.data(), static_cast<int>(n));
    unsigned char* buf = nullptr;
    int len = 0;
    comm.GetRecvData(&buf, &len);
    FUZZ_CHECK(len >= -1 && len <= kRecvBufSize);  // never past the assembly buffer
    if (decoded) AfterFrame(comm, terminal);
    anyDecoded = anyDecoded || decoded;
  }
  // Nothing before it completed a frame, so bytes ahead of a good frame must not lose it.
  if (!anyDecoded) FUZZ_CHECK(!EndsWithAFrame(data + 4, size - 4));
  return 0;
}
