// Threads for POSIX systems: the C runtime's thread start with the Win32 thread-handle contract;
// the library's threads take no asynchronous signal.
//
// A thread handle is signalled when its thread has returned from its start routine. The thread
// object is shared by the running thread and the handle; whichever lets go last frees it. The
// pthread is joined by CloseHandle when it has already ended (so nothing of it remains), and
// detached otherwise (it then frees itself when it ends).
#include <cxxabi.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <exception>
#include <new>

#include "platform/posix/handle.h"

namespace kvplat {
namespace {

std::atomic<DWORD> g_nextThreadId{1};
thread_local DWORD t_threadId = 0;

DWORD NewThreadId() {
  DWORD id;
  do {
    id = g_nextThreadId.fetch_add(1, std::memory_order_relaxed);
  } while (id == 0);  // 0 means "no thread" to callers
  return id;
}

// Exit code of a thread whose start routine let an exception escape.
constexpr DWORD kExitCodeUncaught = 0xE0000001u;

class Thread final : public KvHandle {
 public:
  Thread(unsigned(WINAPI* start)(void*), void* arg, bool suspended)
      : KvHandle(HandleKind::kThread), start_(start), arg_(arg), suspend_(suspended ? 1 : 0) {
    id_ = NewThreadId();
  }

  bool Start() {
    AddRef();  // the running thread's reference
    // The thread is born with every asynchronous signal blocked (a mask is inherited at
    // creation, so there is no moment in which one could land on it): the cash register's
    // handlers run on its own threads, and no wait of ours is cut short by them. Signals
    // raised by a fault in the thread itself stay deliverable.
    sigset_t all, old;
    sigfillset(&all);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) sigdelset(&all, sig);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    int rc = pthread_create(&tid_, nullptr, &Thread::Entry, this);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (rc != 0) {
      Release();
      SetLastError(rc == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ERROR_GEN_FAILURE);
      return false;
    }
    return true;
  }

  BOOL Close() override {
    bool join = false;
    {
      std::lock_guard<std::mutex> g(WaitLock());
      // A suspended thread that will never be resumed would wait forever: let it run to its end.
      if (suspend_ > 0) {
        suspend_ = 0;
        cancelled_ = true;
        NotifyWaiters();
      }
      join = ended_ && !pthread_equal(tid_, pthread_self());
    }
    if (join) {
      pthread_join(tid_, nullptr);
    } else {
      pthread_detach(tid_);
    }
    return TRUE;
  }

  bool Waitable() const override { return true; }
  bool Signalled() const override { return ended_; }

  DWORD Resume() {
    std::lock_guard<std::mutex> g(WaitLock());
    DWORD prev = suspend_;
    if (suspend_ > 0 && --suspend_ == 0) NotifyWaiters();
    return prev;
  }

  DWORD ExitCode() {
    std::lock_guard<std::mutex> g(WaitLock());
    return ended_ ? exit_ : STILL_ACTIVE;
  }

  DWORD id() const { return id_; }

 private:
  static void* Entry(void* p) {
    Thread* self = static_cast<Thread*>(p);
    t_threadId = self->id_;
    bool run = true;
    {
      std::unique_lock<std::mutex> lk(WaitLock());
      while (self->suspend_ > 0) WaitCondition().wait(lk);
      run = !self->cancelled_;
    }
    DWORD code = 0;
    if (run) {
      try {
        code = self->start_(self->arg_);
      } catch (abi::__forced_unwind&) {
        throw;  // a pthread_exit inside the routine must finish its unwinding
      } catch (...) {
        // An exception must not leave a thread of the library: it would end the host process.
        code = kExitCodeUncaught;
      }
    }
    {
      std::lock_guard<std::mutex> g(WaitLock());
      self->exit_ = code;
      self->ended_ = true;
      NotifyWaiters();
    }
    self->Release();
    return nullptr;
  }

  unsigned(WINAPI* start_)(void*);
  void* arg_;
  pthread_t tid_{};
  DWORD id_ = 0;
  // Guarded by WaitLock():
  DWORD suspend_;
  bool cancelled_ = false;
  bool ended_ = false;
  DWORD exit_ = STILL_ACTIVE;

  friend Thread* AcquireThread(HANDLE h);
};

Thread* AcquireThread(HANDLE h) {
  KvHandle* k = KvHandle::Acquire(h);
  if (k == nullptr) return nullptr;
  if (k->kind() != HandleKind::kThread) {
    k->Release();
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return static_cast<Thread*>(k);
}

}  // namespace
}  // namespace kvplat

uintptr_t _beginthreadex(void*, unsigned, unsigned(WINAPI* start_address)(void*), void* arglist,
                         unsigned initflag, unsigned* thrdaddr) {
  if (start_address == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    errno = EINVAL;
    return 0;
  }
  auto* t = new (std::nothrow) kvplat::Thread(start_address, arglist, (initflag & CREATE_SUSPENDED) != 0);
  if (t == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    errno = ENOMEM;
    return 0;
  }
  if (thrdaddr != nullptr) *thrdaddr = t->id();
  if (!t->Start()) {
    t->Release();
    errno = EAGAIN;
    return 0;
  }
  return reinterpret_cast<uintptr_t>(static_cast<kvplat::KvHandle*>(t));
}

DWORD ResumeThread(HANDLE hThread) {
  kvplat::Thread* t = kvplat::AcquireThread(hThread);
  if (t == nullptr) return static_cast<DWORD>(-1);
  DWORD prev = t->Resume();
  t->Release();
  return prev;
}

BOOL SetThreadPriority(HANDLE hThread, int nPriority) {
  // Priorities of ordinary threads are not adjustable without privileges on POSIX: the request is
  // checked and accepted, and the thread keeps the scheduler's normal priority.
  kvplat::Thread* t = kvplat::AcquireThread(hThread);
  if (t == nullptr) return FALSE;
  t->Release();
  if (nPriority < THREAD_PRIORITY_IDLE || nPriority > THREAD_PRIORITY_TIME_CRITICAL) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

BOOL TerminateThread(HANDLE, DWORD) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  kvplat::Thread* t = kvplat::AcquireThread(hThread);
  if (t == nullptr) return FALSE;
  if (lpExitCode == nullptr) {
    t->Release();
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *lpExitCode = t->ExitCode();
  t->Release();
  return TRUE;
}

DWORD GetCurrentThreadId(void) {
  if (kvplat::t_threadId == 0) kvplat::t_threadId = kvplat::NewThreadId();
  return kvplat::t_threadId;
}
