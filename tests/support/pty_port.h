// A pseudo-terminal standing in for the card terminal's cable; with it come the port object that
// records what it receives (RecordingPort.h) and the texts the serial tests compare (SerialTexts.h).
#pragma once

#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "PtyPair.h"
#include "RecordingPort.h"
#include "SerialTexts.h"
#include "serial/SerialPort.h"

// The master side belongs to the test. One slave descriptor stays open in the test, so the
// line survives the library's close and reopen. KORVESSA_COM<n> points at the slave.
class Pty {
 public:
  explicit Pty(int comNumber) : com_(comNumber) {
    if (!pair_.path().empty()) setenv(Var().c_str(), pair_.path().c_str(), 1);
  }
  ~Pty() {
    CloseMaster();  // the master first, then the pair releases the slave
    unsetenv(Var().c_str());
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool ok() const { return pair_.ok(); }
  int master() const { return pair_.master(); }
  int slave() const { return pair_.slave(); }
  const std::string& path() const { return pair_.path(); }

  void CloseMaster() { pair_.CloseMaster(); }

  void Send(const std::vector<BYTE>& bytes) const {
    size_t at = 0;
    while (at < bytes.size()) {
      ssize_t n = write(master(), bytes.data() + at, bytes.size() - at);
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
      pollfd p{master(), POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      BYTE buf[4096];
      ssize_t got = read(master(), buf, sizeof(buf));
      if (got <= 0) break;
      out.insert(out.end(), buf, buf + got);
    }
    return out;
  }

 private:
  std::string Var() const { return "KORVESSA_COM" + std::to_string(com_); }

  int com_;
  PtyPair pair_;
};
