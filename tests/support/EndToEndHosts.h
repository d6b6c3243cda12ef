// Bank hosts on 127.0.0.1 for the end-to-end tests: one that answers each connection with one block,
// "OK:" followed by what it received, and one whose connect neither succeeds nor fails.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackHost.h"

namespace e2e {

class Host {
 public:
  // Each answer goes out `delayMs` after the block came.
  explicit Host(int delayMs = 0) : delayMs_(delayMs) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 8) != 0) return;
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~Host() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    close(fd_);
  }
  int port() const { return port_; }
  int connections() const { return connections_; }
  // Of the last connection: 1 when the peer's socket (in this process) is close-on-exec, 0 when
  // not, -1 when it is not found here.
  int peerCloexec() const { return peerCloexec_; }
  std::vector<std::string> received() {
    std::lock_guard<std::mutex> lk(mu_);
    return received_;
  }

 private:
  void Serve() {
    while (!stop_) {
      struct pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      ++connections_;
      struct pollfd q = {c, POLLIN, 0};
      char buf[4096];
      if (poll(&q, 1, 3000) > 0) {
        const ssize_t n = recv(c, buf, sizeof buf, 0);
        if (n > 0) {
          {
            std::lock_guard<std::mutex> lk(mu_);
            received_.emplace_back(buf, static_cast<size_t>(n));
          }
          peerCloexec_ = PeerCloseOnExec(c);
          if (delayMs_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs_));
          const std::string reply = "OK:" + std::string(buf, static_cast<size_t>(n));
          ssize_t w = send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
          (void)w;
        }
      }
      close(c);
    }
  }
  // The descriptor of this process connected to our side of `c`.
  static int PeerCloseOnExec(int c) {
    sockaddr_in mine = {}, peer = {};
    socklen_t len = sizeof mine;
    if (getpeername(c, reinterpret_cast<sockaddr*>(&mine), &len) != 0) return -1;
    for (int fd = 0; fd < 1024; ++fd) {
      len = sizeof peer;
      if (fd == c || getsockname(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) continue;
      if (peer.sin_family == AF_INET && peer.sin_port == mine.sin_port)
        return (fcntl(fd, F_GETFD) & FD_CLOEXEC) ? 1 : 0;
    }
    return -1;
  }
  const int delayMs_;
  std::atomic<int> peerCloexec_{-1};
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::mutex mu_;
  std::vector<std::string> received_;
  std::thread thread_;
};

// A host whose connect neither succeeds nor fails (the loopback host's full accept queue), under the
// name and port() the end-to-end tests use.
class HangingHost : public FullQueueHost {
 public:
  int port() const { return PortNumber(); }
};

}  // namespace e2e
