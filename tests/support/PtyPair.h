// Opening a pseudo-terminal for a test: the master, grant, unlock, the slave's path, one slave
// descriptor of the test's own, both ends raw. Apart from pty_port.h so that a test with its own
// terminal on the master (the engine's scripted terminal) opens the line the same way without the
// serial port's helpers. POSIX only.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <string>

// Owns both ends. The slave descriptor held here keeps the line alive across the library's close
// and reopen of the path. ok() is false when any step failed; what did open is still released.
class PtyPair {
 public:
  PtyPair() { Open(); }
  ~PtyPair() {
    if (slave_ >= 0) close(slave_);
    CloseMaster();
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return master_ >= 0 && slave_ >= 0; }
  int master() const { return master_; }
  int slave() const { return slave_; }
  // Empty when the slave's name could not be had.
  const std::string& path() const { return path_; }

  void CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

 private:
  static void MakeRaw(int fd) {
    termios t;
    if (tcgetattr(fd, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(fd, TCSANOW, &t);
    }
  }

  void Open() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    const char* name = ptsname(master_);
    if (name == nullptr) return;
    path_ = name;
    slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    // Raw through both ends, so the test sees the bytes exactly whichever end a system's
    // terminal settings belong to.
    MakeRaw(master_);
    if (slave_ >= 0) MakeRaw(slave_);
  }

  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};
