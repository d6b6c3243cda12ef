// The loopback hosts, and the socket helpers their scripts use.
#include "LoopbackHost.h"

#include <chrono>
#include <cstring>

#include "platform/net_util.h"

void StartSockets() {
  static bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}

bool WaitReadable(SOCKET s, int ms) {
  fd_set rs;
  FD_ZERO(&rs);
  FD_SET(s, &rs);
  timeval tv;
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  return select(static_cast<int>(s) + 1, &rs, nullptr, nullptr, &tv) > 0;
}

Bytes RecvOnce(SOCKET s, int ms) {
  if (!WaitReadable(s, ms)) return Bytes();
  char buf[65536];
  int n = static_cast<int>(recv(s, buf, sizeof(buf), 0));
  return n > 0 ? Bytes(buf, buf + n) : Bytes();
}

bool WaitPeerClose(SOCKET s, int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  char buf[4096];
  for (;;) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    if (!WaitReadable(s, static_cast<int>(left.count()))) return false;
    if (recv(s, buf, sizeof(buf), 0) <= 0) return true;
  }
}

void SendAll(SOCKET s, const Bytes& data) {
  size_t off = 0;
  while (off < data.size()) {
    int n = static_cast<int>(send(s, reinterpret_cast<const char*>(data.data()) + off,
                                  static_cast<int>(data.size() - off), KV_SEND_FLAGS));
    if (n <= 0) return;
    off += static_cast<size_t>(n);
  }
}

void SetAbortiveClose(SOCKET s) {
  struct linger lg;
  lg.l_onoff = 1;
  lg.l_linger = 0;
  setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lg), sizeof(lg));
}

LoopbackHost::LoopbackHost() {
  StartSockets();
  ls_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  SOCKADDR_IN a;
  std::memset(&a, 0, sizeof(a));
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  bind(ls_, reinterpret_cast<SOCKADDR*>(&a), sizeof(a));
  listen(ls_, 8);
  KvSockLen len = sizeof(a);
  getsockname(ls_, reinterpret_cast<SOCKADDR*>(&a), &len);
  port_ = ntohs(a.sin_port);
}

LoopbackHost::~LoopbackHost() {
  Join();
  CloseListener();
}

void LoopbackHost::Serve(int connections, Script script) {
  thread_ = std::thread([this, connections, script] {
    for (int i = 0; i < connections; ++i) {
      if (!WaitReadable(ls_, kHostWaitMs)) return;
      SOCKET s = accept(ls_, nullptr, nullptr);
      if (s == INVALID_SOCKET) return;
      accepted_++;
      script(s, i);
      closesocket(s);
    }
  });
}

LoopbackHost::Script LoopbackHost::Answer(const Bytes& answer) {
  return [this, answer](SOCKET s, int) {
    Record(RecvOnce(s, kHostWaitMs));
    SendAll(s, answer);
    WaitPeerClose(s, kHostWaitMs);
  };
}

void LoopbackHost::ServeUntilStopped(Script script) {
  thread_ = std::thread([this, script] {
    for (int i = 0; !stop_; ++i) {
      if (!WaitReadable(ls_, 20)) continue;
      SOCKET s = accept(ls_, nullptr, nullptr);
      if (s == INVALID_SOCKET) continue;
      accepted_++;
      script(s, i);
      closesocket(s);
    }
  });
}

void LoopbackHost::StopServing() {
  stop_ = true;
  Join();
}

void LoopbackHost::Join() {
  if (thread_.joinable()) thread_.join();
}

void LoopbackHost::Record(const Bytes& b) {
  std::lock_guard<std::mutex> g(mu_);
  received_.push_back(b);
}

std::vector<Bytes> LoopbackHost::Received() {
  std::lock_guard<std::mutex> g(mu_);
  return received_;
}

SOCKET LoopbackHost::Connect() const {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return s;
  SOCKADDR_IN a;
  std::memset(&a, 0, sizeof(a));
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<u_short>(port_));
  if (connect(s, reinterpret_cast<SOCKADDR*>(&a), sizeof(a)) != 0) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

void LoopbackHost::CloseListener() {
  if (ls_ != INVALID_SOCKET) {
    closesocket(ls_);
    ls_ = INVALID_SOCKET;
  }
}

FullQueueHost::FullQueueHost() {
  StartSockets();
  // Close-on-exec like the library's own sockets: a program a test starts does not hold them open.
  ls_ = socket(AF_INET, SOCK_STREAM | KV_SOCKET_FLAGS, IPPROTO_TCP);
  if (ls_ == INVALID_SOCKET) return;
  SOCKADDR_IN a;
  std::memset(&a, 0, sizeof(a));
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(ls_, reinterpret_cast<SOCKADDR*>(&a), sizeof(a)) != 0 || listen(ls_, 0) != 0) return;
  KvSockLen len = sizeof(a);
  if (getsockname(ls_, reinterpret_cast<SOCKADDR*>(&a), &len) != 0) return;
  filler_ = socket(AF_INET, SOCK_STREAM | KV_SOCKET_FLAGS, IPPROTO_TCP);
  if (filler_ == INVALID_SOCKET) return;
  if (connect(filler_, reinterpret_cast<SOCKADDR*>(&a), sizeof(a)) == 0) port_ = ntohs(a.sin_port);
}

void FullQueueHost::Close() {
  if (filler_ != INVALID_SOCKET) {
    closesocket(filler_);
    filler_ = INVALID_SOCKET;
  }
  if (ls_ != INVALID_SOCKET) {
    closesocket(ls_);
    ls_ = INVALID_SOCKET;
  }
}
