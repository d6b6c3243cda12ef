// Winsock on BSD sockets: start-up and clean-up, the last error as a Winsock number, and the
// two calls whose form differs (closesocket, ioctlsocket). socket, connect, send, recv and the
// rest are the BSD calls themselves.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/posix/win32_posix.h"

namespace {

std::atomic<int> g_startups{0};

struct ErrnoToWsa {
  int err;
  int wsa;
};

// errno values and the Winsock numbers with the same meaning. A blocking transfer that ran
// into its SO_SNDTIMEO/SO_RCVTIMEO fails with EAGAIN; Winsock reports that as WSAETIMEDOUT.
const ErrnoToWsa kErrnoMap[] = {
    {EINTR, WSAEINTR},
    {EBADF, WSAENOTSOCK},
    {EACCES, WSAEACCES},
    {EPERM, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {EAGAIN, WSAETIMEDOUT},
    {EINPROGRESS, WSAEWOULDBLOCK},
    {EALREADY, WSAEALREADY},
    {ENOTSOCK, WSAENOTSOCK},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},
    {EPFNOSUPPORT, WSAEPFNOSUPPORT},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    {EPIPE, WSAECONNRESET},  // the peer is gone: Winsock reports the reset
    {ENOBUFS, WSAENOBUFS},
    {ENOMEM, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {ETOOMANYREFS, WSAETOOMANYREFS},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {ELOOP, WSAELOOP},
    {ENAMETOOLONG, WSAENAMETOOLONG},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
};

// errno value that stands for a Winsock number without an errno counterpart, set by
// WSASetLastError; the number itself is kept per thread.
constexpr int kErrnoPrivate = 0x4B560000;
thread_local int t_privateWsaError = 0;

}  // namespace

int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData) {
  if (lpWSAData == nullptr) return WSAEFAULT;
  if (LOBYTE(wVersionRequested) < 1) return WSAVERNOTSUPPORTED;
  std::memset(lpWSAData, 0, sizeof(*lpWSAData));
  lpWSAData->wVersion = wVersionRequested;
  lpWSAData->wHighVersion = MAKEWORD(2, 2);
  std::strncpy(lpWSAData->szDescription, "BSD sockets", WSADESCRIPTION_LEN);
  std::strncpy(lpWSAData->szSystemStatus, "Running", WSASYS_STATUS_LEN);
  lpWSAData->iMaxSockets = 0;
  lpWSAData->iMaxUdpDg = 0;
  g_startups.fetch_add(1);
  return 0;
}

int WSACleanup(void) {
  int n = g_startups.load();
  while (n > 0) {
    if (g_startups.compare_exchange_weak(n, n - 1)) return 0;
  }
  WSASetLastError(WSANOTINITIALISED);
  return SOCKET_ERROR;
}

int WSAGetLastError(void) {
  int err = errno;
  if (err == 0) return 0;
  if (err == kErrnoPrivate) return t_privateWsaError;
  for (const ErrnoToWsa& e : kErrnoMap) {
    if (e.err == err) return e.wsa;
  }
  return WSASYSCALLFAILURE;
}

void WSASetLastError(int iError) {
  if (iError == 0) {
    errno = 0;
    return;
  }
  for (const ErrnoToWsa& e : kErrnoMap) {
    if (e.wsa == iError) {
      errno = e.err;
      return;
    }
  }
  t_privateWsaError = iError;
  errno = kErrnoPrivate;
}

int closesocket(SOCKET s) {
  if (s < 0) {
    errno = EBADF;
    return SOCKET_ERROR;
  }
  // Wake a send or recv blocked on another thread before the descriptor goes away.
  shutdown(s, SHUT_RDWR);
  if (close(s) != 0 && errno != EINTR) return SOCKET_ERROR;
  errno = 0;
  return 0;
}

int ioctlsocket(SOCKET s, long cmd, u_long* argp) {
  if (argp == nullptr) {
    errno = EFAULT;
    return SOCKET_ERROR;
  }
  if (cmd == FIONBIO) {
    int flags = fcntl(s, F_GETFL);
    if (flags < 0) return SOCKET_ERROR;
    flags = *argp ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(s, F_SETFL, flags) == 0 ? 0 : SOCKET_ERROR;
  }
  if (cmd == FIONREAD) {
    int n = 0;
    if (ioctl(s, FIONREAD, &n) != 0) return SOCKET_ERROR;
    *argp = static_cast<u_long>(n < 0 ? 0 : n);
    return 0;
  }
  errno = EINVAL;
  return SOCKET_ERROR;
}
