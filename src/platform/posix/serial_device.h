// What the POSIX serial device's files share: the device object behind a HANDLE, the guard of
// one call on it, the blocking wait that the device can wake, and the two helpers that begin
// every call. The handle's life is in serial_handle.cpp, reads and writes in serial_io.cpp, the
// line's state and events in serial_comm.cpp, the DCB to termios mapping in serial_termios.cpp.
#pragma once

#include <linux/serial.h>
#include <termios.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/posix/handle.h"

namespace kvplat {

class Device final : public KvHandle {
 public:
  Device(int fd, const termios& saved);

  // Marks the device closing, wakes every waiter, waits until no call is inside, and only
  // then restores the line and closes the descriptor, so that no blocked call ever sees its
  // descriptor number reused.
  BOOL Close() override;

  // A call begins / ends. Enter fails once the device is closing.
  bool Enter();
  void Leave();

  // Wakes every Waiter of the device; with m_ held.
  void WakeLocked();

  COMMTIMEOUTS Timeouts() {
    std::lock_guard<std::mutex> g(m_);
    return timeouts_;
  }

  int fd() const { return fd_; }
  bool pty() const { return pty_; }

  // ---- state shared between calls; guarded by m_
  std::mutex m_;
  std::condition_variable idle_;
  int inside_ = 0;
  bool closing_ = false;
  unsigned rxAbort_ = 0;
  unsigned txAbort_ = 0;
  unsigned maskGen_ = 0;
  DWORD mask_ = 0;
  COMMTIMEOUTS timeouts_{};
  DCB dcb_{};
  bool txPending_ = false;  // bytes were written since the last EV_TXEMPTY
  std::vector<int> waiters_;
  serial_icounter_struct icount_{};
  bool haveIcount_ = false;
  std::atomic<bool> gone_{false};  // the device vanished (hang-up, EIO)

 private:
  int fd_;
  termios saved_;
  bool pty_ = false;
};

// One call on a device: holds a reference and counts as "inside" for CloseHandle. False
// (with ERROR_INVALID_HANDLE set) for a handle that is not an open device.
class Call {
 public:
  explicit Call(HANDLE h);
  ~Call();
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;
  explicit operator bool() const { return d_ != nullptr; }
  Device* operator->() const { return d_; }
  Device& operator*() const { return *d_; }

 private:
  Device* d_ = nullptr;
};

// A blocking wait on a device: an eventfd of its own through which the device wakes it.
// What it was woken for is read from the device's counters against those seen at its start.
class Waiter {
 public:
  explicit Waiter(Device& d);
  ~Waiter();
  Waiter(const Waiter&) = delete;
  Waiter& operator=(const Waiter&) = delete;

  bool ok() const { return efd_ >= 0; }

  enum Result { kReady, kTimeout, kWoken, kError };
  // Polls the device for `events` up to timeoutMs (-1: no limit). kReady fills *revents.
  Result Poll(short events, int timeoutMs, short* revents);

  bool Closing();
  bool RxAborted();
  bool TxAborted();
  bool MaskChanged();

 private:
  Device& d_;
  int efd_ = -1;
  unsigned rx0_ = 0;
  unsigned tx0_ = 0;
  unsigned mask0_ = 0;
};

// True when the device reports a hang-up or error and has no input left.
bool HungUp(Device& d);

// What a call asks of its device beyond being open: kConnected, that it has not vanished.
enum class Needs { kOpen, kConnected };

// Runs body(Device&) as one call on the device behind h, with the preamble every plain call
// shares: the handle must be an open device (else ERROR_INVALID_HANDLE, set by Call) and, with
// Needs::kConnected, one that has not vanished (ERROR_DEVICE_NOT_CONNECTED). body returns 0 for
// success or the Win32 error to report; the result is TRUE, or FALSE with that error as the
// last error.
template <typename Body>
BOOL DeviceCall(HANDLE h, Needs needs, Body&& body) {
  Call c(h);
  if (!c) return FALSE;
  DWORD error = ERROR_DEVICE_NOT_CONNECTED;
  if (needs == Needs::kOpen || !c->gone_) error = std::forward<Body>(body)(*c);
  if (error != 0) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

// The same for a call whose `arg` must not be null: ERROR_INVALID_PARAMETER, checked after
// the handle and before the device's state.
template <typename Body>
BOOL DeviceCall(HANDLE h, const void* arg, Needs needs, Body&& body) {
  return DeviceCall(h, Needs::kOpen, [&](Device& d) -> DWORD {
    if (arg == nullptr) return ERROR_INVALID_PARAMETER;
    if (needs == Needs::kConnected && d.gone_) return ERROR_DEVICE_NOT_CONNECTED;
    return std::forward<Body>(body)(d);
  });
}

// How an overlapped call ended: success or failure, its byte count, the Win32 error.
struct Completion {
  bool ok;
  DWORD count;
  DWORD error;
};
inline Completion Done(DWORD count) { return {true, count, 0}; }
inline Completion Failed(DWORD error, DWORD count = 0) { return {false, count, error}; }

// Completes an (overlapped or plain) call: count, status, event, last error.
BOOL Complete(LPOVERLAPPED ov, const Completion& c);

// Runs body(Device&) as an overlapped call, which completes before it returns (as Win32
// allows): *count (if given) is zeroed and the event reset first; on success *count holds
// the body's count before the event is set. A handle that is not an open device fails with
// ERROR_INVALID_HANDLE.
template <typename Body>
BOOL OverlappedCall(HANDLE h, LPDWORD count, LPOVERLAPPED ov, Body&& body) {
  if (count != nullptr) *count = 0;
  if (ov != nullptr && ov->hEvent != nullptr) ResetEvent(ov->hEvent);
  Call c(h);
  if (!c) return Complete(ov, Failed(ERROR_INVALID_HANDLE));
  const Completion r = std::forward<Body>(body)(*c);
  if (r.ok && count != nullptr) *count = r.count;
  return Complete(ov, r);
}

}  // namespace kvplat
