// HostConnection: one TCP connection to the bank host, without threads of its own: connect within a
// time-out while watching a stop request, send a buffer whole, receive once. Apart from the relay
// thread so that the socket's life and its calls read on their own; the relay thread drives it.
#pragma once

#include <atomic>

#include "platform/platform.h"
#include "relay/RelayAudit.h"

enum {
  kConnectStepMs = 20,  // ms: longest wait of a connect between two tests of a stop request
};

class HostConnection {
 public:
  HostConnection();
  ~HostConnection();

  HostConnection(const HostConnection&) = delete;
  HostConnection& operator=(const HostConnection&) = delete;

  // Opens a connection to host:port within connTimeOut seconds; afterwards the socket is blocking
  // with both transfer time-outs set to ioTimeOut ms. A refused attempt fails at once; `stop` ends
  // the attempt within kConnectStepMs. On failure (logged) *failure tells how it ended and the
  // socket is left for the caller to Close once it has recorded that end.
  bool Connect(const char* host, const char* port, int connTimeOut, DWORD ioTimeOut,
               const std::atomic<bool>& stop, RelayEnd* failure);
  // Sends len bytes whole, each call bounded by ioTimeOut ms; *sent counts what went out. kNone
  // when all went, kStopped when `stop` was set meanwhile, kFailed (logged) on a failed send.
  RelayEnd SendAll(const unsigned char* data, int len, DWORD ioTimeOut, const std::atomic<bool>& stop,
                   int* sent);
  // One receive of up to size bytes within ioTimeOut ms: the count, 0 when the host closed,
  // SOCKET_ERROR on failure (the error code is this receive's own).
  int RecvOnce(unsigned char* buf, int size, DWORD ioTimeOut);
  // Wakes a send or receive in progress without releasing the socket.
  void Wake();
  // Closes the socket if open; safe to call repeatedly and from any thread.
  void Close();

  // IPv4 address of a dotted address or host name into addr->sin_addr (the address logged).
  static bool GetIP(const char* host, SOCKADDR_IN* addr);

 private:
  // The attempt was ended by a stop request (one level-5 line); false.
  static bool Stopped(const char* host, const char* port, RelayEnd* failure);
  // A failure of the set-up: its line logged; false.
  static bool Failed(const char* line, RelayEnd* failure);

  SOCKET m_hSocket;
  CRITICAL_SECTION m_csSocket;  // m_hSocket changes and the calls that shut it; never held while waiting
};
