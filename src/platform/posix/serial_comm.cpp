// The line's state and events on a POSIX serial device: Get/SetCommState over termios,
// time-outs, queues and purging, line errors, modem status, break, the event mask and
// WaitCommEvent.
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/errno_map.h"
#include "platform/posix/serial_device.h"
#include "platform/posix/serial_termios.h"

namespace kvplat {
namespace {

// WaitCommEvent's wait: until an event of the mask is there (*out), the mask changes or a
// purge aborts (no event), or the device closes.
Completion WaitEvent(Device& d, LPDWORD out) {
  DWORD mask;
  {
    std::lock_guard<std::mutex> g(d.m_);
    mask = d.mask_;
  }
  if (mask == 0) return Failed(ERROR_INVALID_PARAMETER);
  if (d.gone_) return Failed(ERROR_DEVICE_NOT_CONNECTED);
  Waiter w(d);
  if (!w.ok()) return Failed(ERROR_NOT_ENOUGH_MEMORY);
  for (;;) {
    if (w.Closing()) return Failed(ERROR_OPERATION_ABORTED);
    if (w.MaskChanged() || w.RxAborted() || w.TxAborted()) break;  // released: no event
    DWORD events = 0;
    int inq = 0;
    if ((mask & EV_RXCHAR) && ioctl(d.fd(), FIONREAD, &inq) == 0 && inq > 0) events |= EV_RXCHAR;
    bool txWatch = false;
    if (mask & EV_TXEMPTY) {
      std::lock_guard<std::mutex> g(d.m_);
      if (d.txPending_) {
        int outq = 0;
        if (ioctl(d.fd(), TIOCOUTQ, &outq) != 0 || outq == 0) {
          d.txPending_ = false;
          events |= EV_TXEMPTY;
        } else {
          txWatch = true;
        }
      }
    }
    if (events != 0) {
      *out = events;
      return Done(0);
    }
    short revents = 0;
    const short want = (mask & EV_RXCHAR) ? POLLIN : 0;
    // While output drains, look again every 10 ms; otherwise sleep until something happens.
    const Waiter::Result pr = w.Poll(want, txWatch ? 10 : -1, &revents);
    if (pr == Waiter::kError) return Failed(KvWin32ErrorFromErrno(errno));
    if (pr == Waiter::kReady && !(revents & (POLLHUP | POLLERR | POLLNVAL))) {
      int now = 0;
      if (ioctl(d.fd(), FIONREAD, &now) == 0 && now == 0) {
        // Readable without input (nothing a raw line should report): pause rather than spin.
        w.Poll(0, 10, &revents);
      }
      continue;
    }
    if (pr == Waiter::kReady) {
      int left = 0;
      if (ioctl(d.fd(), FIONREAD, &left) == 0 && left > 0) continue;  // input first
      // The device vanished: report it as received data (or a line error), so the
      // receive step's read runs and reports the failure.
      d.gone_ = true;
      const DWORD ev = (mask & EV_RXCHAR) ? EV_RXCHAR : (mask & EV_ERR);
      if (ev == 0) return Failed(ERROR_DEVICE_NOT_CONNECTED);
      *out = ev;
      return Done(0);
    }
  }
  return Done(0);
}

}  // namespace
}  // namespace kvplat

using kvplat::Device;
using kvplat::Needs;

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB) {
  return kvplat::DeviceCall(hFile, lpDCB, Needs::kConnected, [&](Device& d) -> DWORD {
    std::lock_guard<std::mutex> g(d.m_);
    *lpDCB = d.dcb_;
    return 0;
  });
}

BOOL SetCommState(HANDLE hFile, LPDCB lpDCB) {
  return kvplat::DeviceCall(hFile, lpDCB, Needs::kOpen, [&](Device& d) -> DWORD {
    termios t;
    if (tcgetattr(d.fd(), &t) != 0) return KvWin32ErrorFromErrno(errno);
    if (!kvplat::TermiosFromDcb(*lpDCB, &t)) return ERROR_INVALID_PARAMETER;
    if (tcsetattr(d.fd(), TCSANOW, &t) != 0) return KvWin32ErrorFromErrno(errno);
    // tcsetattr succeeds if any change was taken: check that the line took all of them.
    termios now;
    if (tcgetattr(d.fd(), &now) != 0) return KvWin32ErrorFromErrno(errno);
    // A pseudo-terminal has no wire: it takes the speed but keeps 8 data bits and no parity.
    const tcflag_t kLine = d.pty() ? (PARODD | CMSPAR | CSTOPB) : (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    if (cfgetospeed(&now) != cfgetospeed(&t) || (now.c_cflag & kLine) != (t.c_cflag & kLine)) {
      return ERROR_INVALID_PARAMETER;
    }
    // DTR and RTS as asked (a pseudo-terminal has no modem lines; that is not an error).
    int dtr = TIOCM_DTR;
    if (lpDCB->fDtrControl == DTR_CONTROL_ENABLE) ioctl(d.fd(), TIOCMBIS, &dtr);
    if (lpDCB->fDtrControl == DTR_CONTROL_DISABLE) ioctl(d.fd(), TIOCMBIC, &dtr);
    int rts = TIOCM_RTS;
    if (lpDCB->fRtsControl == RTS_CONTROL_ENABLE) ioctl(d.fd(), TIOCMBIS, &rts);
    if (lpDCB->fRtsControl == RTS_CONTROL_DISABLE) ioctl(d.fd(), TIOCMBIC, &rts);
    std::lock_guard<std::mutex> g(d.m_);
    d.dcb_ = *lpDCB;
    d.dcb_.DCBlength = sizeof(DCB);
    return 0;
  });
}

BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
  // The system's queues have fixed sizes here; the request is checked and accepted.
  return kvplat::DeviceCall(hFile, Needs::kOpen, [&](Device&) -> DWORD {
    return (dwInQueue == 0 || dwOutQueue == 0) ? ERROR_INVALID_PARAMETER : 0;
  });
}

BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  return kvplat::DeviceCall(hFile, lpCommTimeouts, Needs::kOpen, [&](Device& d) -> DWORD {
    *lpCommTimeouts = d.Timeouts();
    return 0;
  });
}

BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  return kvplat::DeviceCall(hFile, lpCommTimeouts, Needs::kOpen, [&](Device& d) -> DWORD {
    std::lock_guard<std::mutex> g(d.m_);
    d.timeouts_ = *lpCommTimeouts;
    return 0;
  });
}

BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) {
  return kvplat::DeviceCall(hFile, Needs::kOpen, [&](Device& d) -> DWORD {
    if (dwFlags & ~static_cast<DWORD>(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
      return ERROR_INVALID_PARAMETER;
    }
    if (dwFlags & (PURGE_TXABORT | PURGE_RXABORT)) {
      std::lock_guard<std::mutex> g(d.m_);
      if (dwFlags & PURGE_RXABORT) ++d.rxAbort_;
      if (dwFlags & PURGE_TXABORT) ++d.txAbort_;
      d.WakeLocked();
    }
    bool ok = true;
    if ((dwFlags & PURGE_TXCLEAR) && tcflush(d.fd(), TCOFLUSH) != 0) ok = false;
    if ((dwFlags & PURGE_RXCLEAR) && tcflush(d.fd(), TCIFLUSH) != 0) ok = false;
    if (ok) return 0;
    if (errno == EIO) d.gone_ = true;
    return KvWin32ErrorFromErrno(errno);
  });
}

BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
  if (lpErrors != nullptr) *lpErrors = 0;
  if (lpStat != nullptr) memset(lpStat, 0, sizeof(*lpStat));
  return kvplat::DeviceCall(hFile, Needs::kOpen, [&](Device& d) -> DWORD {
    if (d.gone_ || kvplat::HungUp(d)) {
      d.gone_ = true;
      return ERROR_DEVICE_NOT_CONNECTED;
    }
    int inq = 0;
    if (ioctl(d.fd(), FIONREAD, &inq) != 0) {
      const int e = errno;
      if (e == EIO) d.gone_ = true;
      return e == EIO ? ERROR_DEVICE_NOT_CONNECTED : KvWin32ErrorFromErrno(e);
    }
    int outq = 0;
    if (ioctl(d.fd(), TIOCOUTQ, &outq) != 0) outq = 0;
    DWORD errors = 0;
    serial_icounter_struct ic;
    memset(&ic, 0, sizeof(ic));
    if (ioctl(d.fd(), TIOCGICOUNT, &ic) == 0) {
      std::lock_guard<std::mutex> g(d.m_);
      if (d.haveIcount_) {
        if (ic.frame != d.icount_.frame) errors |= CE_FRAME;
        if (ic.parity != d.icount_.parity) errors |= CE_RXPARITY;
        if (ic.overrun != d.icount_.overrun) errors |= CE_OVERRUN;
        if (ic.buf_overrun != d.icount_.buf_overrun) errors |= CE_RXOVER;
        if (ic.brk != d.icount_.brk) errors |= CE_BREAK;
      }
      d.icount_ = ic;
      d.haveIcount_ = true;
    }
    if (lpErrors != nullptr) *lpErrors = errors;
    if (lpStat != nullptr) {
      lpStat->cbInQue = inq > 0 ? static_cast<DWORD>(inq) : 0;
      lpStat->cbOutQue = outq > 0 ? static_cast<DWORD>(outq) : 0;
    }
    return 0;
  });
}

BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
  return kvplat::DeviceCall(hFile, lpModemStat, Needs::kOpen, [&](Device& d) -> DWORD {
    *lpModemStat = 0;
    if (d.gone_) return ERROR_DEVICE_NOT_CONNECTED;
    int bits = 0;
    if (ioctl(d.fd(), TIOCMGET, &bits) != 0) {
      if (errno != EIO) return 0;  // no modem lines (a pseudo-terminal): status 0
      d.gone_ = true;
      return ERROR_DEVICE_NOT_CONNECTED;
    }
    DWORD s = 0;
    if (bits & TIOCM_CTS) s |= MS_CTS_ON;
    if (bits & TIOCM_DSR) s |= MS_DSR_ON;
    if (bits & TIOCM_RNG) s |= MS_RING_ON;
    if (bits & TIOCM_CAR) s |= MS_RLSD_ON;
    *lpModemStat = s;
    return 0;
  });
}

BOOL ClearCommBreak(HANDLE hFile) {
  return kvplat::DeviceCall(hFile, Needs::kOpen, [](Device& d) -> DWORD {
    if (ioctl(d.fd(), TIOCCBRK) == 0 || errno != EIO) return 0;
    d.gone_ = true;
    return ERROR_DEVICE_NOT_CONNECTED;
  });
}

BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
  return kvplat::DeviceCall(hFile, Needs::kOpen, [&](Device& d) -> DWORD {
    std::lock_guard<std::mutex> g(d.m_);
    d.mask_ = dwEvtMask;
    ++d.maskGen_;
    d.WakeLocked();  // a pending WaitCommEvent completes with no event
    return 0;
  });
}

BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
  return kvplat::DeviceCall(hFile, lpEvtMask, Needs::kOpen, [&](Device& d) -> DWORD {
    std::lock_guard<std::mutex> g(d.m_);
    *lpEvtMask = d.mask_;
    return 0;
  });
}

BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
  if (lpEvtMask != nullptr) *lpEvtMask = 0;
  return kvplat::OverlappedCall(hFile, nullptr, lpOverlapped, [&](Device& d) {
    return lpEvtMask == nullptr ? kvplat::Failed(ERROR_INVALID_PARAMETER) : kvplat::WaitEvent(d, lpEvtMask);
  });
}
