// Reads and writes on a POSIX serial device: COMMTIMEOUTS applied with poll, and overlapped
// calls that complete before they return (Win32 allows it) with their count and event set.
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>

#include "platform/posix/errno_map.h"
#include "platform/posix/serial_device.h"

namespace kvplat {
namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kMaxDword = 0xFFFFFFFFu;

int RemainingMs(Clock::time_point deadline) {
  const auto now = Clock::now();
  if (now >= deadline) return 0;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
  return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

// What ReadFile and WriteFile share before a byte moves: nothing to move completes at once, a
// null buffer or a vanished device fails, then body(Device&, buffer, n, time-outs, Waiter&)
// moves the bytes.
template <typename Buffer, typename Body>
BOOL Transfer(HANDLE h, Buffer* buffer, DWORD n, LPDWORD count, LPOVERLAPPED ov, Body body) {
  return OverlappedCall(h, count, ov, [&](Device& d) -> Completion {
    if (n == 0) return Done(0);
    if (buffer == nullptr) return Failed(ERROR_INVALID_PARAMETER);
    if (d.gone_) return Failed(ERROR_DEVICE_NOT_CONNECTED);
    const COMMTIMEOUTS to = d.Timeouts();
    Waiter w(d);
    if (!w.ok()) return Failed(ERROR_NOT_ENOUGH_MEMORY);
    return body(d, buffer, n, to, w);
  });
}

// Reads up to n bytes as the time-outs say: all of them, what came before a total or
// interval time-out, or what is there at once (MAXDWORD interval).
Completion ReadSome(Device& d, void* buffer, DWORD n, const COMMTIMEOUTS& to, Waiter& w) {
  BYTE* buf = static_cast<BYTE*>(buffer);
  // MAXDWORD interval, no totals: return at once with what is there.
  const bool immediate = to.ReadIntervalTimeout == kMaxDword && to.ReadTotalTimeoutMultiplier == 0 &&
                         to.ReadTotalTimeoutConstant == 0;
  // MAXDWORD interval and multiplier: what is there, else wait for the first byte up to the constant.
  const bool firstByte = to.ReadIntervalTimeout == kMaxDword && to.ReadTotalTimeoutMultiplier == kMaxDword &&
                         to.ReadTotalTimeoutConstant != 0 && to.ReadTotalTimeoutConstant != kMaxDword;
  const auto start = Clock::now();
  bool hasTotal;
  uint64_t totalMs;
  if (firstByte) {
    hasTotal = true;
    totalMs = to.ReadTotalTimeoutConstant;
  } else {
    hasTotal = to.ReadTotalTimeoutMultiplier != 0 || to.ReadTotalTimeoutConstant != 0;
    totalMs = static_cast<uint64_t>(to.ReadTotalTimeoutMultiplier) * n + to.ReadTotalTimeoutConstant;
  }
  const bool hasInterval = to.ReadIntervalTimeout != 0 && to.ReadIntervalTimeout != kMaxDword;
  const Clock::time_point never = Clock::time_point::max();
  const Clock::time_point totalDeadline = hasTotal ? start + std::chrono::milliseconds(totalMs) : never;
  Clock::time_point lastByte = start;

  DWORD got = 0;
  for (;;) {
    const ssize_t r = read(d.fd(), buf + got, n - got);
    if (r > 0) {
      got += static_cast<DWORD>(r);
      lastByte = Clock::now();
      if (got >= n || immediate || firstByte) break;
      continue;
    }
    const int e = (r < 0) ? errno : 0;
    if (r < 0 && e == EINTR) continue;
    if (r < 0 && e != EAGAIN && e != EIO) {
      return Failed(KvWin32ErrorFromErrno(e), got);
    }
    // Nothing to read (0 or EAGAIN with VMIN = VTIME = 0), or the device is gone (EIO, hang-up).
    if (e == EIO || HungUp(d)) {
      d.gone_ = true;
      if (got > 0) break;  // deliver what came; the next call reports the loss
      return Failed(ERROR_DEVICE_NOT_CONNECTED);
    }
    if (immediate) break;
    Clock::time_point deadline = totalDeadline;
    if (got > 0 && hasInterval) {
      deadline = std::min(deadline, lastByte + std::chrono::milliseconds(to.ReadIntervalTimeout));
    }
    int waitMs = -1;
    if (deadline != never) {
      waitMs = RemainingMs(deadline);
      if (waitMs == 0) break;
    }
    short revents = 0;
    const Waiter::Result pr = w.Poll(POLLIN, waitMs, &revents);
    if (pr == Waiter::kError) return Failed(KvWin32ErrorFromErrno(errno), got);
    if (w.Closing() || w.RxAborted()) return Failed(ERROR_OPERATION_ABORTED, got);
  }
  return Done(got);
}

// Writes n bytes, or what the total time-out lets through (a short count, no error).
Completion WriteSome(Device& d, const void* buffer, DWORD n, const COMMTIMEOUTS& to, Waiter& w) {
  const BYTE* buf = static_cast<const BYTE*>(buffer);
  const bool hasTotal = to.WriteTotalTimeoutMultiplier != 0 || to.WriteTotalTimeoutConstant != 0;
  const uint64_t totalMs =
      static_cast<uint64_t>(to.WriteTotalTimeoutMultiplier) * n + to.WriteTotalTimeoutConstant;
  const Clock::time_point deadline =
      hasTotal ? Clock::now() + std::chrono::milliseconds(totalMs) : Clock::time_point::max();

  DWORD done = 0;
  while (done < n) {
    const ssize_t r = write(d.fd(), buf + done, n - done);
    if (r > 0) {
      done += static_cast<DWORD>(r);
      std::lock_guard<std::mutex> g(d.m_);
      if (!d.txPending_) {
        d.txPending_ = true;
        d.WakeLocked();  // an event wait watching for EV_TXEMPTY looks at the queue again
      }
      continue;
    }
    const int e = (r < 0) ? errno : EAGAIN;
    if (e == EINTR) continue;
    if (e == EIO || e == ENXIO || e == ENODEV) {
      d.gone_ = true;
      return Failed(ERROR_DEVICE_NOT_CONNECTED, done);
    }
    if (e != EAGAIN) return Failed(KvWin32ErrorFromErrno(e), done);
    int waitMs = -1;
    if (hasTotal) {
      waitMs = RemainingMs(deadline);
      if (waitMs == 0) break;  // time-out: a short count, like the Windows driver
    }
    short revents = 0;
    const Waiter::Result pr = w.Poll(POLLOUT, waitMs, &revents);
    if (pr == Waiter::kError) return Failed(KvWin32ErrorFromErrno(errno), done);
    if (w.Closing() || w.TxAborted()) return Failed(ERROR_OPERATION_ABORTED, done);
    if (pr == Waiter::kReady && (revents & (POLLHUP | POLLERR | POLLNVAL)) && !(revents & POLLOUT)) {
      d.gone_ = true;
      return Failed(ERROR_DEVICE_NOT_CONNECTED, done);
    }
  }
  return Done(done);
}

}  // namespace

BOOL Complete(LPOVERLAPPED ov, const Completion& c) {
  if (ov != nullptr) {
    ov->Internal = c.ok ? 0 : c.error;
    ov->InternalHigh = c.count;
    if (ov->hEvent != nullptr) SetEvent(ov->hEvent);
  }
  if (!c.ok) SetLastError(c.error);
  return c.ok ? TRUE : FALSE;
}

}  // namespace kvplat

using kvplat::Completion;
using kvplat::Device;
using kvplat::Waiter;

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped) {
  return kvplat::Transfer(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped,
                          kvplat::ReadSome);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped) {
  return kvplat::Transfer(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped,
                          kvplat::WriteSome);
}

BOOL GetOverlappedResult(HANDLE, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL) {
  // Every operation of this layer has completed before it returned: report its outcome.
  if (lpOverlapped == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (lpNumberOfBytesTransferred != nullptr) {
    *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
  }
  if (lpOverlapped->Internal != 0) {
    SetLastError(static_cast<DWORD>(lpOverlapped->Internal));
    return FALSE;
  }
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE hFile) {
  // tcdrain without its unbounded wait: until the output queue is empty, the write time-out
  // (10 s when none is set) has passed, or the device is closed.
  return kvplat::DeviceCall(hFile, kvplat::Needs::kConnected, [](Device& d) -> DWORD {
    const COMMTIMEOUTS to = d.Timeouts();
    int queued = 0;
    if (ioctl(d.fd(), TIOCOUTQ, &queued) != 0) return 0;
    uint64_t limit = static_cast<uint64_t>(to.WriteTotalTimeoutMultiplier) * static_cast<uint64_t>(queued) +
                     to.WriteTotalTimeoutConstant;
    if (limit == 0) limit = 10000;
    const auto deadline = kvplat::Clock::now() + std::chrono::milliseconds(limit);
    Waiter w(d);
    while (queued > 0) {
      const int ms = kvplat::RemainingMs(deadline);
      if (ms == 0 || !w.ok()) break;
      short revents = 0;
      w.Poll(0, ms < 10 ? ms : 10, &revents);
      if (w.Closing() || w.TxAborted()) return ERROR_OPERATION_ABORTED;
      if (ioctl(d.fd(), TIOCOUTQ, &queued) != 0) break;
    }
    return 0;
  });
}
