// Critical sections, events, waits and CloseHandle for POSIX systems.
#include <chrono>
#include <mutex>
#include <new>
#include <unordered_set>

#include "platform/posix/handle.h"

namespace kvplat {

namespace {

// The lock, condition and registry of every wait, made together by the first handle created
// (normally by the library's global engine object while the library loads), so that their
// destruction at process exit is registered before anything the library registers after
// building the engine: its detach then runs first and no thread still waits on the condition
// when it goes (destroying a condition variable waits for its waiters).
struct WaitState {
  std::mutex lock;
  std::condition_variable condition;
  std::unordered_set<const KvHandle*> registry;  // the live objects; guarded by lock
};

WaitState& State() {
  static WaitState s;
  return s;
}

std::unordered_set<const KvHandle*>& Registry() { return State().registry; }

}  // namespace

std::mutex& WaitLock() { return State().lock; }

std::condition_variable& WaitCondition() { return State().condition; }

void NotifyWaiters() { WaitCondition().notify_all(); }

KvHandle::KvHandle(HandleKind kind) : kind_(kind) {
  std::lock_guard<std::mutex> g(WaitLock());
  Registry().insert(this);
}

KvHandle::~KvHandle() {
  std::lock_guard<std::mutex> g(WaitLock());
  Registry().erase(this);
}

KvHandle* KvHandle::Acquire(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  KvHandle* k = static_cast<KvHandle*>(h);
  std::lock_guard<std::mutex> g(WaitLock());
  if (Registry().count(k) == 0 || k->closed_) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  k->AddRef();
  return k;
}

void KvHandle::Release() {
  if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

bool KvHandle::BeginClose() {
  std::lock_guard<std::mutex> g(WaitLock());
  if (closed_) return false;
  closed_ = true;
  NotifyWaiters();
  return true;
}

namespace {

class Event final : public KvHandle {
 public:
  Event(bool manual, bool initial) : KvHandle(HandleKind::kEvent), manual_(manual), set_(initial) {}
  BOOL Close() override { return TRUE; }
  bool Waitable() const override { return true; }
  bool Signalled() const override { return set_; }
  void Consume() override {
    if (!manual_) set_ = false;
  }
  void Set(bool on) {
    std::lock_guard<std::mutex> g(WaitLock());
    set_ = on;
    if (on) NotifyWaiters();
  }

 private:
  const bool manual_;
  bool set_;  // guarded by WaitLock()
};

Event* AcquireEvent(HANDLE h) {
  KvHandle* k = KvHandle::Acquire(h);
  if (k == nullptr) return nullptr;
  if (k->kind() != HandleKind::kEvent) {
    k->Release();
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return static_cast<Event*>(k);
}

constexpr DWORD kMaxWaitObjects = 64;

}  // namespace
}  // namespace kvplat

using kvplat::KvHandle;

// ---------------------------------------------------------------- critical sections

namespace {
std::recursive_mutex* CsMutex(LPCRITICAL_SECTION cs) {
  return std::launder(reinterpret_cast<std::recursive_mutex*>(cs->opaque));
}
}  // namespace

static_assert(sizeof(std::recursive_mutex) <= sizeof(CRITICAL_SECTION::opaque),
              "CRITICAL_SECTION too small for the mutex");
static_assert(alignof(std::recursive_mutex) <= 16, "CRITICAL_SECTION alignment");

void InitializeCriticalSection(LPCRITICAL_SECTION cs) { new (cs->opaque) std::recursive_mutex; }

void DeleteCriticalSection(LPCRITICAL_SECTION cs) {
  using M = std::recursive_mutex;
  CsMutex(cs)->~M();
}

void EnterCriticalSection(LPCRITICAL_SECTION cs) { CsMutex(cs)->lock(); }

void LeaveCriticalSection(LPCRITICAL_SECTION cs) { CsMutex(cs)->unlock(); }

// ---------------------------------------------------------------- events

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR) {
  // Names are not supported on POSIX: every event is a private one (the library never names them).
  auto* e = new (std::nothrow) kvplat::Event(bManualReset != FALSE, bInitialState != FALSE);
  if (e == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return e;
}

BOOL SetEvent(HANDLE hEvent) {
  kvplat::Event* e = kvplat::AcquireEvent(hEvent);
  if (e == nullptr) return FALSE;
  e->Set(true);
  e->Release();
  return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
  kvplat::Event* e = kvplat::AcquireEvent(hEvent);
  if (e == nullptr) return FALSE;
  e->Set(false);
  e->Release();
  return TRUE;
}

// ---------------------------------------------------------------- waits

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
  if (nCount == 0 || nCount > kvplat::kMaxWaitObjects || lpHandles == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  KvHandle* objs[kvplat::kMaxWaitObjects];
  for (DWORD i = 0; i < nCount; ++i) {
    objs[i] = KvHandle::Acquire(lpHandles[i]);
    if (objs[i] == nullptr || !objs[i]->Waitable()) {
      if (objs[i] != nullptr) objs[i]->Release();
      for (DWORD j = 0; j < i; ++j) objs[j]->Release();
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
  DWORD result = WAIT_TIMEOUT;
  {
    std::unique_lock<std::mutex> lk(kvplat::WaitLock());
    for (;;) {
      bool failed = false;
      for (DWORD i = 0; i < nCount; ++i) failed = failed || objs[i]->closed_locked();
      if (failed) {
        result = WAIT_FAILED;
        break;
      }
      if (bWaitAll) {
        bool all = true;
        for (DWORD i = 0; i < nCount && all; ++i) all = objs[i]->Signalled();
        if (all) {
          for (DWORD i = 0; i < nCount; ++i) objs[i]->Consume();
          result = WAIT_OBJECT_0;
          break;
        }
      } else {
        DWORD hit = nCount;
        for (DWORD i = 0; i < nCount && hit == nCount; ++i)
          if (objs[i]->Signalled()) hit = i;
        if (hit != nCount) {
          objs[hit]->Consume();
          result = WAIT_OBJECT_0 + hit;
          break;
        }
      }
      if (dwMilliseconds == INFINITE) {
        kvplat::WaitCondition().wait(lk);
      } else {
        if (std::chrono::steady_clock::now() >= deadline) break;
        kvplat::WaitCondition().wait_until(lk, deadline);
      }
    }
  }
  for (DWORD i = 0; i < nCount; ++i) objs[i]->Release();
  if (result == WAIT_FAILED) SetLastError(ERROR_INVALID_HANDLE);
  return result;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

// ---------------------------------------------------------------- CloseHandle

BOOL CloseHandle(HANDLE hObject) {
  KvHandle* k = KvHandle::Acquire(hObject);
  if (k == nullptr) return FALSE;
  // Only the first CloseHandle of a handle closes it; a second one fails like on Windows.
  if (!k->BeginClose()) {
    k->Release();
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  BOOL ok = k->Close();
  k->Release();  // the reference taken above
  k->Release();  // the handle's own reference
  return ok;
}
