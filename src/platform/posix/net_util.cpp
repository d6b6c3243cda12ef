// Socket helpers on BSD sockets (see platform/net_util.h).
#include "platform/net_util.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <netdb.h>

int KvSetSocketTimeOut(SOCKET s, int option, DWORD ms) {
  struct timeval tv;
  tv.tv_sec = static_cast<time_t>(ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  return setsockopt(s, SOL_SOCKET, option, &tv, sizeof(tv)) == 0 ? 0 : SOCKET_ERROR;
}

namespace {

int64_t NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits up to the deadline (-1: none) for `events` on `s`, through signals. 1 ready, 0 the
// time ran out (errno EAGAIN, which WSAGetLastError reports as a time-out), -1 failed.
int PollUntil(SOCKET s, short events, int64_t deadline) {
  for (;;) {
    int64_t left = -1;
    if (deadline >= 0) {
      left = deadline - NowMs();
      if (left <= 0) {
        errno = EAGAIN;
        return 0;
      }
    }
    struct pollfd pfd = {s, events, 0};
    const int rc = poll(&pfd, 1, static_cast<int>(left > INT_MAX ? INT_MAX : left));
    if (rc > 0) return 1;
    if (rc < 0 && errno != EINTR) return -1;
  }
}

int64_t DeadlineAfter(DWORD ms) { return ms == 0 ? -1 : NowMs() + static_cast<int64_t>(ms); }

}  // namespace

int KvSend(SOCKET s, const char* buf, int len, DWORD ms) {
  const int64_t deadline = DeadlineAfter(ms);
  int done = 0;
  while (done < len) {
    const ssize_t n = send(s, buf + done, static_cast<size_t>(len - done), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
      return done > 0 ? done : SOCKET_ERROR;
    if (n < 0 && errno == EINTR) continue;
    const int rc = PollUntil(s, POLLOUT, deadline);
    if (rc <= 0) return done > 0 ? done : SOCKET_ERROR;
  }
  return done;
}

int KvRecv(SOCKET s, char* buf, int len, DWORD ms) {
  const int64_t deadline = DeadlineAfter(ms);
  for (;;) {
    const int rc = PollUntil(s, POLLIN, deadline);
    if (rc <= 0) return SOCKET_ERROR;
    const ssize_t n = recv(s, buf, static_cast<size_t>(len), MSG_DONTWAIT);
    if (n >= 0) return static_cast<int>(n);
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return SOCKET_ERROR;
  }
}

int KvWaitConnected(SOCKET s, DWORD ms) {
  if (s < 0) {
    errno = EBADF;
    return kKvConnectWaitFailed;
  }
  int64_t deadline = NowMs() + static_cast<int64_t>(ms);
  for (;;) {
    int64_t left = deadline - NowMs();
    if (left < 0) left = 0;
    struct pollfd pfd;
    pfd.fd = s;
    pfd.events = POLLOUT;
    pfd.revents = 0;
    int rc = poll(&pfd, 1, static_cast<int>(left > INT_MAX ? INT_MAX : left));
    if (rc < 0) {
      if (errno == EINTR) continue;
      return kKvConnectWaitFailed;
    }
    if (rc == 0) {
      if (left > 0) continue;  // woke early: wait the rest
      errno = ETIMEDOUT;
      return kKvConnectTimedOut;
    }
    // Writable, or an error/hang-up: the pending error tells a refused attempt from success.
    int err = 0;
    socklen_t len = sizeof(err);
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return kKvConnectWaitFailed;
    if (err != 0) {
      errno = err;
      return kKvConnectRefused;
    }
    if (pfd.revents & (POLLERR | POLLHUP)) {
      errno = ECONNREFUSED;
      return kKvConnectRefused;
    }
    return kKvConnected;
  }
}

void KvShutdownSocket(SOCKET s) {
  if (s >= 0) shutdown(s, SHUT_RDWR);
}

bool KvLookupHostV4(const char* host, struct in_addr* addr) {
  if (host == nullptr || addr == nullptr) return false;
  // getaddrinfo rather than gethostbyname: the latter's static result is shared by every
  // thread of the cash register's process.
  struct addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* res = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &res) != 0 || res == nullptr) return false;
  bool found = false;
  for (struct addrinfo* p = res; p != nullptr; p = p->ai_next) {
    if (p->ai_family == AF_INET && p->ai_addr != nullptr && p->ai_addrlen >= sizeof(struct sockaddr_in)) {
      *addr = reinterpret_cast<const struct sockaddr_in*>(p->ai_addr)->sin_addr;
      found = true;
      break;
    }
  }
  freeaddrinfo(res);
  return found;
}
