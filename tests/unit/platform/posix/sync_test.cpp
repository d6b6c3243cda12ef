// Events, waits, threads and critical sections of the POSIX platform layer.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "platform/platform.h"

namespace {

TEST(Events, AutoResetWakesOneWaitAndResets) {
  HANDLE e = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(SetEvent(e));
  EXPECT_TRUE(ResetEvent(e));
  EXPECT_EQ(WaitForSingleObject(e, 10), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(CloseHandle(e));
}

TEST(Events, WaitForMultipleAnyAndAll) {
  HANDLE a = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE b = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE both[2] = {a, b};
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  SetEvent(b);
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // a is not set
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), static_cast<DWORD>(WAIT_OBJECT_0 + 1));
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // b was auto-reset
  SetEvent(a);
  SetEvent(b);
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0),
            static_cast<DWORD>(WAIT_OBJECT_0));  // lowest index first
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(b, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // consumed by the wait-all
  EXPECT_EQ(WaitForSingleObject(a, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForMultipleObjects(0, both, FALSE, 0), static_cast<DWORD>(WAIT_FAILED));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  CloseHandle(a);
  CloseHandle(b);
}

TEST(Events, BadHandlesFailCleanly) {
  HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_TRUE(CloseHandle(e));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(e));  // a second close of the same handle
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(SetEvent(e));
  EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_FAILED));
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  int notAHandle = 0;
  EXPECT_EQ(WaitForSingleObject(&notAHandle, 0), static_cast<DWORD>(WAIT_FAILED));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

struct WaitArg {
  HANDLE event;
  std::atomic<DWORD> result{0};
};

unsigned WINAPI WaitForever(void* p) {
  auto* a = static_cast<WaitArg*>(p);
  a->result = WaitForSingleObject(a->event, INFINITE);
  return 7;
}

TEST(Events, SetEventWakesAnotherThreadsWait) {
  WaitArg arg;
  arg.event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE t = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &WaitForever, &arg, 0, nullptr));
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(WaitForSingleObject(t, 20), static_cast<DWORD>(WAIT_TIMEOUT));
  SetEvent(arg.event);
  ASSERT_EQ(WaitForSingleObject(t, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(arg.result.load(), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(t);
  CloseHandle(arg.event);
}

TEST(Events, ClosingAnEventReleasesItsWaiters) {
  WaitArg arg;
  arg.event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE t = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &WaitForever, &arg, 0, nullptr));
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(WaitForSingleObject(t, 20), static_cast<DWORD>(WAIT_TIMEOUT));
  CloseHandle(arg.event);
  ASSERT_EQ(WaitForSingleObject(t, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(arg.result.load(), static_cast<DWORD>(WAIT_FAILED));
  CloseHandle(t);
}

struct ThreadArg {
  HANDLE go;
  std::atomic<DWORD> id{0};
  std::atomic<bool> ran{false};
};

unsigned WINAPI RecordAndReturn(void* p) {
  auto* a = static_cast<ThreadArg*>(p);
  a->id = GetCurrentThreadId();
  a->ran = true;
  if (a->go != nullptr) WaitForSingleObject(a->go, 5000);
  return 42;
}

TEST(Threads, HandleSignalledAtTheEndWithTheExitCode) {
  ThreadArg arg;
  arg.go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  unsigned id = 0;
  HANDLE t = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &RecordAndReturn, &arg, 0, &id));
  ASSERT_NE(t, nullptr);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(WaitForSingleObject(t, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  SetEvent(arg.go);
  ASSERT_EQ(WaitForSingleObject(t, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(t, 0), static_cast<DWORD>(WAIT_OBJECT_0));  // stays signalled
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(arg.id.load(), id);
  EXPECT_NE(id, GetCurrentThreadId());
  EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());
  SetLastError(0);
  EXPECT_FALSE(TerminateThread(t, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_TRUE(SetThreadPriority(t, THREAD_PRIORITY_ABOVE_NORMAL));
  EXPECT_TRUE(CloseHandle(t));
  CloseHandle(arg.go);
}

TEST(Threads, CreatedSuspendedRunsOnlyWhenResumed) {
  ThreadArg arg;
  arg.go = nullptr;
  HANDLE t =
      reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &RecordAndReturn, &arg, CREATE_SUSPENDED, nullptr));
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(WaitForSingleObject(t, 30), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_FALSE(arg.ran.load());
  EXPECT_EQ(ResumeThread(t), 1u);
  ASSERT_EQ(WaitForSingleObject(t, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_TRUE(arg.ran.load());
  EXPECT_EQ(ResumeThread(t), 0u);  // harmless on a running or ended thread
  CloseHandle(t);
}

TEST(Threads, ClosingASuspendedThreadsHandleLetsItEndWithoutRunning) {
  ThreadArg arg;
  arg.go = nullptr;
  HANDLE t =
      reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &RecordAndReturn, &arg, CREATE_SUSPENDED, nullptr));
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(CloseHandle(t));  // nothing leaks, nothing waits forever
  EXPECT_FALSE(arg.ran.load());
}

unsigned WINAPI Throws(void*) { throw std::runtime_error("escaped"); }

TEST(Threads, AnEscapingExceptionEndsOnlyTheThread) {
  HANDLE t = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Throws, nullptr, 0, nullptr));
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(WaitForSingleObject(t, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_NE(code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_NE(code, 0u);
  CloseHandle(t);
}

struct CsArg {
  CRITICAL_SECTION cs;
  long counter = 0;
};

unsigned WINAPI Count(void* p) {
  auto* a = static_cast<CsArg*>(p);
  for (int i = 0; i < 10000; ++i) {
    EnterCriticalSection(&a->cs);
    EnterCriticalSection(&a->cs);  // recursive
    ++a->counter;
    LeaveCriticalSection(&a->cs);
    LeaveCriticalSection(&a->cs);
  }
  return 0;
}

TEST(CriticalSection, RecursiveAndExclusive) {
  CsArg arg;
  InitializeCriticalSection(&arg.cs);
  HANDLE t[4];
  for (HANDLE& h : t) h = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Count, &arg, 0, nullptr));
  EXPECT_EQ(WaitForMultipleObjects(4, t, TRUE, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  for (HANDLE h : t) CloseHandle(h);
  EXPECT_EQ(arg.counter, 40000);
  DeleteCriticalSection(&arg.cs);
}

}  // namespace
