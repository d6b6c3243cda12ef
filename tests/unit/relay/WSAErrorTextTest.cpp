// The Winsock error texts and the last-error reading behind them.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "relay/TcpThread.h"
#include "relay/WSAErrorText.h"

namespace {

std::string Text(int code) {
  const char* t = GetWSAErrorTextOf(code);
  return t != nullptr ? t : "<null>";
}

TEST(WSAErrorText, KnownCodesGiveTheirTexts) {
  EXPECT_EQ(Text(10061), "连接被拒");
  EXPECT_EQ(Text(10060), "连接超时");
  EXPECT_EQ(Text(10054), "连接被对方重设");
  EXPECT_EQ(Text(6), "指定的事件对象无效");
  EXPECT_EQ(Text(8), "这个Win32错误指出内存数量不足，无法完成指定的操作");
  EXPECT_EQ(Text(10092), "Winsock.dll版本有误");
  EXPECT_EQ(Text(11001), "主机没有找到");
  EXPECT_EQ(Text(11013), "无效的FILTERSPEC结构或者提供者特有对象");
  EXPECT_EQ(Text(11015), "常规QoS错误");
  EXPECT_EQ(Text(10035), "资源暂时不可用");
}

TEST(WSAErrorText, PairsShareTheirTexts) {
  EXPECT_EQ(Text(10102), "找不到更多的记录");
  EXPECT_EQ(Text(10110), "找不到更多的记录");
  EXPECT_EQ(Text(10103), "操作被取消");
  EXPECT_EQ(Text(10111), "操作被取消");
}

TEST(WSAErrorText, CodesOutsideTheTableGiveNoText) {
  for (int code : {0, -1, 1, 7, 10000, 10059, 10062, 10066, 10100, 10113, 11000, 11016, 99999}) {
    EXPECT_EQ(GetWSAErrorTextOf(code), nullptr) << code;
  }
}

TEST(WSAErrorText, TableHas72CodesEachWithText) {
  EXPECT_EQ(GetWSAErrorTextCount(), 72);
  // Every listed code between the table's ends answers; the count of those that do is 72.
  int found = 0;
  for (int code = 0; code <= 11015; ++code) {
    const char* t = GetWSAErrorTextOf(code);
    if (t != nullptr) {
      ++found;
      EXPECT_GT(std::string(t).size(), 0u) << code;
    }
  }
  EXPECT_EQ(found, 72);
}

TEST(WSAErrorText, ReadsTheThreadsLastError) {
  WSASetLastError(10061);
  ASSERT_NE(TcpThread::GetWSAErrorText(), nullptr);
  EXPECT_STREQ(TcpThread::GetWSAErrorText(), "连接被拒");
  // A code the socket layer itself never produces still round-trips.
  WSASetLastError(10110);
  EXPECT_EQ(WSAGetLastError(), 10110);
  EXPECT_STREQ(TcpThread::GetWSAErrorText(), "找不到更多的记录");
  WSASetLastError(0);
  EXPECT_EQ(WSAGetLastError(), 0);
  EXPECT_EQ(TcpThread::GetWSAErrorText(), nullptr);
  WSASetLastError(10059);
  EXPECT_EQ(TcpThread::GetWSAErrorText(), nullptr);
}

}  // namespace
