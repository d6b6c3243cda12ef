// Socket helpers on Winsock (see platform/net_util.h).
#include "platform/net_util.h"

#include <cstring>

int KvSetSocketTimeOut(SOCKET s, int option, DWORD ms) {
  // Winsock takes the time-out as a DWORD of milliseconds.
  return setsockopt(s, SOL_SOCKET, option, reinterpret_cast<const char*>(&ms), sizeof(ms));
}

int KvWaitConnected(SOCKET s, DWORD ms) {
  if (s == INVALID_SOCKET) {
    WSASetLastError(WSAENOTSOCK);
    return kKvConnectWaitFailed;
  }
  // Winsock reports a failed attempt in the exception set, never as writable.
  fd_set writeSet;
  fd_set exceptSet;
  FD_ZERO(&writeSet);
  FD_ZERO(&exceptSet);
  FD_SET(s, &writeSet);
  FD_SET(s, &exceptSet);
  timeval tv;
  tv.tv_sec = static_cast<long>(ms / 1000);
  tv.tv_usec = static_cast<long>(ms % 1000) * 1000;
  int rc = select(0, nullptr, &writeSet, &exceptSet, &tv);
  if (rc < 0) return kKvConnectWaitFailed;
  if (rc == 0) {
    WSASetLastError(WSAETIMEDOUT);
    return kKvConnectTimedOut;
  }
  int err = 0;
  int len = sizeof(err);
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
    return kKvConnectWaitFailed;
  if (FD_ISSET(s, &exceptSet) || err != 0) {
    WSASetLastError(err != 0 ? err : WSAECONNREFUSED);
    return kKvConnectRefused;
  }
  return kKvConnected;
}

void KvShutdownSocket(SOCKET s) {
  if (s != INVALID_SOCKET) shutdown(s, SD_BOTH);
}

bool KvLookupHostV4(const char* host, struct in_addr* addr) {
  if (host == nullptr || addr == nullptr) return false;
  // Winsock keeps the result per thread.
  const hostent* he = gethostbyname(host);
  if (he == nullptr || he->h_addr_list == nullptr || he->h_addr_list[0] == nullptr) return false;
  if (he->h_addrtype != AF_INET || he->h_length != static_cast<int>(sizeof(*addr))) return false;
  memcpy(addr, he->h_addr_list[0], sizeof(*addr));
  return true;
}
