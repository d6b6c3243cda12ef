// Bank hosts on 127.0.0.1: one that runs a script on each connection, and one whose connect never
// completes. Written against the Winsock names so that they run wherever the relay does (the relay's
// tests, the end-to-end suites, the benchmarks and any suite on Windows).
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

// The bytes of a block, as the relay's tests name them.
typedef std::vector<unsigned char> Bytes;

constexpr int kHostWaitMs = 10000;  // generous bound for anything awaited

// Makes the socket library usable for the test process (once).
void StartSockets();
// Waits up to `ms` for `s` to become readable. True when it did.
bool WaitReadable(SOCKET s, int ms);
// One receive within `ms`; empty on time-out, close or error.
Bytes RecvOnce(SOCKET s, int ms);
// Waits until the peer closes (end of stream or error) within `ms`. True when it did.
bool WaitPeerClose(SOCKET s, int ms);
void SendAll(SOCKET s, const Bytes& data);
// Makes the next close of `s` send a reset instead of an orderly close.
void SetAbortiveClose(SOCKET s);

// Accepts connections one after another and runs a script on each.
class LoopbackHost {
 public:
  typedef std::function<void(SOCKET s, int index)> Script;

  LoopbackHost();
  ~LoopbackHost();
  LoopbackHost(const LoopbackHost&) = delete;
  LoopbackHost& operator=(const LoopbackHost&) = delete;

  std::string Port() const { return std::to_string(port_); }
  int PortNumber() const { return port_; }
  // Serves `connections` connections with `script` on a thread of its own.
  void Serve(int connections, Script script);
  // The script of a host that answers: records the block it receives, sends `answer`, then waits
  // for the peer to close.
  Script Answer(const Bytes& answer);
  // Serves every connection with `script` until StopServing.
  void ServeUntilStopped(Script script);
  void StopServing();
  void Join();
  void Record(const Bytes& b);
  std::vector<Bytes> Received();
  int Accepted() const { return accepted_; }
  // A connection of the test's own to this host (blocking); INVALID_SOCKET when it was not made.
  SOCKET Connect() const;
  // Closes the listener: further connections are refused.
  void CloseListener();

 private:
  SOCKET ls_ = INVALID_SOCKET;
  int port_ = 0;
  std::thread thread_;
  std::mutex mu_;
  std::vector<Bytes> received_;
  std::atomic<int> accepted_{0};
  std::atomic<bool> stop_{false};
};

// A listener whose accept queue is full (backlog 0, one connection of its own queued): a further
// connect to it neither succeeds nor fails, as with a bank host that never answers the handshake.
class FullQueueHost {
 public:
  FullQueueHost();
  ~FullQueueHost() { Close(); }
  FullQueueHost(const FullQueueHost&) = delete;
  FullQueueHost& operator=(const FullQueueHost&) = delete;

  // 0 (and "0") when the listener or its queued connection could not be set up.
  int PortNumber() const { return port_; }
  std::string Port() const { return std::to_string(port_); }
  // Releases both sockets now (a test that counts descriptors closes it before counting).
  void Close();

 private:
  SOCKET ls_ = INVALID_SOCKET;
  SOCKET filler_ = INVALID_SOCKET;
  int port_ = 0;
};
