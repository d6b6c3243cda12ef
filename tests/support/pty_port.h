// A pseudo-terminal standing in for the card terminal's cable, and a port object that
// records what it receives.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "SerialTexts.h"
#include "serial/SerialPort.h"

// The master side belongs to the test. One slave descriptor stays open in the test, so the
// line survives the library's close and reopen. KORVESSA_COM<n> points at the slave.
class Pty {
 public:
  explicit Pty(int comNumber) : com_(comNumber) { Create(); }
  ~Pty() {
    CloseMaster();
    if (slave_ >= 0) close(slave_);
    unsetenv(Var().c_str());
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool ok() const { return master_ >= 0 && slave_ >= 0; }
  int master() const { return master_; }
  int slave() const { return slave_; }
  const std::string& path() const { return path_; }

  void CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

  void Send(const std::vector<BYTE>& bytes) const {
    size_t at = 0;
    while (at < bytes.size()) {
      ssize_t n = write(master_, bytes.data() + at, bytes.size() - at);
      if (n <= 0) return;
      at += static_cast<size_t>(n);
    }
  }

  // Reads from the master until `n` bytes came or `ms` passed.
  std::vector<BYTE> Receive(size_t n, int ms) const {
    std::vector<BYTE> out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (out.size() < n) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      BYTE buf[4096];
      ssize_t got = read(master_, buf, sizeof(buf));
      if (got <= 0) break;
      out.insert(out.end(), buf, buf + got);
    }
    return out;
  }

 private:
  std::string Var() const { return "KORVESSA_COM" + std::to_string(com_); }

  void Create() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    const char* name = ptsname(master_);
    if (name == nullptr) return;
    path_ = name;
    slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    // The master side raw as well, so the test sees the bytes exactly.
    termios t;
    if (tcgetattr(master_, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(master_, TCSANOW, &t);
    }
    setenv(Var().c_str(), path_.c_str(), 1);
  }

  int com_;
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

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
