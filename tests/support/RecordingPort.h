// A serial port object that records what OnReceive delivers, with switches for the receive and
// dispatch paths' failures. Plain C++ and the Win32 names only, so the pseudo-terminal suites and the
// Windows suite (no pseudo-terminals there) share it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "serial/SerialPort.h"

// A port that collects what OnReceive delivers and, like the transaction engine, closes
// itself when dispatching fails.
class RecordingPort : public SerialPort {
 public:
  explicit RecordingPort(DWORD options = EN_WATCH_THREAD | EN_OVERLAPPED_IO | EN_RX_BUFFER)
      : SerialPort(options) {}
  // The port closes before this object's members go: the watch thread calls into them.
  ~RecordingPort() override { Close(500); }

  void OnReceive() override {
    if (keepReceived_) {  // leave the bytes in RxBuffer_
      receiveCalls_++;
      return;
    }
    BYTE chunk[4096];
    bool close = false;
    {
      std::lock_guard<std::mutex> g(m_);
      std::vector<BYTE> call;
      for (;;) {
        const DWORD n = ReadReceived(chunk, 4095);
        if (n == 0) break;
        call.insert(call.end(), chunk, chunk + n);
      }
      if (!call.empty()) {
        calls_.push_back(call);
        bytes_.insert(bytes_.end(), call.begin(), call.end());
        lastDelivery_ = std::chrono::steady_clock::now();
      }
      close = closeInReceive_ && !call.empty();
      if (throwInReceive_ && !call.empty()) {
        cv_.notify_all();
        throw std::runtime_error("receive failed");
      }
    }
    cv_.notify_all();
    if (close) {
      Close(500);
      std::lock_guard<std::mutex> g(m_);
      closedInReceive_ = true;
      watchAfterClose_ = hWatchThread_.load();
      cv_.notify_all();
    }
  }

  void DispatchEvents(DWORD mask) override {
    if (!catchInDispatch_) {
      SerialPort::DispatchEvents(mask);
      return;
    }
    try {
      SerialPort::DispatchEvents(mask);
    } catch (const std::exception& e) {
      {
        std::lock_guard<std::mutex> g(m_);
        failure_ = e.what();
      }
      Close(500);
      cv_.notify_all();
    }
  }

  DWORD WatchLoopOverlapped() override {
    loopsStarted_++;
    const DWORD r = SerialPort::WatchLoopOverlapped();
    loopsEnded_++;  // not reached by a thread that had to be terminated
    return r;
  }

  // Waits until `n` bytes were delivered in all; false after `ms`.
  bool WaitBytes(size_t n, int ms) {
    std::unique_lock<std::mutex> lk(m_);
    return cv_.wait_for(lk, std::chrono::milliseconds(ms), [&] { return bytes_.size() >= n; });
  }
  template <typename P>
  bool WaitFor(P pred, int ms) {
    std::unique_lock<std::mutex> lk(m_);
    return cv_.wait_for(lk, std::chrono::milliseconds(ms), pred);
  }
  // Polls a condition that does not go through OnReceive (such as the port closing).
  template <typename P>
  static bool Eventually(P pred, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
      if (std::chrono::steady_clock::now() > end) return false;
      Sleep(5);
    }
    return true;
  }

  std::vector<BYTE> Bytes() {
    std::lock_guard<std::mutex> g(m_);
    return bytes_;
  }
  std::vector<std::vector<BYTE>> Calls() {
    std::lock_guard<std::mutex> g(m_);
    return calls_;
  }
  std::chrono::steady_clock::time_point LastDelivery() {
    std::lock_guard<std::mutex> g(m_);
    return lastDelivery_;
  }
  std::string Failure() {
    std::lock_guard<std::mutex> g(m_);
    return failure_;
  }

  HANDLE WatchThread() const { return hWatchThread_.load(); }
  HANDLE Comm() const { return hComm_.load(); }
  ChainBuffer& Tx() { return TxBuffer_; }
  ChainBuffer& Rx() { return RxBuffer_; }
  void SetRxLimit(DWORD limit) { dwRxBufferLimit_ = limit; }
  std::atomic<int> receiveCalls_{0};
  // Runs of the overlapped watch loop begun and ended.
  std::atomic<int> loopsStarted_{0};
  std::atomic<int> loopsEnded_{0};
  bool keepReceived_ = false;

  std::mutex m_;
  std::condition_variable cv_;
  bool closeInReceive_ = false;
  bool throwInReceive_ = false;
  bool catchInDispatch_ = true;
  bool closedInReceive_ = false;
  HANDLE watchAfterClose_ = reinterpret_cast<HANDLE>(1);

 private:
  std::vector<BYTE> bytes_;
  std::vector<std::vector<BYTE>> calls_;
  std::chrono::steady_clock::time_point lastDelivery_{};
  std::string failure_;
};
