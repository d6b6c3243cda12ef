// The object behind every HANDLE of the POSIX layer: events, threads and serial devices.
//
// A HANDLE is a pointer to a KvHandle. Every live object is listed in a registry, so a stale
// or foreign handle value is refused (ERROR_INVALID_HANDLE) without being dereferenced. Objects are reference
// counted: CloseHandle drops the caller's reference after calling Close(); a thread that waits on the object
// holds a reference of its own for the length of the wait, so closing a handle while another thread waits on
// it wakes that waiter (the wait fails with ERROR_INVALID_HANDLE) instead of leaving it on freed memory.
//
// Signalled state of every waitable object is guarded by one process-wide wait lock, so that
// WaitForMultipleObjects can test and consume several objects atomically.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/posix/win32_posix.h"

namespace kvplat {

enum class HandleKind : uint32_t { kEvent = 1, kThread = 2, kDevice = 3 };

class KvHandle {
 public:
  explicit KvHandle(HandleKind kind);
  KvHandle(const KvHandle&) = delete;
  KvHandle& operator=(const KvHandle&) = delete;

  HandleKind kind() const { return kind_; }

  // Returns the object behind h with one reference added, or nullptr (and ERROR_INVALID_HANDLE
  // set) when h is null, INVALID_HANDLE_VALUE, not an object of this layer or already closed.
  static KvHandle* Acquire(HANDLE h);
  void AddRef() { refs_.fetch_add(1, std::memory_order_relaxed); }
  void Release();

  // CloseHandle: the object's own shutdown (wait for calls inside, free the descriptor ...).
  // Called once, after BeginClose() succeeded; the handle's reference is dropped afterwards.
  virtual BOOL Close() = 0;

  // Marks the object closed under the wait lock and wakes every waiter; from then on Acquire
  // fails for it. Returns false if it was closed already (a second CloseHandle).
  bool BeginClose();

  // Waitable objects. Both are called with the wait lock held. Signalled() tests; Consume()
  // takes the signal (an auto-reset event resets, other objects stay signalled).
  virtual bool Waitable() const { return false; }
  virtual bool Signalled() const { return false; }
  virtual void Consume() {}

  // Set (under the wait lock) once CloseHandle has begun on this object.
  bool closed_locked() const { return closed_; }

 protected:
  virtual ~KvHandle();

 private:
  std::atomic<int> refs_{1};
  bool closed_ = false;  // guarded by WaitLock()
  HandleKind kind_;
};

// The process-wide lock over signalled states, and the condition every waiter sleeps on.
std::mutex& WaitLock();
// Wakes every waiter so it re-tests its objects. Call with or without the wait lock held.
void NotifyWaiters();
std::condition_variable& WaitCondition();

}  // namespace kvplat
