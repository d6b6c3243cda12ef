#include "serial/SerialPort.h"

#include <cstdio>
#include <cstring>

#include "base/Deadline.h"
#include "log/Log.h"
#include "platform/CsLock.h"

namespace {

constexpr DWORD kAllPurge = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

// The port whose close this thread ran on itself: the thread is done with that port and
// leaves its loop; a later close from it must not touch a port opened again meanwhile.
thread_local const SerialPort* t_selfStopped = nullptr;

// The place (SerialPort::WorkerPlace) of the worker the calling thread is, if it is one.
thread_local std::atomic<int>* t_workerPlace = nullptr;

// How long a close lets a worker that is busy past its wait (writing the log, reading the
// configuration, inside the runtime) reach a point where it holds nothing, before it leaves the
// thread running rather than kill it inside a lock.
constexpr DWORD kBusyGraceMs = 3000;
// How long a close keeps aborting writes still inside their system call (each abort ends one).
constexpr DWORD kWriteAbortMs = 2000;

// The outcome of an overlapped read. A read that the port's time-outs ended is no failure:
// Windows completes it as a success with a short count, Wine with ERROR_TIMEOUT and the count.
BOOL ReadOutcome(HANDLE h, LPOVERLAPPED ov, LPDWORD count, BOOL wait) {
  *count = 0;
  if (::GetOverlappedResult(h, ov, count, wait)) return TRUE;
  return ::GetLastError() == ERROR_TIMEOUT ? TRUE : FALSE;
}

}  // namespace

// ---------------------------------------------------------------- construction

SerialPort::SerialPort(DWORD dwOption) : dwOption_(0), hComm_(INVALID_HANDLE_VALUE) {
  InitializeCriticalSection(&writeLock_);
  InitObject();
  SP_ASSERT(!IsOpen(), "SP_ASSERT(!IsOpen()) failed; SerialPort(210); ");
  dwOption_ = dwOption;
}

SerialPort::~SerialPort() {
  if (IsOpen()) Close(500);
  // A worker that could not be stopped at the close still uses this object: give it a last,
  // bounded chance to end before the object goes.
  std::atomic<HANDLE>* threads[] = {&hWatchThread_, &hReadThread_, &hWriteThread_};
  for (std::atomic<HANDLE>* t : threads) {
    HANDLE h = t->exchange(nullptr);
    if (h != nullptr) {
      WaitForSingleObject(h, 2000);
      CloseHandle(h);
    }
  }
  DestroyObject();
  DeleteCriticalSection(&writeLock_);
}

void SerialPort::InitObject() {
  hComm_ = INVALID_HANDLE_VALUE;
  dwPort_ = static_cast<DWORD>(-1);
  memset(szName_, 0, sizeof(szName_));
  memset(szDevice_, 0, sizeof(szDevice_));
  memset(&DCB_, 0, sizeof(DCB_));
  DCB_.DCBlength = sizeof(DCB);
  memset(&CO_, 0, sizeof(CO_));
  bRunning_ = false;
  dwWaitEvent_ = kSerialWaitEvents;
  hWatchThread_ = nullptr;
  dwWatchThreadId_ = 0;
  hReadThread_ = nullptr;
  dwReadThreadId_ = 0;
  hWriteThread_ = nullptr;
  dwWriteThreadId_ = 0;
  hNotifyWnd_ = nullptr;
  dwNotifyThreadId_ = 0;
  dwNotifyThreshold_ = 0;
  memset(&RO_, 0, sizeof(RO_));
  memset(&WO_, 0, sizeof(WO_));
  memset(&EO_, 0, sizeof(EO_));
  hWatchEvent_ = hReadEvent_ = hWriteEvent_ = nullptr;

  RO_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SP_ASSERT(RO_.hEvent != NULL, "SP_ASSERT(RO_.hEvent != NULL) failed; SerialPort(1661); ");
  WO_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SP_ASSERT(WO_.hEvent != NULL, "SP_ASSERT(WO_.hEvent != NULL) failed; SerialPort(1664); ");
  EO_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SP_ASSERT(EO_.hEvent != NULL, "SP_ASSERT(EO_.hEvent != NULL) failed; SerialPort(1667); ");
  hWatchEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SP_ASSERT(hWatchEvent_ != NULL, "SP_ASSERT(hWatchEvent_ != NULL) failed; SerialPort(1671); ");
  hReadEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SP_ASSERT(hReadEvent_ != NULL, "SP_ASSERT(hReadEvent_ != NULL) failed; SerialPort(1673); ");
  hWriteEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SP_ASSERT(hWriteEvent_ != NULL, "SP_ASSERT(hWriteEvent_ != NULL) failed; SerialPort(1675); ");
}

void SerialPort::DestroyObject() {
  HANDLE* events[] = {&RO_.hEvent, &WO_.hEvent, &EO_.hEvent, &hWatchEvent_, &hReadEvent_, &hWriteEvent_};
  for (HANDLE* e : events) {
    if (*e != nullptr) {
      CloseHandle(*e);
      *e = nullptr;
    }
  }
}

// ---------------------------------------------------------------- open

bool SerialPort::Open(DWORD dwPort, DWORD dwBaudRate, BYTE btParity, BYTE btByteSize, BYTE btStopBits) {
  SP_ASSERT(dwPort >= 1 && dwPort <= 1024, "SP_ASSERT(dwPort>=1 && dwPort<=1024) failed; SerialPort(328); ");
  dwPort_ = dwPort;
  snprintf(szName_, sizeof(szName_), "\\\\.\\COM%u", static_cast<unsigned>(dwPort));
  SP_ASSERT(OpenPort(), "SP_ASSERT(OpenPort()) failed; SerialPort(333); ");
  SP_ASSERT(SetState(dwBaudRate, btParity, btByteSize, btStopBits),
            "SP_ASSERT(SetState(dwBaudRate, btParity, btByteSize, btStopBits)) failed; SerialPort(336); ");
  SP_ASSERT(SetupPort(), "SP_ASSERT(SetupPort()) failed; SerialPort(339); ");
  if (dwOption_ & (EN_WATCH_THREAD | EN_READ_THREAD | EN_WRITE_THREAD)) {
    SP_ASSERT(BeginThread(0), "SP_ASSERT(BeginThread()) failed; SerialPort(342); ");
  }
  return true;
}

bool SerialPort::OpenPort() {
  SP_ASSERT(!IsOpen(), "SP_ASSERT(!IsOpen()) failed; SerialPort(1719); ");
  DWORD flags = FILE_ATTRIBUTE_NORMAL;
  if (dwOption_ & EN_OVERLAPPED_IO) flags |= FILE_FLAG_OVERLAPPED;
  const char* name = szDevice_[0] != '\0' ? szDevice_ : szName_;
  HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
  hComm_ = h;
  return h != INVALID_HANDLE_VALUE;
}

void SerialPort::SetDevicePath(const char* path) {
  memset(szDevice_, 0, sizeof(szDevice_));
  if (path != nullptr) strncpy(szDevice_, path, sizeof(szDevice_) - 1);
}

bool SerialPort::SetState(DWORD dwBaudRate, BYTE btParity, BYTE btByteSize, BYTE btStopBits) {
  SP_ASSERT(IsOpen(), "SP_ASSERT(IsOpen()) failed; SerialPort(888); ");
  if (!GetCommState(hComm_, &DCB_)) return false;
  DCB_.ByteSize = btByteSize;
  DCB_.Parity = btParity;
  DCB_.StopBits = btStopBits;
  DCB_.BaudRate = dwBaudRate;
  DCB_.fParity = (btParity != 0) ? 1 : 0;
  return SetCommState(hComm_, &DCB_) != FALSE;
}

bool SerialPort::SetupPort() {
  SP_ASSERT(IsOpen(), "SP_ASSERT(IsOpen()) failed; SerialPort(1739); ");
  SP_ASSERT(::SetupComm(hComm_, 4096, 4096),
            "SP_ASSERT(::SetupComm(hComm_, 4096, 4096)) failed; SerialPort(1742); ");
  SP_ASSERT(::GetCommTimeouts(hComm_, &CO_),
            "SP_ASSERT(::GetCommTimeouts(hComm_, &CO_)) failed; SerialPort(1745); ");
  const bool overlapped = (dwOption_ & EN_OVERLAPPED_IO) != 0;
  CO_.ReadIntervalTimeout = 100;
  CO_.ReadTotalTimeoutMultiplier = 0;
  CO_.ReadTotalTimeoutConstant = overlapped ? 500 : 250;
  CO_.WriteTotalTimeoutMultiplier = overlapped ? 1 : 0;
  CO_.WriteTotalTimeoutConstant = overlapped ? 10000 : 250;
  SP_ASSERT(::SetCommTimeouts(hComm_, &CO_),
            "SP_ASSERT(::SetCommTimeouts(hComm_, &CO_)) failed; SerialPort(1754); ");
  SP_ASSERT(::PurgeComm(hComm_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR),
            "SP_ASSERT(::PurgeComm(hComm_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR )) "
            "failed; SerialPort(1757); ");
  return true;
}

// ---------------------------------------------------------------- threads

void SerialPort::ReapEndedThreads() {
  std::atomic<HANDLE>* threads[] = {&hWatchThread_, &hReadThread_, &hWriteThread_};
  for (std::atomic<HANDLE>* t : threads) {
    HANDLE h = t->load();
    if (h != nullptr && WaitForSingleObject(h, 0) == WAIT_OBJECT_0) {
      t->store(nullptr);
      CloseHandle(h);
    }
  }
}

bool SerialPort::BeginThread(DWORD extraOptions) {
  // A worker that a close could not stop in time may have ended since: collect it first.
  ReapEndedThreads();
  SP_ASSERT(!hWatchThread_ && !hReadThread_ && !hWriteThread_,
            "SP_ASSERT(!hWatchThread_ && !hReadThread_ && !hWriteThread_) failed; SerialPort(644); ");
  bRunning_ = true;
  const unsigned createFlags = (dwOption_ & EN_START_SUSPENDED) ? CREATE_SUSPENDED : 0;
  if (extraOptions != 0) dwOption_ |= extraOptions;
  if (dwOption_ & EN_WATCH_THREAD) {
    hWatchThread_ = reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, &SerialPort::WatchThreadEntry, this, createFlags, &dwWatchThreadId_));
  }
  if (dwOption_ & EN_READ_THREAD) {
    hReadThread_ = reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, &SerialPort::ReadThreadEntry, this, createFlags, &dwReadThreadId_));
  }
  if (dwOption_ & EN_WRITE_THREAD) {
    hWriteThread_ = reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, &SerialPort::WriteThreadEntry, this, createFlags, &dwWriteThreadId_));
  }
  if (dwOption_ & EN_WATCH_THREAD) {
    SP_ASSERT(hWatchThread_ != NULL, "SP_ASSERT(hWatchThread_ != NULL) failed; SerialPort(678); ");
    if (dwOption_ & EN_HIGH_PRIORITY) SetThreadPriority(hWatchThread_, THREAD_PRIORITY_ABOVE_NORMAL);
  }
  if (dwOption_ & EN_READ_THREAD) {
    SP_ASSERT(hReadThread_ != NULL, "SP_ASSERT(hReadThread_ != NULL) failed; SerialPort(695); ");
    if (dwOption_ & EN_HIGH_PRIORITY) SetThreadPriority(hReadThread_, THREAD_PRIORITY_ABOVE_NORMAL);
  }
  if (dwOption_ & EN_WRITE_THREAD) {
    SP_ASSERT(hWriteThread_ != NULL, "SP_ASSERT(hWriteThread_ != NULL) failed; SerialPort(712); ");
    if (dwOption_ & EN_HIGH_PRIORITY) SetThreadPriority(hWriteThread_, THREAD_PRIORITY_ABOVE_NORMAL);
  }
  return true;
}

void SerialPort::Park() {
  if (t_workerPlace != nullptr) t_workerPlace->store(kWorkerParked);
}

void SerialPort::Unpark() {
  if (t_workerPlace == nullptr) return;
  for (;;) {
    int expected = kWorkerParked;
    if (t_workerPlace->compare_exchange_strong(expected, kWorkerBusy)) return;
    Sleep(1);  // a close is terminating this thread where it waited, or has found it cannot
  }
}

bool SerialPort::EndWorker(HANDLE h, std::atomic<int>& place) {
  // Not ended within the close's wait. Terminated only where it holds nothing: parked in its
  // event wait (it cannot leave it while the close holds the place) or past its loop.
  const Deadline grace(kBusyGraceMs);
  for (;;) {
    int p = place.load();
    if (p == kWorkerParked && place.compare_exchange_strong(p, kWorkerTerminating)) {
      if (TerminateThread(h, 0)) return true;
      place.store(kWorkerParked);
      return false;
    }
    if (p == kWorkerDone) return TerminateThread(h, 0) != FALSE;
    if (WaitForSingleObject(h, 10) == WAIT_OBJECT_0) return true;
    // Still busy: it is left running (its handle kept, collected by the next open) rather than
    // killed holding a lock of the library or of the runtime.
    if (grace.Expired()) return false;
  }
}

bool SerialPort::StopOne(std::atomic<HANDLE>& hThread, std::atomic<int>& place, HANDLE hEvent, DWORD waitMs,
                         bool isSelf) {
  HANDLE h = hThread.load();
  if (h == nullptr) return true;
  SetEvent(hEvent);
  if (isSelf) return true;  // the calling thread itself: handled after the others
  if (WaitForSingleObject(h, waitMs) != WAIT_OBJECT_0 && !EndWorker(h, place)) return false;
  hThread.store(nullptr);
  CloseHandle(h);
  return true;
}

bool SerialPort::StopThreads(DWORD waitMs) {
  const DWORD self = GetCurrentThreadId();
  if (!hWatchThread_ && !hReadThread_ && !hWriteThread_) return false;

  if ((dwOption_ & EN_DRAIN_ON_CLOSE) && (dwOption_ & EN_TX_BUFFER)) {
    // Let the threads send what is queued. Once the port is closed nothing can send it any
    // more, and a queue that stops shrinking for waitMs will not drain either: discard it then.
    DWORD last = TxBuffer_.Size();
    DWORD still = 0;
    while (last != 0) {
      if (!IsOpen() || still >= waitMs) {
        TxBuffer_.Clear();
        break;
      }
      Sleep(50);
      const DWORD now = TxBuffer_.Size();
      still = (now < last) ? 0 : still + 50;
      last = now;
    }
  }

  bRunning_ = false;
  if (dwOption_ & EN_OVERLAPPED_IO) SetCommMask(hComm_, 0);

  struct Worker {
    std::atomic<HANDLE>* handle;
    std::atomic<int>* place;
    HANDLE event;
    unsigned id;
  } workers[] = {{&hWatchThread_, &watchPlace_, hWatchEvent_, dwWatchThreadId_},
                 {&hReadThread_, &readPlace_, hReadEvent_, dwReadThreadId_},
                 {&hWriteThread_, &writePlace_, hWriteEvent_, dwWriteThreadId_}};
  std::atomic<HANDLE>* own = nullptr;
  for (Worker& w : workers) {
    if (w.handle->load() == nullptr) continue;
    const bool isSelf = (w.id == self);
    if (isSelf) own = w.handle;
    if (!StopOne(*w.handle, *w.place, w.event, waitMs, isSelf)) return false;
  }
  if (own != nullptr) {
    // A close run on a worker thread: that thread closes its own handle and leaves. It
    // returns from here, and every loop ends its pass at once (KeepRunning), so the thread
    // unwinds back to its entry, which ends it with exit code 1.
    HANDLE h = own->exchange(nullptr);
    if (h != nullptr) CloseHandle(h);
    t_selfStopped = this;
  }
  return true;
}

bool SerialPort::KeepRunning() const { return bRunning_ && IsOpen() && t_selfStopped != this; }

DWORD SerialPort::RunWorker(DWORD (SerialPort::*loop)(), std::atomic<int>* place) {
  place->store(kWorkerBusy);
  t_workerPlace = place;
  DWORD code = 0;
  try {
    code = (this->*loop)();
  } catch (...) {
    // No handler took the exception: the port closes and the thread ends, the process goes on.
    Close(500);
    code = 1;
  }
  if (t_selfStopped == this) {
    t_selfStopped = nullptr;
    code = 1;
  }
  t_workerPlace = nullptr;
  place->store(kWorkerDone);  // nothing of the library runs on this thread any more
  return code;
}

unsigned WINAPI SerialPort::WatchThreadEntry(void* arg) {
  SerialPort* sp = static_cast<SerialPort*>(arg);
  return sp->RunWorker(
      (sp->dwOption_ & EN_OVERLAPPED_IO) ? &SerialPort::WatchLoopOverlapped : &SerialPort::WatchLoopPolling,
      &sp->watchPlace_);
}

unsigned WINAPI SerialPort::ReadThreadEntry(void* arg) {
  SerialPort* sp = static_cast<SerialPort*>(arg);
  return sp->RunWorker(&SerialPort::ReadLoop, &sp->readPlace_);
}

unsigned WINAPI SerialPort::WriteThreadEntry(void* arg) {
  SerialPort* sp = static_cast<SerialPort*>(arg);
  return sp->RunWorker(&SerialPort::WriteLoop, &sp->writePlace_);
}

// ---------------------------------------------------------------- close

void SerialPort::Close(DWORD waitMs) {
  if (!IsOpen()) return;
  // A thread that stopped itself on this port is done with it (the port may be a new one).
  if (t_selfStopped == this) return;
  // One close at a time: a second closer (say the watch thread failing while the caller
  // closes) leaves the work to the first, which is waiting for it to end.
  if (closing_.exchange(true)) return;
  HANDLE h = hComm_.load();
  if (h != INVALID_HANDLE_VALUE) {
    if (dwOption_ & (EN_FLUSH_ON_CLOSE | EN_DRAIN_ON_CLOSE)) FlushFileBuffers(h);
    PurgeComm(h, kAllPurge);
    hComm_ = INVALID_HANDLE_VALUE;
    // A write that looked at the port before it closed may still be inside its system call on
    // the handle: abort it (each abort ends the call at once) until none is left. Writes that
    // come later find the port closed. Then the handle is closed under the write lock, so no
    // write can use it any more.
    const Deadline abortWait(kWriteAbortMs);
    while (writesInside_.load() != 0 && !abortWait.Expired()) {
      Sleep(5);
      PurgeComm(h, PURGE_TXABORT);
    }
    CsLock g(&writeLock_);
    CloseHandle(h);
  }
  StopThreads(waitMs);
  closing_ = false;
}

void SerialPort::Purge() {
  SP_ASSERT(IsOpen(), "SP_ASSERT(IsOpen()) failed; SerialPort(989); ");
  PurgeComm(hComm_, kAllPurge);
}

// ---------------------------------------------------------------- reading and writing

DWORD SerialPort::Read(LPVOID pBuffer, DWORD dwLength, DWORD waitMs) {
  SP_ASSERT(IsOpen(), "SP_ASSERT(IsOpen()) failed; SerialPort(408); ");
  if (dwLength == 0) return 0;
  HANDLE h = hComm_.load();
  DWORD errors = 0;
  COMSTAT stat;
  memset(&stat, 0, sizeof(stat));
  if (ClearCommError(h, &errors, &stat) && errors != 0) PurgeComm(h, PURGE_RXABORT);

  if (!(dwOption_ & EN_OVERLAPPED_IO)) {
    DWORD dwReadResult = 0;
    SP_ASSERT(::ReadFile(h, pBuffer, dwLength, &dwReadResult, NULL),
              "SP_ASSERT(::ReadFile(hComm_, pBuffer, dwLength, &dwReadResult, NULL)) failed; "
              "SerialPort(460); ");
    return dwReadResult;
  }

  if (waitMs == INFINITE) {
    DWORD dwReadResult = 0;
    if (!::ReadFile(h, pBuffer, dwLength, &dwReadResult, &RO_)) {
      SP_ASSERT(::GetLastError() == ERROR_IO_PENDING,
                "SP_ASSERT(::GetLastError() == ERROR_IO_PENDING) failed; SerialPort(421); ");
      SP_ASSERT(ReadOutcome(h, &RO_, &dwReadResult, TRUE),
                "SP_ASSERT(::GetOverlappedResult(hComm_, &RO_, &dwReadResult, TRUE)) failed; "
                "SerialPort(423); ");
    }
    return dwReadResult > dwLength ? dwLength : dwReadResult;
  }

  // With a time limit: what is queued at once, then one byte at a time within the limit.
  BYTE* out = static_cast<BYTE*>(pBuffer);
  const Deadline limit(waitMs);
  DWORD remaining = waitMs;
  DWORD uReadLength = stat.cbInQue < dwLength ? stat.cbInQue : dwLength;
  DWORD uReadReturn = 0;
  if (uReadLength != 0) {
    // An overlapped read may pend although the bytes are queued (Wine's always does): that is
    // no failure. It asks for no more than is queued, and the port's time-outs bound the wait.
    BOOL done = ::ReadFile(h, out, uReadLength, &uReadReturn, &RO_);
    if (!done && ::GetLastError() == ERROR_IO_PENDING) done = ReadOutcome(h, &RO_, &uReadReturn, TRUE);
    SP_ASSERT(done,
              "SP_ASSERT(::ReadFile(hComm_, pBuffer, uReadLength, &uReadReturn, &RO_)) failed; "
              "SerialPort(433); ");
    if (uReadReturn > uReadLength) uReadReturn = uReadLength;
  }
  DWORD held = uReadReturn;
  while (held < dwLength) {
    uReadReturn = 0;
    if (!::ReadFile(h, out + held, 1, &uReadReturn, &RO_)) {
      if (::GetLastError() != ERROR_IO_PENDING) break;
      if (remaining <= 5 || WaitForSingleObject(RO_.hEvent, remaining) != WAIT_OBJECT_0) {
        SP_ASSERT(::PurgeComm(h, PURGE_RXABORT),
                  "SP_ASSERT(::PurgeComm(hComm_, PURGE_RXABORT)) failed; SerialPort(449); ");
        // The aborted read owns RO_ and its byte of the caller's buffer until it has completed
        // (its own time-outs bound that): collect it, and keep a byte that came before the abort.
        uReadReturn = 0;
        if (ReadOutcome(h, &RO_, &uReadReturn, TRUE) && uReadReturn != 0) held += 1;
        break;
      }
      remaining = limit.Remaining();
      SP_ASSERT(ReadOutcome(h, &RO_, &uReadReturn, FALSE),
                "SP_ASSERT(::GetOverlappedResult(hComm_, &RO_, &uReadReturn, FALSE)) failed; "
                "SerialPort(444); ");
    }
    if (uReadReturn == 0) break;
    held += 1;
  }
  return held;
}

DWORD SerialPort::Write(LPCVOID pBuffer, DWORD dwLength) {
  SP_ASSERT(IsOpen(), "SP_ASSERT(IsOpen()) failed; SerialPort(497); ");
  if (dwLength == 0) return 0;
  // The exchange and the host relay write from two threads: one write at a time.
  CsLock guard(&writeLock_);
  // Counted before the port is looked at again, so a close either sees this write (and aborts
  // it until it leaves) or this write sees the port closed.
  struct Inside {
    std::atomic<int>& n;
    explicit Inside(std::atomic<int>& c) : n(c) { ++n; }
    ~Inside() { --n; }
  } inside(writesInside_);
  // The port may have closed while this write waited for the lock.
  SP_ASSERT(IsOpen(), "SP_ASSERT(IsOpen()) failed; SerialPort(497); ");
  HANDLE h = hComm_.load();
  DWORD errors = 0;
  COMSTAT stat;
  if (ClearCommError(h, &errors, &stat) && errors != 0) PurgeComm(h, PURGE_TXABORT);

  if (!(dwOption_ & EN_OVERLAPPED_IO)) {
    DWORD written = 0;
    if (!::WriteFile(h, pBuffer, dwLength, &written, NULL)) return written;
    return written;
  }

  DWORD written = 0;
  DWORD reason = 0;
  if (!::WriteFile(h, pBuffer, dwLength, &written, &WO_)) {
    SP_ASSERT(::GetLastError() == ERROR_IO_PENDING,
              "SP_ASSERT(::GetLastError() == ERROR_IO_PENDING) failed; SerialPort(510); ");
    // The write is waited for here, within its own time-out (10 s + 1 ms per byte) or until a
    // close aborts it: the system cancels the I/O a thread has pending when that thread ends,
    // and the exchange and the relay write from threads that may end right after (a register's
    // payment thread, a relay thread stopped by the next unit).
    if (!GetOverlappedResult(h, &WO_, &written, TRUE)) reason = GetLastError();
  }
  // The terminal takes no partial frame: a write that did not go out whole is logged. The
  // count stays the accepted length, as the callers expect of an overlapped write.
  if (written < dwLength) {
    WriteLog(KV_HERE, LOG_ERROR, "串口数据未全部发出：%lu/%lu 字节，错误码=%lu",
             static_cast<unsigned long>(written), static_cast<unsigned long>(dwLength),
             static_cast<unsigned long>(reason));
  }
  return dwLength;
}

DWORD SerialPort::ReadReceived(LPVOID pBuffer, DWORD dwLength) {
  SP_ASSERT(pBuffer, "SP_ASSERT(pBuffer) failed; SerialPort(466); ");
  if (dwOption_ & EN_RX_BUFFER) {
    ChainBuffer::Guard g(RxBuffer_);
    return RxBuffer_.Read(pBuffer, dwLength);
  }
  return Read(pBuffer, dwLength, INFINITE);
}

DWORD SerialPort::WriteFromTxBuffer(DWORD maxLength) {
  if (dwOption_ & EN_OVERLAPPED_IO) {
    ChainBuffer::Guard g(TxBuffer_);
    if (TxBuffer_.Size() == 0) return 0;
    DWORD n = TxBuffer_.FrontLength();
    if (n > maxLength) n = maxLength;
    Write(TxBuffer_.FrontData(), n);
    TxBuffer_.Read(nullptr, n);
    return n;
  }
  if (maxLength == 0) return 0;
  std::vector<BYTE> copy(maxLength);
  DWORD taken;
  {
    ChainBuffer::Guard g(TxBuffer_);
    taken = TxBuffer_.Read(copy.data(), maxLength);
  }
  DWORD sent = 0;
  while (sent < taken) {
    const DWORD w = Write(copy.data() + sent, taken - sent);
    if (w == 0) break;
    sent += w;
  }
  return taken;
}

// ---------------------------------------------------------------- port state

DWORD SerialPort::GetModemStatus() {
  SP_ASSERT(IsOpen(), "SP_ASSERT(IsOpen()) failed; SerialPort(946); ");
  DWORD status = 0;
  if (!GetCommModemStatus(hComm_, &status)) return 0;
  return status;
}

DWORD SerialPort::GetLineErrors() {
  SP_ASSERT(IsOpen(), "SP_ASSERT(IsOpen()) failed; SerialPort(995); ");
  DWORD errors = 0;
  COMSTAT stat;
  if (!ClearCommError(hComm_, &errors, &stat)) return 0;
  return errors;
}

DWORD SerialPort::GetInputQueueCount() {
  SP_ASSERT(IsOpen(), "SP_ASSERT(IsOpen()) failed; SerialPort(1003); ");
  DWORD errors = 0;
  COMSTAT stat;
  memset(&stat, 0, sizeof(stat));
  if (!ClearCommError(hComm_, &errors, &stat)) return static_cast<DWORD>(-1);
  return stat.cbInQue;
}

// ---------------------------------------------------------------- notifications and handlers

void SerialPort::PostNotification(UINT message, LPARAM lParam, bool post) {
  if (hNotifyWnd_ != nullptr && IsWindow(hNotifyWnd_)) {
    if (post) {
      PostMessageA(hNotifyWnd_, message, static_cast<WPARAM>(dwPort_), lParam);
    } else {
      SendMessageA(hNotifyWnd_, message, static_cast<WPARAM>(dwPort_), lParam);
    }
  }
  if (dwNotifyThreadId_ != 0) {
    PostThreadMessageA(dwNotifyThreadId_, message, static_cast<WPARAM>(dwPort_), lParam);
  }
}

void SerialPort::OnReceive() { PostNotification(SPN_RECEIVE, 0, true); }

void SerialPort::OnDsrChange() { PostNotification(SPN_DSR, (GetModemStatus() & MS_DSR_ON) ? 1 : 0, true); }

void SerialPort::OnCtsChange() { PostNotification(SPN_CTS, (GetModemStatus() & MS_CTS_ON) ? 1 : 0, true); }

void SerialPort::OnBreak() {
  ClearCommBreak(hComm_);
  PostNotification(SPN_BREAK, 0, true);
}

void SerialPort::OnTxEmpty() { PostNotification(SPN_TXEMPTY, 0, true); }

void SerialPort::OnLineError() {
  PostNotification(SPN_LINE_ERROR, static_cast<LPARAM>(GetLineErrors()), true);
}

void SerialPort::OnRing() { PostNotification(SPN_RING, (GetModemStatus() & MS_RING_ON) ? 1 : 0, true); }

void SerialPort::OnCarrierChange() {
  PostNotification(SPN_CARRIER, (GetModemStatus() & MS_RLSD_ON) ? 1 : 0, true);
}

void SerialPort::OnRxFlag() { PostNotification(SPN_RXFLAG, 0, true); }

void SerialPort::OnSpareEvent1() { PostNotification(SPN_SPARE1, 0, true); }

void SerialPort::OnSpareEvent2() { PostNotification(SPN_SPARE2, 0, true); }

void SerialPort::OnSpareEvent3() { PostNotification(SPN_SPARE3, 0, true); }

void SerialPort::OnSpareEvent4() { PostNotification(SPN_SPARE4, 0, true); }

void SerialPort::OnSpareEvent5() { PostNotification(SPN_SPARE5, 0, true); }

// ---------------------------------------------------------------- worker loops

void SerialPort::ReceiveStep(DWORD n, DWORD length) {
  if (n == 0) return;
  if (dwOption_ & EN_RX_BUFFER) {
    if (length != 0 && RxBuffer_.Size() < dwRxBufferLimit_) {
      ChainBuffer::Guard g(RxBuffer_);
      BYTE* room = nullptr;
      if (RxBuffer_.TailRoom() > length) {
        room = RxBuffer_.TailData();
      } else if (RxBuffer_.AddBlock(length) != nullptr) {
        room = RxBuffer_.TailData();
      }
      if (room != nullptr) {
        const DWORD got = Read(room, length, INFINITE);
        RxBuffer_.Commit(got);
      }
    }
    if (RxBuffer_.Size() >= dwNotifyThreshold_) OnReceive();
  } else if (n >= dwNotifyThreshold_) {
    OnReceive();
  }
}

void SerialPort::DispatchEvents(DWORD mask) {
  if ((mask & EV_RXCHAR) && !(dwOption_ & EN_READ_THREAD)) {
    const DWORD n = GetInputQueueCount();
    const DWORD length = (n == static_cast<DWORD>(-1)) ? 62 : 2 * n + 64;
    ReceiveStep(n, length);
  }
  if (mask & EV_TXEMPTY) {
    if ((dwOption_ & EN_TX_BUFFER) && !(dwOption_ & EN_WRITE_THREAD) && TxBuffer_.Size() != 0) {
      WriteFromTxBuffer(1024);
    }
    OnTxEmpty();
  }
  if (mask & EV_RXFLAG) OnRxFlag();
  if (mask & EV_CTS) OnCtsChange();
  if (mask & EV_DSR) OnDsrChange();
  if (mask & EV_RING) OnRing();
  if (mask & EV_RLSD) OnCarrierChange();
  if (mask & EV_BREAK) OnBreak();
  if (mask & EV_ERR) OnLineError();
}

DWORD SerialPort::WatchLoopOverlapped() {
  SP_ASSERT(IsOpen(), "SP_ASSERT(IsOpen()) failed; SerialPort(1946); ");
  SP_ASSERT(::SetCommMask(hComm_, dwWaitEvent_),
            "SP_ASSERT(::SetCommMask(hComm_, dwWaitEvent_)) failed; SerialPort(1949); ");
  while (KeepRunning()) {
    DWORD mask = 0;
    DWORD errors = 0;
    COMSTAT stat;
    memset(&stat, 0, sizeof(stat));
    HANDLE h = hComm_.load();
    if (!ClearCommError(h, &errors, &stat) || stat.cbInQue != 0) {
      mask = EV_RXCHAR;
      Sleep(10);
    } else if (!WaitCommEvent(h, &mask, &EO_)) {
      if (GetLastError() != ERROR_IO_PENDING) {
        Sleep(10);
        continue;
      }
      DWORD unused = 0;
      // Parked: a close wakes this wait; if this thread still has to be terminated, here it
      // holds nothing.
      Park();
      const BOOL done = GetOverlappedResult(h, &EO_, &unused, TRUE);
      Unpark();
      if (!done) mask = 0;
    }
    if (!KeepRunning()) break;
    if (mask != 0) {
      DispatchEvents(mask);
    } else if ((dwOption_ & EN_TX_BUFFER) && !(dwOption_ & EN_WRITE_THREAD) && TxBuffer_.Size() != 0) {
      WriteFromTxBuffer(1024);
    }
  }
  return 0;
}

DWORD SerialPort::WatchLoopPolling() {
  SP_ASSERT(IsOpen(), "SP_ASSERT(IsOpen()) failed; SerialPort(1987); ");
  while (KeepRunning()) {
    const DWORD r = WaitForSingleObject(hWatchEvent_, 50);
    if (!KeepRunning()) break;
    if (r == WAIT_OBJECT_0) {
      while ((dwOption_ & EN_TX_BUFFER) && TxBuffer_.Size() != 0 && KeepRunning()) WriteFromTxBuffer(1024);
      ResetEvent(hWatchEvent_);
    } else if (r == WAIT_TIMEOUT) {
      const DWORD n = GetInputQueueCount();
      ReceiveStep(n, n == static_cast<DWORD>(-1) ? 0 : n);
      if ((dwOption_ & EN_TX_BUFFER) && TxBuffer_.Size() != 0) WriteFromTxBuffer(1024);
    }
  }
  return 0;
}

DWORD SerialPort::ReadLoop() {
  while (KeepRunning()) {
    Sleep(50);
    if (!KeepRunning()) break;
    const DWORD n = GetInputQueueCount();
    if (n == 0) continue;
    ReceiveStep(n, n == static_cast<DWORD>(-1) ? 0 : n);
  }
  return 0;
}

DWORD SerialPort::WriteLoop() {
  SP_ASSERT(dwOption_ & EN_TX_BUFFER, "SP_ASSERT(dwOption_ & EN_TX_BUFFER) failed; SerialPort(2102); ");
  while (KeepRunning()) {
    const DWORD r = WaitForSingleObject(hWriteEvent_, 200);
    while (bRunning_ && t_selfStopped != this && TxBuffer_.Size() != 0) WriteFromTxBuffer(1024);
    if (r == WAIT_OBJECT_0) ResetEvent(hWriteEvent_);
  }
  return 0;
}
