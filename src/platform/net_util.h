// Socket helpers for the few calls whose form differs between Winsock and BSD sockets.
// Everything else the relay uses is the Winsock API under its own names (platform.h).
//
// How the helpers answer: one that stands for a Winsock call answers as that call does (a byte
// count or SOCKET_ERROR, 0 or SOCKET_ERROR; WSAGetLastError gives the code). Of the two with no
// single call behind them, a yes/no answers bool (KvLookupHostV4) and KvWaitConnected answers
// one of its named KvConnectWait outcomes.
#pragma once

#include "platform/platform.h"

// Flags for every send(): on POSIX a connection closed by the peer must give an error, not a
// signal that would end the cash register's process.
#ifdef _WIN32
#define KV_SEND_FLAGS 0
#else
#define KV_SEND_FLAGS MSG_NOSIGNAL
#endif

// Type flags for every socket() of the library: on POSIX the socket is not inherited by a
// program the cash register starts (close-on-exec).
#ifdef _WIN32
#define KV_SOCKET_FLAGS 0
#else
#define KV_SOCKET_FLAGS SOCK_CLOEXEC
#endif

// send and recv on a blocking socket whose SO_SNDTIMEO/SO_RCVTIMEO is `ms` (0: none), with
// their results and WSAGetLastError codes (a time-out: WSAETIMEDOUT). On POSIX a signal that
// interrupts the wait does not end the call: it goes on with what is left of `ms`. KvSend
// returns once everything is sent, or with the count sent when the time runs out after some.
#ifdef _WIN32
inline int KvSend(SOCKET s, const char* buf, int len, DWORD) { return send(s, buf, len, 0); }
inline int KvRecv(SOCKET s, char* buf, int len, DWORD) { return recv(s, buf, len, 0); }
#else
int KvSend(SOCKET s, const char* buf, int len, DWORD ms);
int KvRecv(SOCKET s, char* buf, int len, DWORD ms);
#endif

// Sets SO_SNDTIMEO or SO_RCVTIMEO (`option`) of `s` so that a blocking send or recv gives up
// after `ms` milliseconds without progress. 0 on success, SOCKET_ERROR on failure.
int KvSetSocketTimeOut(SOCKET s, int option, DWORD ms);

// What KvWaitConnected saw (the numbers are the ones the relay has always compared with).
enum KvConnectWait : int {
  kKvConnectWaitFailed = -1,  // the wait itself failed
  kKvConnectTimedOut = 0,
  kKvConnected = 1,
  kKvConnectRefused = -2,  // the attempt failed (refused, unreachable ...: WSAGetLastError has its code)
};

// Waits up to `ms` milliseconds for a non-blocking connect on `s` to finish; a KvConnectWait
// value. Works for any socket value (no fd_set limit).
int KvWaitConnected(SOCKET s, DWORD ms);

// Shuts both directions of `s` down without releasing it, so that a send or recv blocked on
// another thread returns at once. The socket stays valid until closesocket.
void KvShutdownSocket(SOCKET s);

// The first IPv4 address of host name `host` into *addr. False when the name cannot be
// resolved (no record, no IPv4 address). Safe on any thread.
bool KvLookupHostV4(const char* host, struct in_addr* addr);

// The length type of socket address arguments (getsockname, accept ...).
#ifdef _WIN32
typedef int KvSockLen;
#else
typedef socklen_t KvSockLen;
#endif
