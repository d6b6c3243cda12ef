// errno values of the BSD socket calls read back as Winsock numbers.
#include <gtest/gtest.h>

#include <cerrno>

#include "platform/platform.h"

namespace {

TEST(PosixWinsock, ErrnoMapsOntoWinsockNumbers) {
  struct {
    int err;
    int wsa;
  } cases[] = {{ECONNREFUSED, 10061}, {ETIMEDOUT, 10060},
               {EAGAIN, 10060},       {ECONNRESET, 10054},
               {EPIPE, 10054},        {EINTR, 10004},
               {ENOTSOCK, 10038},     {EBADF, 10038},
               {EHOSTUNREACH, 10065}, {ENETUNREACH, 10051},
               {EADDRINUSE, 10048},   {ENOTCONN, 10057},
               {EINPROGRESS, 10035},  {0, 0},
               {EDOM, 10107}};
  for (auto c : cases) {
    errno = c.err;
    EXPECT_EQ(WSAGetLastError(), c.wsa) << c.err;
  }
  WSASetLastError(10061);
  EXPECT_EQ(errno, ECONNREFUSED);
  EXPECT_EQ(WSAGetLastError(), 10061);
}

}  // namespace
