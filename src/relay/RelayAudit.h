// The audit line of the host relay: one level-2 log line for every unit of transmit data when it
// ends, naming the destination, the bytes sent to and received from the host, the time taken and
// how it ended. Written whatever MaskCardNumber says: it holds no payload.
#pragma once

#include <atomic>
#include <cstddef>

#include "base/Deadline.h"

// How a relay unit ended (TcpThread::EndUnit is the one place that records it).
enum class RelayEnd {
  kNone,             // no unit has ended yet
  kReplied,          // the host's answer was written to the terminal
  kHostClosed,       // the host closed the connection before it answered
  kConnectRefused,   // the connection attempt failed before its time-out (refused, unreachable)
  kConnectTimedOut,  // no connection within the connect time-out
  kStopped,          // a stop request ended the unit (connecting, sending or receiving)
  kFailed,           // any other failure: name look-up, socket set-up, send, recv, the write
  kNotAllowed,       // the destination is not in [TCP] AllowedHosts: dropped unconnected
};

// Text of an ending, GBK.
const char* RelayEndText(RelayEnd end);

// The audit line into `out` (`size` bytes, always terminated). Bytes of host and port outside
// 0x21..0x7E show as '?', so a terminal cannot forge log lines through them.
void FormatRelayAudit(char* out, size_t size, const char* host, const char* port, long long sent,
                      long long received, unsigned long ms, RelayEnd end);

// One unit's record: Begin when the unit is taken, the counts as bytes move, and End once, on
// whichever thread sees the end first; later Ends do nothing. Safe across the watch, relay and
// caller threads.
class RelayAudit {
 public:
  RelayAudit();
  // Starts a unit for a destination (texts are copied) and takes the start time.
  void Begin(const char* host, const char* port);
  void AddSent(long long n) { sent_ += n; }
  void AddReceived(long long n) { received_ += n; }
  // Writes the audit line of the current unit, if one is open. True when this call wrote it.
  bool End(RelayEnd end);
  bool IsOpen() const { return open_.load(); }

 private:
  char host_[64];
  char port_[16];
  Deadline started_;  // only its elapsed time is read: the time the unit took
  std::atomic<long long> sent_;
  std::atomic<long long> received_;
  std::atomic<bool> open_;
};
