// The relay's audit line: its text for every ending, printable destinations, one line per unit.
#include <gtest/gtest.h>

#include <string>

#include "relay/RelayAudit.h"
#include "support/RelaySupport.h"

namespace {

TEST(RelayAudit, LineNamesDestinationCountsTimeAndEnding) {
  char line[256];
  FormatRelayAudit(line, sizeof(line), "10.0.0.1", "9000", 12, 34, 56, RelayEnd::kReplied);
  EXPECT_STREQ(line, "主机转发：目的地址=10.0.0.1:9000，发送=12字节，接收=34字节，用时=56ms，结果=已应答");
  FormatRelayAudit(line, sizeof(line), "a\nb c\xB0", "9\r", 0, 0, 0, RelayEnd::kNotAllowed);
  EXPECT_STREQ(
      line,
      "主机转发：目的地址=a?b?c?:9?，发送=0字节，接收=0字节，用时=0ms，结果=目的地址不在AllowedHosts中，"
      "未连接，已丢弃");
  const struct {
    RelayEnd end;
    const char* text;
  } kEnds[] = {
      {RelayEnd::kHostClosed, "主机关闭连接"},
      {RelayEnd::kConnectRefused, "连接失败(被拒绝)"},
      {RelayEnd::kConnectTimedOut, "连接失败(超时)"},
      {RelayEnd::kStopped, "已停止"},
      {RelayEnd::kFailed, "失败"},
  };
  for (const auto& e : kEnds) EXPECT_STREQ(e.text, RelayEndText(e.end));
  FormatRelayAudit(line, 8, "10.0.0.1", "9000", 1, 1, 1, RelayEnd::kReplied);  // cut, terminated
  EXPECT_LT(strlen(line), 8u);
}

TEST(RelayAudit, OneLinePerUnitWhicheverThreadEndsItFirst) {
  LogSandbox::Init();
  const size_t mark = LogSandbox::Mark();
  RelayAudit audit;
  EXPECT_FALSE(audit.End(RelayEnd::kStopped));  // no unit open: nothing
  audit.Begin("127.0.0.1", "4321");
  audit.AddSent(5);
  audit.AddReceived(7);
  EXPECT_TRUE(audit.End(RelayEnd::kReplied));
  EXPECT_FALSE(audit.End(RelayEnd::kStopped));
  const std::string log = LogSandbox::Since(mark);
  EXPECT_EQ(1, CountOf(log, "主机转发："));
  EXPECT_NE(std::string::npos, log.find("目的地址=127.0.0.1:4321，发送=5字节，接收=7字节，用时=")) << log;
  EXPECT_NE(std::string::npos, log.find("ms，结果=已应答 \r\n")) << log;
}

}  // namespace
