// The life of a serial device's HANDLE on POSIX systems: opening it, the guard of every call on
// it, the waits it can wake, and a close that is safe while another thread is inside a call.
//
// "\\.\COMn" opens the path in the environment variable KORVESSA_COMn, else /dev/ttyS<n-1>;
// an absolute path opens that device. Either way exclusively (TIOCEXCL and flock) and raw.
// Every blocking call polls an eventfd of its own, through which SetCommMask, PurgeComm with an
// abort flag and CloseHandle wake it. CloseHandle marks the device closed, wakes every waiter,
// waits until no call is inside, and only then closes the descriptor.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/posix/errno_map.h"
#include "platform/posix/serial_device.h"
#include "platform/posix/serial_termios.h"

namespace kvplat {
namespace {

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

Device::Device(int fd, const termios& saved) : KvHandle(HandleKind::kDevice), fd_(fd), saved_(saved) {
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

BOOL Device::Close() {
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

bool Device::Enter() {
  std::lock_guard<std::mutex> g(m_);
  if (closing_) return false;
  ++inside_;
  return true;
}

void Device::Leave() {
  std::lock_guard<std::mutex> g(m_);
  if (--inside_ == 0 && closing_) idle_.notify_all();
}

void Device::WakeLocked() {
  const uint64_t one = 1;
  for (int efd : waiters_) {
    ssize_t r = write(efd, &one, sizeof(one));
    (void)r;  // an eventfd that is already full is awake anyway
  }
}

Call::Call(HANDLE h) {
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

Call::~Call() {
  if (d_ != nullptr) {
    d_->Leave();
    d_->Release();
  }
}

Waiter::Waiter(Device& d) : d_(d) {
  efd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (efd_ < 0) return;
  std::lock_guard<std::mutex> g(d_.m_);
  d_.waiters_.push_back(efd_);
  rx0_ = d_.rxAbort_;
  tx0_ = d_.txAbort_;
  mask0_ = d_.maskGen_;
}

Waiter::~Waiter() {
  if (efd_ < 0) return;
  {
    std::lock_guard<std::mutex> g(d_.m_);
    auto& w = d_.waiters_;
    w.erase(std::remove(w.begin(), w.end(), efd_), w.end());
  }
  close(efd_);
}

Waiter::Result Waiter::Poll(short events, int timeoutMs, short* revents) {
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

bool Waiter::Closing() {
  std::lock_guard<std::mutex> g(d_.m_);
  return d_.closing_;
}

bool Waiter::RxAborted() {
  std::lock_guard<std::mutex> g(d_.m_);
  return d_.rxAbort_ != rx0_;
}

bool Waiter::TxAborted() {
  std::lock_guard<std::mutex> g(d_.m_);
  return d_.txAbort_ != tx0_;
}

bool Waiter::MaskChanged() {
  std::lock_guard<std::mutex> g(d_.m_);
  return d_.maskGen_ != mask0_;
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

}  // namespace kvplat

using kvplat::Device;

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
