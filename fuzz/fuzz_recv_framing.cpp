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

// The relay's side of the terminal: reads and resets go to the engine, writes are recorded.
class RecordingTerminal {
 public:
  explicit RecordingTerminal(FuzzComm& comm) : m_comm(comm) {}
  DWORD WriteToTerminal(const void* data, DWORD length) {
    m_comm.ResetReceive();  // as the engine's write does
    const unsigned char* p = static_cast<const unsigned char*>(data);
    m_written.assign(p, p + length);
    return length;
  }
  void GetRecvData(unsigned char** data, int* length) { m_comm.GetRecvData(data, length); }
  void ResetReceive() { m_comm.ResetReceive(); }
  const std::vector<unsigned char>& Written() const { return m_written; }

 private:
  FuzzComm& m_comm;
  std::vector<unsigned char> m_written;
};

// The relay's way for one unit, with the host answering the payload back: the frame shown,
// the receive state reset, the payload taken, the reply framed and written to the terminal.
void RelayUnit(RecordingTerminal& terminal, const BTFManager& unit) {
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
  const std::vector<unsigned char>& w = terminal.Written();
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
  }
  return 0;
}
