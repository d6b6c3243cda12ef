// The serial device calls of the platform layer on a pseudo-terminal: time-outs, event waits
// and their wake-ups, closing under a blocked call, a vanished device.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "pty_port.h"

namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point t) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

class CommDevice : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.ok());
    h_ = CreateFileA("\\\\.\\COM61", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                     FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h_, INVALID_HANDLE_VALUE);
    ev_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  void TearDown() override {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    CloseHandle(ev_);
  }
  void SetTimeouts(DWORD interval, DWORD mult, DWORD constant) {
    COMMTIMEOUTS co = {interval, mult, constant, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h_, &co));
  }

  Pty pty_{61};
  HANDLE h_ = INVALID_HANDLE_VALUE;
  HANDLE ev_ = nullptr;
};

TEST_F(CommDevice, ReadEndsOnCountIntervalOrTotal) {
  SetTimeouts(100, 0, 500);
  BYTE buf[16];
  DWORD got = 99;
  OVERLAPPED ov = {};
  ov.hEvent = ev_;

  auto start = Clock::now();  // nothing comes: the total time-out
  EXPECT_TRUE(ReadFile(h_, buf, 10, &got, &ov));
  EXPECT_EQ(got, 0u);
  EXPECT_GE(MsSince(start), 450);
  EXPECT_EQ(WaitForSingleObject(ev_, 0), static_cast<DWORD>(WAIT_OBJECT_0));  // completed: event set
  DWORD n = 99;
  EXPECT_TRUE(GetOverlappedResult(h_, &ov, &n, TRUE));
  EXPECT_EQ(n, 0u);

  pty_.Send({1, 2, 3});  // fewer than asked: the interval after the last byte
  start = Clock::now();
  EXPECT_TRUE(ReadFile(h_, buf, 10, &got, &ov));
  EXPECT_EQ(got, 3u);
  EXPECT_GE(MsSince(start), 90);
  EXPECT_LT(MsSince(start), 450);

  pty_.Send({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});  // enough: at once, only what was asked
  start = Clock::now();
  EXPECT_TRUE(ReadFile(h_, buf, 10, &got, nullptr));
  EXPECT_EQ(got, 10u);
  EXPECT_LT(MsSince(start), 90);
  COMSTAT st;
  DWORD errors = 1;
  ASSERT_TRUE(ClearCommError(h_, &errors, &st));
  EXPECT_EQ(errors, 0u);
  EXPECT_EQ(st.cbInQue, 2u);

  SetTimeouts(0xFFFFFFFFu, 0, 0);  // return at once with what is there
  EXPECT_TRUE(ReadFile(h_, buf, 10, &got, nullptr));
  EXPECT_EQ(got, 2u);
  start = Clock::now();
  EXPECT_TRUE(ReadFile(h_, buf, 10, &got, nullptr));
  EXPECT_EQ(got, 0u);
  EXPECT_LT(MsSince(start), 90);
}

TEST_F(CommDevice, WaitCommEventSleepsUntilDataOrARelease) {
  ASSERT_TRUE(SetCommMask(h_, EV_RXCHAR | EV_ERR));
  DWORD mask = 0;
  OVERLAPPED ov = {};
  ov.hEvent = ev_;
  std::atomic<int> phase{0};
  std::atomic<DWORD> seen{0xFFFF};
  std::atomic<BOOL> ok{FALSE};
  auto wait = [&] {
    DWORD m = 0;
    ok = WaitCommEvent(h_, &m, &ov);
    seen = m;
    phase = 2;
  };

  // Data wakes it with EV_RXCHAR.
  std::thread t1(wait);
  Sleep(30);
  EXPECT_EQ(phase.load(), 0);
  pty_.Send({0x55});
  t1.join();
  EXPECT_TRUE(ok.load());
  EXPECT_EQ(seen.load(), static_cast<DWORD>(EV_RXCHAR));
  ASSERT_TRUE(PurgeComm(h_, PURGE_RXCLEAR));
  COMSTAT st;
  ASSERT_TRUE(ClearCommError(h_, nullptr, &st));
  EXPECT_EQ(st.cbInQue, 0u);

  // SetCommMask(h, 0) releases it with no event.
  phase = 0;
  std::thread t2(wait);
  Sleep(30);
  EXPECT_EQ(phase.load(), 0);
  ASSERT_TRUE(SetCommMask(h_, 0));
  t2.join();
  EXPECT_TRUE(ok.load());
  EXPECT_EQ(seen.load(), 0u);
  // A wait without a mask is refused at once.
  EXPECT_FALSE(WaitCommEvent(h_, &mask, &ov));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  // A purge with an abort flag releases it too.
  ASSERT_TRUE(SetCommMask(h_, EV_RXCHAR));
  phase = 0;
  std::thread t3(wait);
  Sleep(30);
  EXPECT_EQ(phase.load(), 0);
  ASSERT_TRUE(PurgeComm(h_, PURGE_RXABORT));
  t3.join();
  EXPECT_TRUE(ok.load());
  EXPECT_EQ(seen.load(), 0u);
}

TEST_F(CommDevice, TxEmptyFollowsAWriteOnce) {
  ASSERT_TRUE(SetCommMask(h_, EV_RXCHAR | EV_TXEMPTY));
  std::atomic<DWORD> seen{0};
  std::atomic<bool> done{false};
  std::thread t([&] {
    DWORD m = 0;
    if (WaitCommEvent(h_, &m, nullptr)) seen = m;
    done = true;
  });
  Sleep(30);
  EXPECT_FALSE(done.load());  // nothing written yet: no event
  const BYTE frame[3] = {0x02, 0x41, 0x03};
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h_, frame, 3, &n, nullptr));
  EXPECT_EQ(n, 3u);
  t.join();
  EXPECT_EQ(seen.load(), static_cast<DWORD>(EV_TXEMPTY));
  EXPECT_EQ(pty_.Receive(3, 2000), std::vector<BYTE>(frame, frame + 3));
  // Reported once: the next wait sleeps until something else happens.
  std::thread t2([&] {
    DWORD m = 0;
    if (WaitCommEvent(h_, &m, nullptr)) seen = m;
  });
  Sleep(30);
  pty_.Send({0x06});
  t2.join();
  EXPECT_EQ(seen.load(), static_cast<DWORD>(EV_RXCHAR));
}

TEST_F(CommDevice, PurgeAbortEndsABlockedRead) {
  SetTimeouts(0, 0, 0);  // no time-out: waits for all bytes
  std::atomic<BOOL> ok{TRUE};
  std::atomic<DWORD> err{0};
  std::thread t([&] {
    BYTE buf[8];
    DWORD got = 0;
    ok = ReadFile(h_, buf, 8, &got, nullptr);
    err = GetLastError();
  });
  Sleep(30);
  ASSERT_TRUE(PurgeComm(h_, PURGE_RXABORT | PURGE_RXCLEAR));
  t.join();
  EXPECT_FALSE(ok.load());
  EXPECT_EQ(err.load(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

TEST_F(CommDevice, CloseHandleUnderABlockedCallWaitsForItThenCloses) {
  SetTimeouts(0, 0, 0);
  ASSERT_TRUE(SetCommMask(h_, EV_RXCHAR));
  std::atomic<BOOL> readOk{TRUE}, waitOk{TRUE};
  std::thread reader([&] {
    BYTE buf[8];
    DWORD got = 0;
    readOk = ReadFile(h_, buf, 8, &got, nullptr);
  });
  std::thread waiter([&] {
    DWORD m = 0;
    waitOk = WaitCommEvent(h_, &m, nullptr);
  });
  Sleep(50);
  const auto start = Clock::now();
  EXPECT_TRUE(CloseHandle(h_));
  EXPECT_LT(MsSince(start), 2000);
  reader.join();
  waiter.join();
  EXPECT_FALSE(readOk.load());
  EXPECT_FALSE(waitOk.load());
  // The handle is gone for every call; the device is free for the next opener.
  DWORD n = 0;
  BYTE b = 0;
  EXPECT_FALSE(WriteFile(h_, &b, 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(CloseHandle(h_));
  h_ = CreateFileA("\\\\.\\COM61", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(h_, INVALID_HANDLE_VALUE);
}

TEST_F(CommDevice, AVanishedDeviceFailsEveryCall) {
  SetTimeouts(100, 0, 500);
  ASSERT_TRUE(SetCommMask(h_, EV_RXCHAR));
  std::atomic<BOOL> ok{FALSE};
  std::atomic<DWORD> seen{0};
  std::thread t([&] {
    DWORD m = 0;
    ok = WaitCommEvent(h_, &m, nullptr);
    seen = m;
  });
  Sleep(30);
  pty_.CloseMaster();
  t.join();
  // The wait reports received data, so the reader goes on to find out.
  EXPECT_TRUE(ok.load());
  EXPECT_EQ(seen.load(), static_cast<DWORD>(EV_RXCHAR));
  COMSTAT st;
  EXPECT_FALSE(ClearCommError(h_, nullptr, &st));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  BYTE buf[4];
  DWORD got = 7;
  const auto start = Clock::now();
  EXPECT_FALSE(ReadFile(h_, buf, 4, &got, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_EQ(got, 0u);
  EXPECT_LT(MsSince(start), 400);  // at once, not after the time-out
  EXPECT_FALSE(WriteFile(h_, buf, 4, &got, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
}

TEST(CommNames, PortNamesAndBadHandles) {
  unsetenv("KORVESSA_COM62");
  setenv("KORVESSA_COM62", "/dev/null", 1);  // not a serial device
  HANDLE h = CreateFileA("\\\\.\\COM62", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  unsetenv("KORVESSA_COM62");
  for (const char* name : {"\\\\.\\COM0", "\\\\.\\COM", "\\\\.\\COMx", "\\\\.\\LPT1", "\\\\.\\COM1x", ""}) {
    SetLastError(0);
    EXPECT_EQ(CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE)
        << name;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << name;
  }
  EXPECT_EQ(CreateFileA(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  // Serial calls on something that is not a device handle.
  HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DCB dcb;
  EXPECT_FALSE(GetCommState(ev, &dcb));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(PurgeComm(INVALID_HANDLE_VALUE, PURGE_RXCLEAR));
  EXPECT_FALSE(ClearCommError(nullptr, nullptr, nullptr));
  CloseHandle(ev);
}

}  // namespace
