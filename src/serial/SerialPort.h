// SerialPort: one serial port with its settings, worker threads, chained buffers and
// overlapped records. Failed preconditions and refused system calls raise SP_ASSERT
// exceptions (std::runtime_error); the class itself catches nothing, except that an
// exception no handler took ends its worker thread and closes the port.
#pragma once

#include <atomic>
#include <vector>

#include "platform/platform.h"
#include "serial/ChainBuffer.h"
#include "serial/SpAssert.h"

// Option word bits.
enum : DWORD {
  EN_WATCH_THREAD = 0x0001,     // BeginThread starts the watch thread
  EN_OVERLAPPED_IO = 0x0002,    // overlapped reads, writes and event waits
  EN_RX_BUFFER = 0x0004,        // received bytes are collected in RxBuffer_ before OnReceive
  EN_TX_BUFFER = 0x0008,        // bytes to send are queued in TxBuffer_ and sent by the threads
  EN_READ_THREAD = 0x0010,      // BeginThread starts the read thread
  EN_WRITE_THREAD = 0x0020,     // BeginThread starts the write thread
  EN_START_SUSPENDED = 0x0040,  // worker threads are created suspended
  EN_HIGH_PRIORITY = 0x0080,    // worker threads run at above-normal priority
  EN_FLUSH_ON_CLOSE = 0x0100,   // Close flushes the system buffers before purging
  EN_DRAIN_ON_CLOSE = 0x0200,   // as EN_FLUSH_ON_CLOSE; StopThreads first lets TxBuffer_ drain
};

// Notification messages (first parameter: the port number).
enum : UINT {
  SPN_RECEIVE = WM_USER + 618,
  SPN_CTS = WM_USER + 619,
  SPN_DSR = WM_USER + 620,
  SPN_RING = WM_USER + 621,
  SPN_CARRIER = WM_USER + 622,
  SPN_BREAK = WM_USER + 623,
  SPN_TXEMPTY = WM_USER + 624,
  SPN_LINE_ERROR = WM_USER + 625,
  SPN_RXFLAG = WM_USER + 626,
  SPN_SPARE1 = WM_USER + 627,
  SPN_SPARE3 = WM_USER + 628,
  SPN_SPARE4 = WM_USER + 629,
  SPN_SPARE2 = WM_USER + 630,
  SPN_SPARE5 = WM_USER + 631,
};

// Comm events the watch thread listens for: RXCHAR TXEMPTY CTS DSR RLSD BREAK ERR RING.
constexpr DWORD kSerialWaitEvents = 0x1FD;

class SerialPort {
 public:
  explicit SerialPort(DWORD dwOption = 0);
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // ---- virtual operations, in their fixed order
  virtual ~SerialPort();
  // Flush (with EN_FLUSH_ON_CLOSE/EN_DRAIN_ON_CLOSE), purge, close the handle, stop the threads.
  // waitMs bounds each wait for a thread. Raises nothing.
  virtual void Close(DWORD waitMs);
  virtual void InitObject();
  virtual void DestroyObject();
  virtual bool OpenPort();
  virtual bool SetupPort();
  virtual void PostNotification(UINT message, LPARAM lParam, bool post);
  virtual void OnReceive();
  virtual void OnDsrChange();
  virtual void OnCtsChange();
  virtual void OnBreak();
  virtual void OnTxEmpty();
  virtual void OnLineError();
  virtual void OnRing();
  virtual void OnCarrierChange();
  virtual void OnRxFlag();
  virtual void OnSpareEvent1();
  virtual void OnSpareEvent2();
  virtual void OnSpareEvent3();
  virtual void OnSpareEvent4();
  virtual void OnSpareEvent5();
  virtual void DispatchEvents(DWORD mask);
  virtual DWORD WatchLoopOverlapped();
  virtual DWORD WatchLoopPolling();
  virtual DWORD ReadLoop();
  virtual DWORD WriteLoop();

  // ---- open and close
  bool IsOpen() const { return hComm_.load() != INVALID_HANDLE_VALUE; }
  // The whole open sequence; raises SP_ASSERT on every failure, never returns false.
  bool Open(DWORD dwPort, DWORD dwBaudRate, BYTE btParity, BYTE btByteSize, BYTE btStopBits);
  bool SetState(DWORD dwBaudRate, BYTE btParity, BYTE btByteSize, BYTE btStopBits);
  bool BeginThread(DWORD extraOptions = 0);
  bool StopThreads(DWORD waitMs);
  void Purge();

  // ---- reading and writing
  // waitMs INFINITE: no time limit beyond the port's own time-outs.
  DWORD Read(LPVOID pBuffer, DWORD dwLength, DWORD waitMs = INFINITE);
  // Serialised between threads. In overlapped mode it returns the whole length, once the system
  // has finished with the bytes (a write that did not go out whole is logged), so the caller may
  // release them as soon as Write returns.
  DWORD Write(LPCVOID pBuffer, DWORD dwLength);
  DWORD ReadReceived(LPVOID pBuffer, DWORD dwLength);
  DWORD WriteFromTxBuffer(DWORD maxLength);

  // ---- port state
  DWORD GetModemStatus();
  DWORD GetLineErrors();
  // Bytes in the system's input queue, or (DWORD)-1 when it cannot be read.
  DWORD GetInputQueueCount();

  DWORD GetOption() const { return dwOption_; }
  DWORD GetPort() const { return dwPort_; }
  const char* GetName() const { return szName_; }
  // A device path that OpenPort opens instead of szName_ (the Linux [COM] Device); null or
  // empty: szName_. Kept up to MAX_PATH characters, which the platform refuses as too long.
  void SetDevicePath(const char* path);

 protected:
  static unsigned WINAPI WatchThreadEntry(void* arg);
  static unsigned WINAPI ReadThreadEntry(void* arg);
  static unsigned WINAPI WriteThreadEntry(void* arg);

  // The receive step with a read of up to `length` bytes (n: the queued count).
  void ReceiveStep(DWORD n, DWORD length);
  // The loops' run condition: running, port open, and this thread not stopped by itself.
  bool KeepRunning() const;

  // RxBuffer_ takes no more bytes from the port while it holds this many: with an OnReceive
  // that does not take them, received data waits in the system's queue instead of growing
  // the buffer without bound.
  DWORD dwRxBufferLimit_ = 1024 * 1024;

  DWORD dwOption_;
  std::atomic<HANDLE> hComm_;
  DWORD dwPort_;
  char szName_[64];
  char szDevice_[MAX_PATH + 1];
  DCB DCB_;
  COMMTIMEOUTS CO_;
  ChainBuffer RxBuffer_;
  ChainBuffer TxBuffer_;
  std::atomic<bool> bRunning_;
  DWORD dwWaitEvent_;
  std::atomic<HANDLE> hWatchThread_;
  unsigned dwWatchThreadId_;
  HANDLE hWatchEvent_;
  std::atomic<HANDLE> hReadThread_;
  unsigned dwReadThreadId_;
  HANDLE hReadEvent_;
  std::atomic<HANDLE> hWriteThread_;
  unsigned dwWriteThreadId_;
  HANDLE hWriteEvent_;
  HWND hNotifyWnd_;
  DWORD dwNotifyThreadId_;
  DWORD dwNotifyThreshold_;
  OVERLAPPED RO_;
  OVERLAPPED WO_;
  OVERLAPPED EO_;

 private:
  DWORD RunWorker(DWORD (SerialPort::*loop)(), std::atomic<int>* place);
  // Stops (waits for, closes and clears) one worker thread; false if it could not be stopped.
  bool StopOne(std::atomic<HANDLE>& hThread, std::atomic<int>& place, HANDLE hEvent, DWORD waitMs,
               bool isSelf);
  // A worker that did not end within the close's wait: terminated where it holds nothing, else
  // given a bounded grace to end. False when it is left running.
  bool EndWorker(HANDLE h, std::atomic<int>& place);
  // Closes the handles of worker threads that have already ended.
  void ReapEndedThreads();

  // Where a worker thread stands, for a close that has to end it. Only a thread parked in its
  // wait for the port's events, or one that has left its loop, holds no lock of the library and
  // is not inside the runtime: only such a thread may be terminated.
  enum WorkerPlace : int { kWorkerBusy, kWorkerParked, kWorkerTerminating, kWorkerDone };
  // The worker of the calling thread parks in / leaves its event wait.
  void Park();
  void Unpark();

  // Serialises Write between threads (they share WO_).
  CRITICAL_SECTION writeLock_;
  // Writes between their check that the port is open and the end of their system call: a close
  // keeps aborting them until none is left, then closes the handle under writeLock_.
  std::atomic<int> writesInside_{0};
  std::atomic<bool> closing_{false};
  std::atomic<int> watchPlace_{kWorkerBusy};
  std::atomic<int> readPlace_{kWorkerBusy};
  std::atomic<int> writePlace_{kWorkerBusy};
};
