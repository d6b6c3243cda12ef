// The socket layer under the Winsock names: start-up, the switch to non-blocking mode, double
// close, and the wake-up of a receive blocked on another thread.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/net_util.h"
#include "platform/platform.h"
#include "LoopbackHost.h"

namespace {

TEST(SocketLayer, StartupCleanupAndNonBlockingSwitch) {
  StartSockets();  // the process keeps one start-up; the pair below is balanced
  WSADATA data;
  ASSERT_EQ(WSAStartup(0x0101, &data), 0);
  EXPECT_EQ(data.wVersion, 0x0101);
  EXPECT_EQ(WSACleanup(), 0);
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(s, INVALID_SOCKET);
  u_long on = 1;
  ASSERT_EQ(ioctlsocket(s, FIONBIO, &on), 0);
  char c;
  EXPECT_EQ(recv(s, &c, 1, 0), SOCKET_ERROR);  // not connected, non-blocking: fails at once
  u_long off = 0;
  ASSERT_EQ(ioctlsocket(s, FIONBIO, &off), 0);
  EXPECT_EQ(closesocket(s), 0);
  EXPECT_EQ(closesocket(s), SOCKET_ERROR);  // a second close is refused, not a crash
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
}

TEST(SocketLayer, ShutdownWakesARecvOnAnotherThread) {
  LoopbackHost host;
  host.Serve(1, [&](SOCKET fd, int) { WaitPeerClose(fd, kHostWaitMs); });
  SOCKET s = host.Connect();
  ASSERT_NE(s, INVALID_SOCKET);
  std::atomic<int> result{1};
  std::thread reader([&] {
    char buf[16];
    result = static_cast<int>(recv(s, buf, sizeof(buf), 0));
  });
  // Whether the reader is already blocked or not, the shut-down socket gives it an end of stream.
  KvShutdownSocket(s);
  reader.join();
  EXPECT_LE(result.load(), 0);  // end of stream (BSD) or a shut-down error (Winsock)
  EXPECT_EQ(closesocket(s), 0);
  host.Join();
}

}  // namespace
