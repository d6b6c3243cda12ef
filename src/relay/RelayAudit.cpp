// The relay's audit line.
#include "relay/RelayAudit.h"

#include <cstdio>
#include <cstring>

#include "log/Log.h"
#include "log/Messages.h"
#include "platform/platform.h"

namespace {

// A destination text as the audit line shows it.
void Printable(char* out, size_t size, const char* in) {
  size_t n = 0;
  for (; in != nullptr && in[n] != '\0' && n + 1 < size; ++n) {
    const unsigned char c = static_cast<unsigned char>(in[n]);
    out[n] = (c >= 0x21 && c <= 0x7E) ? static_cast<char>(c) : '?';
  }
  out[n] = '\0';
}

}  // namespace

const char* RelayEndText(RelayEnd end) {
  switch (end) {
    case RelayEnd::kNone:
      return "";
    case RelayEnd::kReplied:
      return KV_MSG_REPLIED;
    case RelayEnd::kHostClosed:
      return "主机关闭连接";
    case RelayEnd::kConnectRefused:
      return "连接失败(被拒绝)";
    case RelayEnd::kConnectTimedOut:
      return "连接失败(超时)";
    case RelayEnd::kStopped:
      return "已停止";
    case RelayEnd::kFailed:
      return "失败";
    case RelayEnd::kNotAllowed:
      return "目的地址不在AllowedHosts中，未连接，已丢弃";
  }
  return "";
}

void FormatRelayAudit(char* out, size_t size, const char* host, const char* port, long long sent,
                      long long received, unsigned long ms, RelayEnd end) {
  if (out == nullptr || size == 0) return;
  char h[64];
  char p[16];
  Printable(h, sizeof(h), host);
  Printable(p, sizeof(p), port);
  std::snprintf(out, size,
                KV_MSG_RELAY_AUDIT
                "目的地址=%s:%s，发送=%lld字节，接收=%lld字节，用时=%lums，" KV_MSG_AUDIT_RESULT "%s",
                h, p, sent, received, ms, RelayEndText(end));
}

RelayAudit::RelayAudit() : started_(0), sent_(0), received_(0), open_(false) {
  host_[0] = '\0';
  port_[0] = '\0';
}

void RelayAudit::Begin(const char* host, const char* port) {
  Printable(host_, sizeof(host_), host);
  Printable(port_, sizeof(port_), port);
  sent_ = 0;
  received_ = 0;
  started_ = Deadline(0);
  open_ = true;
}

bool RelayAudit::End(RelayEnd end) {
  if (!open_.exchange(false)) return false;
  const unsigned long ms = started_.Elapsed();
  char line[kLogMessageSize];
  FormatRelayAudit(line, sizeof(line), host_, port_, sent_.load(), received_.load(), ms, end);
  WriteLog(KV_HERE, LOG_ERROR, "%s", line);
  return true;
}
