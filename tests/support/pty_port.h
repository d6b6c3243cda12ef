// A pseudo-terminal standing in for the card terminal's cable; with it come the port object that
// records what it receives (RecordingPort.h) and the texts the serial tests compare (SerialTexts.h).
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

#include "RecordingPort.h"
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
