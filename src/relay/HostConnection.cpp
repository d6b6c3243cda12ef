// The connection to the bank host: socket set-up, the connect waited for in short steps, the
// whole send and the single receive the relay thread makes.
#include "relay/HostConnection.h"

#include <cstdio>
#include <cstring>

#include "base/Deadline.h"
#include "log/Log.h"
#include "log/Messages.h"
#include "platform/CsLock.h"
#include "platform/net_util.h"
#include "relay/AllowedHosts.h"
#include "relay/WSAErrorText.h"

namespace {

const char* OrNull(const char* text) { return text != nullptr ? text : "(null)"; }

}  // namespace

HostConnection::HostConnection() : m_hSocket(INVALID_SOCKET) { InitializeCriticalSection(&m_csSocket); }

HostConnection::~HostConnection() {
  Close();
  DeleteCriticalSection(&m_csSocket);
}

void HostConnection::Close() {
  CsLock lock(&m_csSocket);
  if (m_hSocket != INVALID_SOCKET) {
    closesocket(m_hSocket);
    m_hSocket = INVALID_SOCKET;
  }
}

void HostConnection::Wake() {
  CsLock lock(&m_csSocket);
  if (m_hSocket != INVALID_SOCKET) KvShutdownSocket(m_hSocket);
}

bool HostConnection::Failed(const char* line, RelayEnd* failure) {
  WriteLog(KV_HERE, LOG_ERROR, "%s", line);
  if (failure != nullptr) *failure = RelayEnd::kFailed;
  return false;
}

bool HostConnection::Stopped(const char* host, const char* port, RelayEnd* failure) {
  WriteLog(KV_HERE, LOG_INFO, "connect to %s:%s stopped before it completed.", host, port);
  if (failure != nullptr) *failure = RelayEnd::kStopped;
  return false;
}

bool HostConnection::Connect(const char* host, const char* port, int connTimeOut, DWORD ioTimeOut,
                             const std::atomic<bool>& stop, RelayEnd* failure) {
  Close();
  SOCKET s = socket(AF_INET, SOCK_STREAM | KV_SOCKET_FLAGS, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return Failed("invalid socket!", failure);
  {
    CsLock lock(&m_csSocket);
    m_hSocket = s;
  }
  if (KvSetSocketTimeOut(s, SO_SNDTIMEO, ioTimeOut) != 0)
    return Failed("Set to send timeout failed!", failure);
  if (KvSetSocketTimeOut(s, SO_RCVTIMEO, ioTimeOut) != 0)
    return Failed("Set to recv timeout failed!", failure);
  u_long nonBlocking = 1;
  if (ioctlsocket(s, FIONBIO, &nonBlocking) != 0) return Failed("ioctlsocket set nonblock Failed!", failure);
  SOCKADDR_IN addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  // A port outside 0..65535 becomes 0 (no connection) rather than an unrelated port.
  addr.sin_port = htons(static_cast<u_short>(RelayPortNumber(port)));
  if (!GetIP(host, &addr)) return Failed("GetIP() Failed!", failure);
  if (stop) return Stopped(host, port, failure);
  // Non-blocking: the attempt normally reports that it is still in progress.
  connect(s, reinterpret_cast<const SOCKADDR*>(&addr), sizeof(addr));
  // Waited for in short steps, so that a stop request ends the attempt at once. A refused or
  // otherwise failed attempt ends at once too, with the time-out's message.
  const unsigned long long totalMs = static_cast<unsigned long long>(connTimeOut) * 1000u;
  const DWORD total = totalMs > 0xFFFFFFF0ull ? 0xFFFFFFF0u : static_cast<DWORD>(totalMs);
  const Deadline limit(total);
  int rc = kKvConnectTimedOut;
  for (;;) {
    const DWORD left = limit.Remaining();
    rc = KvWaitConnected(s, left < kConnectStepMs ? left : static_cast<DWORD>(kConnectStepMs));
    if (stop) return Stopped(host, port, failure);
    if (rc != kKvConnectTimedOut || left <= kConnectStepMs) break;
  }
  if (rc == kKvConnectTimedOut || rc == kKvConnectRefused) {
    WriteLog(KV_HERE, LOG_ERROR, "connect TimeOut! (timeout = %ds)", connTimeOut);
    if (failure != nullptr)
      *failure = rc == kKvConnectTimedOut ? RelayEnd::kConnectTimedOut : RelayEnd::kConnectRefused;
    return false;
  }
  if (rc != kKvConnected) return Failed("select Failed!", failure);
  u_long blocking = 0;
  if (ioctlsocket(s, FIONBIO, &blocking) != 0) return Failed("ioctlsocket set bolck Failed!", failure);
  return true;
}

RelayEnd HostConnection::SendAll(const unsigned char* data, int len, DWORD ioTimeOut,
                                 const std::atomic<bool>& stop, int* sent) {
  // Only the relay thread changes the socket while it sends.
  int done = 0;
  RelayEnd end = RelayEnd::kNone;
  while (done < len) {
    const int n = KvSend(m_hSocket, reinterpret_cast<const char*>(data) + done, len - done, ioTimeOut);
    if (stop) {
      end = RelayEnd::kStopped;
      break;
    }
    if (n == SOCKET_ERROR || n < 0) {
      WriteLog(KV_HERE, LOG_ERROR, "send data failed. (%s)", OrNull(GetWSAErrorTextOf(WSAGetLastError())));
      end = RelayEnd::kFailed;
      break;
    }
    done += n;
  }
  if (sent != nullptr) *sent = done;
  return end;
}

int HostConnection::RecvOnce(unsigned char* buf, int size, DWORD ioTimeOut) {
  // The error code logged for a closed connection is that of this receive, not an older one.
  WSASetLastError(0);
  return KvRecv(m_hSocket, reinterpret_cast<char*>(buf), size, ioTimeOut);
}

bool HostConnection::GetIP(const char* host, SOCKADDR_IN* addr) {
  if (host == nullptr || addr == nullptr) return false;
  addr->sin_addr.s_addr = inet_addr(host);
  if (addr->sin_addr.s_addr == INADDR_NONE) {
    struct in_addr found;
    if (!KvLookupHostV4(host, &found)) {
      WriteLog(KV_HERE, LOG_ERROR, "gethostbyname() error! (IP = %s)", host);
      return false;
    }
    addr->sin_addr = found;
  }
  // Dotted text of the address, as inet_ntoa renders it (without its shared buffer).
  const unsigned char* b = reinterpret_cast<const unsigned char*>(&addr->sin_addr);
  char text[16];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  WriteLog(KV_HERE, LOG_INFO, KV_MSG_DESTINATION "%s", text);
  return true;
}
