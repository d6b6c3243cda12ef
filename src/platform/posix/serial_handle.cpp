// Serial devices for POSIX systems under the Win32 communications calls.
//
// "\\.\COMn" opens the path in the environment variable KORVESSA_COMn, else /dev/ttyS<n-1>;
// an absolute path opens that device. Either way exclusively (TIOCEXCL and flock) and raw.
// Overlapped calls complete synchronously: they return TRUE with their count and signal the
// OVERLAPPED event. Time-outs are applied with poll. Every blocking call also polls an eventfd
// of its own, through which SetCommMask, PurgeComm with an abort flag and CloseHandle wake it. CloseHandle
// marks the device closed, wakes every waiter, waits until no call is inside, and only then closes the
// descriptor.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "platform/posix/errno_map.h"
#include "platform/posix/handle.h"

namespace kvplat {
namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kMaxDword = 0xFFFFFFFFu;

struct SpeedEntry {
  DWORD baud;
  speed_t code;
};

const SpeedEntry kSpeeds[] = {
    {50, B50},           {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},         {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},       {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600},     {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

bool SpeedCode(DWORD baud, speed_t* code) {
  for (const SpeedEntry& e : kSpeeds) {
    if (e.baud == baud) {
      *code = e.code;
      return true;
    }
  }
  return false;
}

DWORD SpeedBaud(speed_t code) {
  for (const SpeedEntry& e : kSpeeds) {
    if (e.code == code) return e.baud;
  }
  return 0;
}

// The DCB that describes a termios state.
void DcbFromTermios(const termios& t, DCB* d) {
  memset(d, 0, sizeof(*d));
  d->DCBlength = sizeof(DCB);
  d->BaudRate = SpeedBaud(cfgetospeed(&t));
  d->fBinary = 1;
  d->fParity = (t.c_iflag & INPCK) ? 1 : 0;
  d->fOutxCtsFlow = (t.c_cflag & CRTSCTS) ? 1 : 0;
  d->fDtrControl = DTR_CONTROL_ENABLE;
  d->fRtsControl = (t.c_cflag & CRTSCTS) ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  d->fOutX = (t.c_iflag & IXON) ? 1 : 0;
  d->fInX = (t.c_iflag & IXOFF) ? 1 : 0;
  d->XonLim = 2048;
  d->XoffLim = 512;
  switch (t.c_cflag & CSIZE) {
    case CS5:
      d->ByteSize = 5;
      break;
    case CS6:
      d->ByteSize = 6;
      break;
    case CS7:
      d->ByteSize = 7;
      break;
    default:
      d->ByteSize = 8;
      break;
  }
  if (!(t.c_cflag & PARENB)) {
    d->Parity = NOPARITY;
  } else if (t.c_cflag & CMSPAR) {
    d->Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
  } else {
    d->Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
  }
  if (t.c_cflag & CSTOPB) {
    d->StopBits = (d->ByteSize == 5) ? ONE5STOPBITS : TWOSTOPBITS;
  } else {
    d->StopBits = ONESTOPBIT;
  }
  d->XonChar = static_cast<char>(t.c_cc[VSTART]);
  d->XoffChar = static_cast<char>(t.c_cc[VSTOP]);
}

// Applies a DCB to a termios state. False (with the Win32 error set) for values the line
// cannot take.
bool TermiosFromDcb(const DCB& d, termios* t) {
  if (d.ByteSize < 5 || d.ByteSize > 8 || d.Parity > SPACEPARITY || d.StopBits > TWOSTOPBITS) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  // As on Windows: one and a half stop bits only with 5 data bits, two never with 5.
  if ((d.StopBits == ONE5STOPBITS) != (d.ByteSize == 5 && d.StopBits != ONESTOPBIT)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  speed_t speed;
  if (!SpeedCode(d.BaudRate, &speed)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  t->c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t->c_cflag |= (d.ByteSize == 5) ? CS5 : (d.ByteSize == 6) ? CS6 : (d.ByteSize == 7) ? CS7 : CS8;
  switch (d.Parity) {
    case ODDPARITY:
      t->c_cflag |= PARENB | PARODD;
      break;
    case EVENPARITY:
      t->c_cflag |= PARENB;
      break;
    case MARKPARITY:
      t->c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case SPACEPARITY:
      t->c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  if (d.StopBits != ONESTOPBIT) t->c_cflag |= CSTOPB;
  if (d.fOutxCtsFlow || d.fRtsControl == RTS_CONTROL_HANDSHAKE) t->c_cflag |= CRTSCTS;
  t->c_cflag |= CLOCAL | CREAD;
  t->c_iflag &= ~(INPCK | IGNPAR | IXON | IXOFF | IXANY);
  if (d.Parity == NOPARITY) {
    t->c_iflag |= IGNPAR;
  } else if (d.fParity) {
    t->c_iflag |= INPCK;
  }
  if (d.fOutX) t->c_iflag |= IXON;
  if (d.fInX) t->c_iflag |= IXOFF;
  if (d.XonChar != 0 && d.XoffChar != 0 && d.XonChar != d.XoffChar) {
    t->c_cc[VSTART] = static_cast<cc_t>(d.XonChar);
    t->c_cc[VSTOP] = static_cast<cc_t>(d.XoffChar);
  }
  cfsetispeed(t, speed);
  cfsetospeed(t, speed);
  return true;
}

void MakeRaw(termios* t) {
  t->c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
#ifdef IUCLC
  t->c_iflag &= ~IUCLC;
#endif
  t->c_oflag &= ~OPOST;
  t->c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  t->c_cflag &= ~(HUPCL | CSIZE | PARENB);
  t->c_cflag |= CS8 | CLOCAL | CREAD;
  t->c_cc[VMIN] = 0;
  t->c_cc[VTIME] = 0;
}

// The descriptors of the open devices, for a child that the cash register makes with fork()
// and no exec: its copy of a descriptor shares our open file and with it the flock, so the
// line would stay "in use" after our close until the child ends. The child handler points
// each copy at /dev/null (the number stays taken, nothing in the child reuses it under a
// device object), which leaves the open file and its lock to the parent alone. The lock is
// held around every change and across fork(), with signals blocked so that a handler that
// forks cannot find it taken by the thread it interrupted.
constexpr int kMaxForkTracked = 32;
pthread_mutex_t g_forkLock = PTHREAD_MUTEX_INITIALIZER;
int g_deviceFds[kMaxForkTracked];  // descriptor + 1; 0 is a free slot (ports beyond 32 go untracked)
pthread_once_t g_atforkOnce = PTHREAD_ONCE_INIT;

void ForkPrepare() { pthread_mutex_lock(&g_forkLock); }
void ForkParent() { pthread_mutex_unlock(&g_forkLock); }
void ForkChild() {
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  for (int slot : g_deviceFds) {
    if (slot == 0) continue;
    if (null < 0 || dup3(null, slot - 1, O_CLOEXEC) < 0) close(slot - 1);
  }
  if (null >= 0) close(null);
  pthread_mutex_unlock(&g_forkLock);
}
void RegisterAtfork() { pthread_atfork(ForkPrepare, ForkParent, ForkChild); }

class ForkGuard {
 public:
  ForkGuard() {
    pthread_once(&g_atforkOnce, RegisterAtfork);
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old_);
    pthread_mutex_lock(&g_forkLock);
  }
  ~ForkGuard() {
    pthread_mutex_unlock(&g_forkLock);
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  ForkGuard(const ForkGuard&) = delete;
  ForkGuard& operator=(const ForkGuard&) = delete;
  // With the guard held: opens a device's descriptor and records it / closes and forgets it.
  int Open(const char* path, int flags) {
    int fd;
    do {
      fd = open(path, flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return fd;
    for (int& slot : g_deviceFds) {
      if (slot == 0) {
        slot = fd + 1;
        break;
      }
    }
    return fd;
  }
  void Close(int fd) {
    for (int& slot : g_deviceFds) {
      if (slot == fd + 1) slot = 0;
    }
    close(fd);
  }

 private:
  sigset_t old_;
};

class Device final : public KvHandle {
 public:
  Device(int fd, const termios& saved) : KvHandle(HandleKind::kDevice), fd_(fd), saved_(saved) {
    DcbFromTermios(saved, &dcb_);
    // Pseudo-terminal slaves (majors 136 to 143) always keep 8 data bits and no parity bit.
    struct stat st;
    if (fstat(fd_, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143) {
      pty_ = true;
    }
    serial_icounter_struct ic;
    memset(&ic, 0, sizeof(ic));
    if (ioctl(fd_, TIOCGICOUNT, &ic) == 0) {
      icount_ = ic;
      haveIcount_ = true;
    }
  }

  BOOL Close() override {
    {
      std::unique_lock<std::mutex> lk(m_);
      closing_ = true;
      WakeLocked();
      idle_.wait(lk, [this] { return inside_ == 0; });
    }
    tcsetattr(fd_, TCSANOW, &saved_);
    ioctl(fd_, TIOCNXCL);
    ForkGuard().Close(fd_);  // releases the flock as well
    fd_ = -1;
    return TRUE;
  }

  // A call begins / ends. Enter fails once the device is closing.
  bool Enter() {
    std::lock_guard<std::mutex> g(m_);
    if (closing_) return false;
    ++inside_;
    return true;
  }
  void Leave() {
    std::lock_guard<std::mutex> g(m_);
    if (--inside_ == 0 && closing_) idle_.notify_all();
  }

  void WakeLocked() {
    const uint64_t one = 1;
    for (int efd : waiters_) {
      ssize_t r = write(efd, &one, sizeof(one));
      (void)r;  // an eventfd that is already full is awake anyway
    }
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

// One call on a device: holds a reference and counts as "inside" for CloseHandle.
class Call {
 public:
  explicit Call(HANDLE h) {
    KvHandle* k = KvHandle::Acquire(h);
    if (k == nullptr) return;
    if (k->kind() != HandleKind::kDevice) {
      k->Release();
      SetLastError(ERROR_INVALID_HANDLE);
      return;
    }
    Device* d = static_cast<Device*>(k);
    if (!d->Enter()) {
      d->Release();
      SetLastError(ERROR_INVALID_HANDLE);
      return;
    }
    d_ = d;
  }
  ~Call() {
    if (d_ != nullptr) {
      d_->Leave();
      d_->Release();
    }
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;
  explicit operator bool() const { return d_ != nullptr; }
  Device* operator->() const { return d_; }
  Device& operator*() const { return *d_; }

 private:
  Device* d_ = nullptr;
};

// A blocking wait on a device: an eventfd of its own through which the device wakes it.
class Waiter {
 public:
  explicit Waiter(Device& d) : d_(d) {
    efd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (efd_ < 0) return;
    std::lock_guard<std::mutex> g(d_.m_);
    d_.waiters_.push_back(efd_);
    rx0_ = d_.rxAbort_;
    tx0_ = d_.txAbort_;
    mask0_ = d_.maskGen_;
  }
  ~Waiter() {
    if (efd_ < 0) return;
    {
      std::lock_guard<std::mutex> g(d_.m_);
      auto& w = d_.waiters_;
      w.erase(std::remove(w.begin(), w.end(), efd_), w.end());
    }
    close(efd_);
  }
  Waiter(const Waiter&) = delete;
  Waiter& operator=(const Waiter&) = delete;

  bool ok() const { return efd_ >= 0; }

  enum Result { kReady, kTimeout, kWoken, kError };
  // Polls the device for `events` up to timeoutMs (-1: no limit). kReady fills *revents.
  Result Poll(short events, int timeoutMs, short* revents) {
    pollfd p[2];
    p[0].fd = d_.fd();
    p[0].events = events;
    p[0].revents = 0;
    p[1].fd = efd_;
    p[1].events = POLLIN;
    p[1].revents = 0;
    const int r = poll(p, 2, timeoutMs);
    // A signal ends the wait early: the caller looks again and waits what is left of its time.
    if (r < 0) return errno == EINTR ? kWoken : kError;
    if (p[1].revents != 0) {
      uint64_t v;
      ssize_t n = read(efd_, &v, sizeof(v));
      (void)n;
      return kWoken;
    }
    if (r == 0) return kTimeout;
    *revents = p[0].revents;
    return kReady;
  }

  bool Closing() {
    std::lock_guard<std::mutex> g(d_.m_);
    return d_.closing_;
  }
  bool RxAborted() {
    std::lock_guard<std::mutex> g(d_.m_);
    return d_.rxAbort_ != rx0_;
  }
  bool TxAborted() {
    std::lock_guard<std::mutex> g(d_.m_);
    return d_.txAbort_ != tx0_;
  }
  bool MaskChanged() {
    std::lock_guard<std::mutex> g(d_.m_);
    return d_.maskGen_ != mask0_;
  }

 private:
  Device& d_;
  int efd_ = -1;
  unsigned rx0_ = 0;
  unsigned tx0_ = 0;
  unsigned mask0_ = 0;
};

// Completes an (overlapped or plain) call: count, status, event.
BOOL Complete(LPOVERLAPPED ov, BOOL ok, DWORD count, DWORD error) {
  if (ov != nullptr) {
    ov->Internal = ok ? 0 : error;
    ov->InternalHigh = count;
    if (ov->hEvent != nullptr) SetEvent(ov->hEvent);
  }
  if (!ok) SetLastError(error);
  return ok;
}

// True when the device reports a hang-up or error and has no input left.
bool HungUp(Device& d) {
  pollfd p;
  p.fd = d.fd();
  p.events = POLLIN;
  p.revents = 0;
  if (poll(&p, 1, 0) < 0) return false;
  if (!(p.revents & (POLLHUP | POLLERR | POLLNVAL))) return false;
  int n = 0;
  return ioctl(d.fd(), FIONREAD, &n) != 0 || n == 0;
}

int RemainingMs(Clock::time_point deadline) {
  const auto now = Clock::now();
  if (now >= deadline) return 0;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
  return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

// Resolves "\\.\COMn" (or "COMn") to a device path; an absolute path (the [COM] Device the
// engine hands in) stands for itself. False if the name is neither, or does not fit `out`.
bool DevicePath(const char* name, char* out, size_t outSize) {
  if (name[0] == '/') {
    const int w = snprintf(out, outSize, "%s", name);
    return w > 0 && static_cast<size_t>(w) < outSize;
  }
  const char* p = name;
  if (strncmp(p, "\\\\.\\", 4) == 0) p += 4;
  if (strncasecmp(p, "COM", 3) != 0) return false;
  p += 3;
  if (*p < '1' || *p > '9') return false;
  unsigned long n = 0;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    n = n * 10 + static_cast<unsigned long>(*p - '0');
    if (n > 99999) return false;
  }
  char var[32];
  snprintf(var, sizeof(var), "KORVESSA_COM%lu", n);
  const char* env = getenv(var);
  int w;
  if (env != nullptr && env[0] != '\0') {
    w = snprintf(out, outSize, "%s", env);
  } else {
    w = snprintf(out, outSize, "/dev/ttyS%lu", n - 1);
  }
  return w > 0 && static_cast<size_t>(w) < outSize;
}

}  // namespace
}  // namespace kvplat

using kvplat::Call;
using kvplat::Clock;
using kvplat::Device;
using kvplat::Waiter;

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                   HANDLE) {
  if (lpFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  char path[MAX_PATH];
  if (!kvplat::DevicePath(lpFileName, path, sizeof(path))) {
    SetLastError(lpFileName[0] == '/' ? ERROR_FILENAME_EXCED_RANGE : ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  int flags = O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
  const bool rd = (dwDesiredAccess & GENERIC_READ) != 0;
  const bool wr = (dwDesiredAccess & GENERIC_WRITE) != 0;
  flags |= (rd && wr) ? O_RDWR : wr ? O_WRONLY : O_RDONLY;
  const int fd = kvplat::ForkGuard().Open(path, flags);
  if (fd < 0) {
    KvSetLastErrorFromErrno(errno);
    return INVALID_HANDLE_VALUE;
  }
  auto fail = [fd](DWORD error) {
    kvplat::ForkGuard().Close(fd);
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  };
  if (!isatty(fd)) return fail(ERROR_NOT_SUPPORTED);
  // Exclusive like a Windows port: TIOCEXCL keeps other (unprivileged) openers out, flock
  // every other opener that asks, root included.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    return fail(e == EWOULDBLOCK ? ERROR_ACCESS_DENIED : KvWin32ErrorFromErrno(e));
  }
  ioctl(fd, TIOCEXCL);
  termios saved;
  if (tcgetattr(fd, &saved) != 0) {
    const int e = errno;
    ioctl(fd, TIOCNXCL);
    return fail(KvWin32ErrorFromErrno(e));
  }
  termios raw = saved;
  kvplat::MakeRaw(&raw);
  if (tcsetattr(fd, TCSANOW, &raw) != 0) {
    const int e = errno;
    ioctl(fd, TIOCNXCL);
    return fail(KvWin32ErrorFromErrno(e));
  }
  auto* d = new (std::nothrow) Device(fd, saved);
  if (d == nullptr) {
    tcsetattr(fd, TCSANOW, &saved);
    ioctl(fd, TIOCNXCL);
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  // The DCB describes the line as it is now (raw), not as it was found.
  kvplat::DcbFromTermios(raw, &d->dcb_);
  return d;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
  if (lpOverlapped != nullptr && lpOverlapped->hEvent != nullptr) ResetEvent(lpOverlapped->hEvent);
  Call c(hFile);
  if (!c) return kvplat::Complete(lpOverlapped, FALSE, 0, ERROR_INVALID_HANDLE);
  if (nNumberOfBytesToRead == 0) return kvplat::Complete(lpOverlapped, TRUE, 0, 0);
  if (lpBuffer == nullptr) return kvplat::Complete(lpOverlapped, FALSE, 0, ERROR_INVALID_PARAMETER);
  if (c->gone_) return kvplat::Complete(lpOverlapped, FALSE, 0, ERROR_DEVICE_NOT_CONNECTED);

  COMMTIMEOUTS to;
  {
    std::lock_guard<std::mutex> g(c->m_);
    to = c->timeouts_;
  }
  const DWORD n = nNumberOfBytesToRead;
  BYTE* buf = static_cast<BYTE*>(lpBuffer);
  // MAXDWORD interval, no totals: return at once with what is there.
  const bool immediate = to.ReadIntervalTimeout == kvplat::kMaxDword && to.ReadTotalTimeoutMultiplier == 0 &&
                         to.ReadTotalTimeoutConstant == 0;
  // MAXDWORD interval and multiplier: what is there, else wait for the first byte up to the constant.
  const bool firstByte = to.ReadIntervalTimeout == kvplat::kMaxDword &&
                         to.ReadTotalTimeoutMultiplier == kvplat::kMaxDword &&
                         to.ReadTotalTimeoutConstant != 0 && to.ReadTotalTimeoutConstant != kvplat::kMaxDword;
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
  const bool hasInterval = to.ReadIntervalTimeout != 0 && to.ReadIntervalTimeout != kvplat::kMaxDword;
  const Clock::time_point never = Clock::time_point::max();
  const Clock::time_point totalDeadline = hasTotal ? start + std::chrono::milliseconds(totalMs) : never;
  Clock::time_point lastByte = start;

  Waiter w(*c);
  if (!w.ok()) return kvplat::Complete(lpOverlapped, FALSE, 0, ERROR_NOT_ENOUGH_MEMORY);
  DWORD got = 0;
  for (;;) {
    const ssize_t r = read(c->fd(), buf + got, n - got);
    if (r > 0) {
      got += static_cast<DWORD>(r);
      lastByte = Clock::now();
      if (got >= n || immediate || firstByte) break;
      continue;
    }
    const int e = (r < 0) ? errno : 0;
    if (r < 0 && e == EINTR) continue;
    if (r < 0 && e != EAGAIN && e != EIO) {
      return kvplat::Complete(lpOverlapped, FALSE, got, KvWin32ErrorFromErrno(e));
    }
    // Nothing to read (0 or EAGAIN with VMIN = VTIME = 0), or the device is gone (EIO, hang-up).
    if (e == EIO || kvplat::HungUp(*c)) {
      c->gone_ = true;
      if (got > 0) break;  // deliver what came; the next call reports the loss
      return kvplat::Complete(lpOverlapped, FALSE, 0, ERROR_DEVICE_NOT_CONNECTED);
    }
    if (immediate) break;
    Clock::time_point deadline = totalDeadline;
    if (got > 0 && hasInterval) {
      deadline = std::min(deadline, lastByte + std::chrono::milliseconds(to.ReadIntervalTimeout));
    }
    int waitMs = -1;
    if (deadline != never) {
      waitMs = kvplat::RemainingMs(deadline);
      if (waitMs == 0) break;
    }
    short revents = 0;
    const Waiter::Result pr = w.Poll(POLLIN, waitMs, &revents);
    if (pr == Waiter::kError) return kvplat::Complete(lpOverlapped, FALSE, got, KvWin32ErrorFromErrno(errno));
    if (w.Closing() || w.RxAborted())
      return kvplat::Complete(lpOverlapped, FALSE, got, ERROR_OPERATION_ABORTED);
  }
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = got;
  return kvplat::Complete(lpOverlapped, TRUE, got, 0);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
  if (lpOverlapped != nullptr && lpOverlapped->hEvent != nullptr) ResetEvent(lpOverlapped->hEvent);
  Call c(hFile);
  if (!c) return kvplat::Complete(lpOverlapped, FALSE, 0, ERROR_INVALID_HANDLE);
  if (nNumberOfBytesToWrite == 0) return kvplat::Complete(lpOverlapped, TRUE, 0, 0);
  if (lpBuffer == nullptr) return kvplat::Complete(lpOverlapped, FALSE, 0, ERROR_INVALID_PARAMETER);
  if (c->gone_) return kvplat::Complete(lpOverlapped, FALSE, 0, ERROR_DEVICE_NOT_CONNECTED);
  COMMTIMEOUTS to;
  {
    std::lock_guard<std::mutex> g(c->m_);
    to = c->timeouts_;
  }
  const DWORD n = nNumberOfBytesToWrite;
  const BYTE* buf = static_cast<const BYTE*>(lpBuffer);
  const bool hasTotal = to.WriteTotalTimeoutMultiplier != 0 || to.WriteTotalTimeoutConstant != 0;
  const uint64_t totalMs =
      static_cast<uint64_t>(to.WriteTotalTimeoutMultiplier) * n + to.WriteTotalTimeoutConstant;
  const Clock::time_point deadline =
      hasTotal ? Clock::now() + std::chrono::milliseconds(totalMs) : Clock::time_point::max();

  Waiter w(*c);
  if (!w.ok()) return kvplat::Complete(lpOverlapped, FALSE, 0, ERROR_NOT_ENOUGH_MEMORY);
  DWORD done = 0;
  while (done < n) {
    const ssize_t r = write(c->fd(), buf + done, n - done);
    if (r > 0) {
      done += static_cast<DWORD>(r);
      std::lock_guard<std::mutex> g(c->m_);
      if (!c->txPending_) {
        c->txPending_ = true;
        c->WakeLocked();  // an event wait watching for EV_TXEMPTY looks at the queue again
      }
      continue;
    }
    const int e = (r < 0) ? errno : EAGAIN;
    if (e == EINTR) continue;
    if (e == EIO || e == ENXIO || e == ENODEV) {
      c->gone_ = true;
      return kvplat::Complete(lpOverlapped, FALSE, done, ERROR_DEVICE_NOT_CONNECTED);
    }
    if (e != EAGAIN) return kvplat::Complete(lpOverlapped, FALSE, done, KvWin32ErrorFromErrno(e));
    int waitMs = -1;
    if (hasTotal) {
      waitMs = kvplat::RemainingMs(deadline);
      if (waitMs == 0) break;  // time-out: a short count, like the Windows driver
    }
    short revents = 0;
    const Waiter::Result pr = w.Poll(POLLOUT, waitMs, &revents);
    if (pr == Waiter::kError)
      return kvplat::Complete(lpOverlapped, FALSE, done, KvWin32ErrorFromErrno(errno));
    if (w.Closing() || w.TxAborted())
      return kvplat::Complete(lpOverlapped, FALSE, done, ERROR_OPERATION_ABORTED);
    if (pr == Waiter::kReady && (revents & (POLLHUP | POLLERR | POLLNVAL)) && !(revents & POLLOUT)) {
      c->gone_ = true;
      return kvplat::Complete(lpOverlapped, FALSE, done, ERROR_DEVICE_NOT_CONNECTED);
    }
  }
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = done;
  return kvplat::Complete(lpOverlapped, TRUE, done, 0);
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
  Call c(hFile);
  if (!c) return FALSE;
  if (c->gone_) {
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
  }
  // tcdrain without its unbounded wait: until the output queue is empty, the write time-out
  // (10 s when none is set) has passed, or the device is closed.
  COMMTIMEOUTS to;
  {
    std::lock_guard<std::mutex> g(c->m_);
    to = c->timeouts_;
  }
  int queued = 0;
  if (ioctl(c->fd(), TIOCOUTQ, &queued) != 0) return TRUE;
  uint64_t limit = static_cast<uint64_t>(to.WriteTotalTimeoutMultiplier) * static_cast<uint64_t>(queued) +
                   to.WriteTotalTimeoutConstant;
  if (limit == 0) limit = 10000;
  const auto deadline = Clock::now() + std::chrono::milliseconds(limit);
  Waiter w(*c);
  while (queued > 0) {
    const int ms = kvplat::RemainingMs(deadline);
    if (ms == 0 || !w.ok()) break;
    short revents = 0;
    w.Poll(0, ms < 10 ? ms : 10, &revents);
    if (w.Closing() || w.TxAborted()) {
      SetLastError(ERROR_OPERATION_ABORTED);
      return FALSE;
    }
    if (ioctl(c->fd(), TIOCOUTQ, &queued) != 0) break;
  }
  return TRUE;
}

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB) {
  Call c(hFile);
  if (!c) return FALSE;
  if (lpDCB == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (c->gone_) {
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(c->m_);
  *lpDCB = c->dcb_;
  return TRUE;
}

BOOL SetCommState(HANDLE hFile, LPDCB lpDCB) {
  Call c(hFile);
  if (!c) return FALSE;
  if (lpDCB == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  termios t;
  if (tcgetattr(c->fd(), &t) != 0) {
    KvSetLastErrorFromErrno(errno);
    return FALSE;
  }
  if (!kvplat::TermiosFromDcb(*lpDCB, &t)) return FALSE;
  if (tcsetattr(c->fd(), TCSANOW, &t) != 0) {
    KvSetLastErrorFromErrno(errno);
    return FALSE;
  }
  // tcsetattr succeeds if any change was taken: check that the line took all of them.
  termios now;
  if (tcgetattr(c->fd(), &now) != 0) {
    KvSetLastErrorFromErrno(errno);
    return FALSE;
  }
  // A pseudo-terminal has no wire: it takes the speed but keeps 8 data bits and no parity.
  const tcflag_t kLine = c->pty() ? (PARODD | CMSPAR | CSTOPB) : (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
  if (cfgetospeed(&now) != cfgetospeed(&t) || (now.c_cflag & kLine) != (t.c_cflag & kLine)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // DTR and RTS as asked (a pseudo-terminal has no modem lines; that is not an error).
  int dtr = TIOCM_DTR;
  if (lpDCB->fDtrControl == DTR_CONTROL_ENABLE) ioctl(c->fd(), TIOCMBIS, &dtr);
  if (lpDCB->fDtrControl == DTR_CONTROL_DISABLE) ioctl(c->fd(), TIOCMBIC, &dtr);
  int rts = TIOCM_RTS;
  if (lpDCB->fRtsControl == RTS_CONTROL_ENABLE) ioctl(c->fd(), TIOCMBIS, &rts);
  if (lpDCB->fRtsControl == RTS_CONTROL_DISABLE) ioctl(c->fd(), TIOCMBIC, &rts);
  std::lock_guard<std::mutex> g(c->m_);
  c->dcb_ = *lpDCB;
  c->dcb_.DCBlength = sizeof(DCB);
  return TRUE;
}

BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
  // The system's queues have fixed sizes here; the request is checked and accepted.
  Call c(hFile);
  if (!c) return FALSE;
  if (dwInQueue == 0 || dwOutQueue == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  Call c(hFile);
  if (!c) return FALSE;
  if (lpCommTimeouts == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(c->m_);
  *lpCommTimeouts = c->timeouts_;
  return TRUE;
}

BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  Call c(hFile);
  if (!c) return FALSE;
  if (lpCommTimeouts == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(c->m_);
  c->timeouts_ = *lpCommTimeouts;
  return TRUE;
}

BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) {
  Call c(hFile);
  if (!c) return FALSE;
  if (dwFlags & ~static_cast<DWORD>(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (dwFlags & (PURGE_TXABORT | PURGE_RXABORT)) {
    std::lock_guard<std::mutex> g(c->m_);
    if (dwFlags & PURGE_RXABORT) ++c->rxAbort_;
    if (dwFlags & PURGE_TXABORT) ++c->txAbort_;
    c->WakeLocked();
  }
  BOOL ok = TRUE;
  if ((dwFlags & PURGE_TXCLEAR) && tcflush(c->fd(), TCOFLUSH) != 0) ok = FALSE;
  if ((dwFlags & PURGE_RXCLEAR) && tcflush(c->fd(), TCIFLUSH) != 0) ok = FALSE;
  if (!ok) {
    if (errno == EIO) c->gone_ = true;
    KvSetLastErrorFromErrno(errno);
  }
  return ok;
}

BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
  if (lpErrors != nullptr) *lpErrors = 0;
  if (lpStat != nullptr) memset(lpStat, 0, sizeof(*lpStat));
  Call c(hFile);
  if (!c) return FALSE;
  if (c->gone_ || kvplat::HungUp(*c)) {
    c->gone_ = true;
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
  }
  int inq = 0;
  if (ioctl(c->fd(), FIONREAD, &inq) != 0) {
    const int e = errno;
    if (e == EIO) c->gone_ = true;
    SetLastError(e == EIO ? ERROR_DEVICE_NOT_CONNECTED : KvWin32ErrorFromErrno(e));
    return FALSE;
  }
  int outq = 0;
  if (ioctl(c->fd(), TIOCOUTQ, &outq) != 0) outq = 0;
  DWORD errors = 0;
  serial_icounter_struct ic;
  memset(&ic, 0, sizeof(ic));
  if (ioctl(c->fd(), TIOCGICOUNT, &ic) == 0) {
    std::lock_guard<std::mutex> g(c->m_);
    if (c->haveIcount_) {
      if (ic.frame != c->icount_.frame) errors |= CE_FRAME;
      if (ic.parity != c->icount_.parity) errors |= CE_RXPARITY;
      if (ic.overrun != c->icount_.overrun) errors |= CE_OVERRUN;
      if (ic.buf_overrun != c->icount_.buf_overrun) errors |= CE_RXOVER;
      if (ic.brk != c->icount_.brk) errors |= CE_BREAK;
    }
    c->icount_ = ic;
    c->haveIcount_ = true;
  }
  if (lpErrors != nullptr) *lpErrors = errors;
  if (lpStat != nullptr) {
    lpStat->cbInQue = inq > 0 ? static_cast<DWORD>(inq) : 0;
    lpStat->cbOutQue = outq > 0 ? static_cast<DWORD>(outq) : 0;
  }
  return TRUE;
}

BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
  Call c(hFile);
  if (!c) return FALSE;
  if (lpModemStat == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *lpModemStat = 0;
  if (c->gone_) {
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
  }
  int bits = 0;
  if (ioctl(c->fd(), TIOCMGET, &bits) != 0) {
    if (errno == EIO) {
      c->gone_ = true;
      SetLastError(ERROR_DEVICE_NOT_CONNECTED);
      return FALSE;
    }
    return TRUE;  // no modem lines (a pseudo-terminal): status 0
  }
  DWORD s = 0;
  if (bits & TIOCM_CTS) s |= MS_CTS_ON;
  if (bits & TIOCM_DSR) s |= MS_DSR_ON;
  if (bits & TIOCM_RNG) s |= MS_RING_ON;
  if (bits & TIOCM_CAR) s |= MS_RLSD_ON;
  *lpModemStat = s;
  return TRUE;
}

BOOL ClearCommBreak(HANDLE hFile) {
  Call c(hFile);
  if (!c) return FALSE;
  if (ioctl(c->fd(), TIOCCBRK) != 0 && errno == EIO) {
    c->gone_ = true;
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
  }
  return TRUE;
}

BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
  Call c(hFile);
  if (!c) return FALSE;
  std::lock_guard<std::mutex> g(c->m_);
  c->mask_ = dwEvtMask;
  ++c->maskGen_;
  c->WakeLocked();  // a pending WaitCommEvent completes with no event
  return TRUE;
}

BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
  Call c(hFile);
  if (!c) return FALSE;
  if (lpEvtMask == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(c->m_);
  *lpEvtMask = c->mask_;
  return TRUE;
}

BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
  if (lpEvtMask != nullptr) *lpEvtMask = 0;
  if (lpOverlapped != nullptr && lpOverlapped->hEvent != nullptr) ResetEvent(lpOverlapped->hEvent);
  Call c(hFile);
  if (!c) return kvplat::Complete(lpOverlapped, FALSE, 0, ERROR_INVALID_HANDLE);
  if (lpEvtMask == nullptr) return kvplat::Complete(lpOverlapped, FALSE, 0, ERROR_INVALID_PARAMETER);
  DWORD mask;
  {
    std::lock_guard<std::mutex> g(c->m_);
    mask = c->mask_;
  }
  if (mask == 0) return kvplat::Complete(lpOverlapped, FALSE, 0, ERROR_INVALID_PARAMETER);
  if (c->gone_) return kvplat::Complete(lpOverlapped, FALSE, 0, ERROR_DEVICE_NOT_CONNECTED);
  Waiter w(*c);
  if (!w.ok()) return kvplat::Complete(lpOverlapped, FALSE, 0, ERROR_NOT_ENOUGH_MEMORY);
  for (;;) {
    if (w.Closing()) return kvplat::Complete(lpOverlapped, FALSE, 0, ERROR_OPERATION_ABORTED);
    if (w.MaskChanged() || w.RxAborted() || w.TxAborted()) break;  // released: no event
    DWORD events = 0;
    int inq = 0;
    if ((mask & EV_RXCHAR) && ioctl(c->fd(), FIONREAD, &inq) == 0 && inq > 0) events |= EV_RXCHAR;
    bool txWatch = false;
    if (mask & EV_TXEMPTY) {
      std::lock_guard<std::mutex> g(c->m_);
      if (c->txPending_) {
        int outq = 0;
        if (ioctl(c->fd(), TIOCOUTQ, &outq) != 0 || outq == 0) {
          c->txPending_ = false;
          events |= EV_TXEMPTY;
        } else {
          txWatch = true;
        }
      }
    }
    if (events != 0) {
      *lpEvtMask = events;
      return kvplat::Complete(lpOverlapped, TRUE, 0, 0);
    }
    short revents = 0;
    const short want = (mask & EV_RXCHAR) ? POLLIN : 0;
    // While output drains, look again every 10 ms; otherwise sleep until something happens.
    const Waiter::Result pr = w.Poll(want, txWatch ? 10 : -1, &revents);
    if (pr == Waiter::kError) return kvplat::Complete(lpOverlapped, FALSE, 0, KvWin32ErrorFromErrno(errno));
    if (pr == Waiter::kReady && !(revents & (POLLHUP | POLLERR | POLLNVAL))) {
      int now = 0;
      if (ioctl(c->fd(), FIONREAD, &now) == 0 && now == 0) {
        // Readable without input (nothing a raw line should report): pause rather than spin.
        w.Poll(0, 10, &revents);
      }
      continue;
    }
    if (pr == Waiter::kReady) {
      int left = 0;
      if (ioctl(c->fd(), FIONREAD, &left) == 0 && left > 0) continue;  // input first
      // The device vanished: report it as received data (or a line error), so the
      // receive step's read runs and reports the failure.
      c->gone_ = true;
      const DWORD ev = (mask & EV_RXCHAR) ? EV_RXCHAR : (mask & EV_ERR);
      if (ev == 0) return kvplat::Complete(lpOverlapped, FALSE, 0, ERROR_DEVICE_NOT_CONNECTED);
      *lpEvtMask = ev;
      return kvplat::Complete(lpOverlapped, TRUE, 0, 0);
    }
  }
  return kvplat::Complete(lpOverlapped, TRUE, 0, 0);
}
