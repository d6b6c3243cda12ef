// What the host relay needs of the terminal side, defined here so that the relay depends on
// nothing above it: the write of a reply to the terminal, a copy of the frame just assembled (for
// the relay's log) and the reset of the receive state. The transaction engine implements it.
#pragma once

#include "platform/platform.h"

class TerminalLink {
 public:
  // Writes bytes to the terminal after resetting the receive state; the count written, 0 on
  // failure.
  virtual DWORD WriteToTerminal(const void* data, DWORD length) = 0;
  // Copies the first bytes of the frame just decoded, at most size, into dest, taken under the
  // terminal side's own receive lock (the relay never reads its buffer). Returns the frame's whole
  // length, which may exceed size; 0 when no frame is decoded.
  virtual int CopyRecvHead(unsigned char* dest, int size) = 0;
  // Back to idle: no frame being assembled, nothing taken as an answer.
  virtual void ResetReceive() = 0;
  // True while the terminal side is closing: a stop asked on its behalf then stops waiting for
  // the relay thread (which ends by itself), so that the close is never kept waiting on it.
  virtual bool Closing() { return false; }
  // A unit of transmit data is handed to the relay for host:port (watch thread, before its thread
  // starts), and ends: replied, failed or stopped (relay thread, or the watch thread when no relay
  // thread could be started). Every start is followed by one end.
  virtual void OnUnitStart(const char* /*host*/, const char* /*port*/) {}
  virtual void OnUnitEnd() {}

 protected:
  // The relay never owns the terminal side.
  ~TerminalLink() = default;
};
