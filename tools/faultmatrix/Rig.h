// The test rig of the fault matrix, the soak and the benchmarks: the built library copied into a fresh
// folder with its Config.ini and loaded with dlopen like a cash register loads it, the simulated terminal
// in this process on a new pseudo-terminal, simulated bank hosts as child processes, and the process's
// own resource counts.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "KorvessaDLL.h"
#include "Terminal.h"
#include "EndToEnd.h"

namespace rig {

// A bankhost child process with its options; port() is the port it listens on.
class Host {
 public:
  Host() = default;
  ~Host() { Stop(); }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;
  bool Start(const std::string& program, const std::string& options, std::string* err);
  void Stop();
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int port_ = 0;
};

struct Resources {
  int fds = 0;
  int threads = 0;
  long rssKiB = 0;
};
Resources Measure();

// Replaces every "{port}" in text.
std::string WithPort(std::string text, int port);
double NowMs();  // monotonic clock

class Library {
 public:
  // dir: a fresh folder is made when empty. Writes Config.ini from ini and copies the library there.
  bool Prepare(const std::string& libraryFile, const e2e::Ini& ini, std::string* err);
  bool Load(std::string* err);
  void Unload();
  bool Mapped() const;  // the library copy is still mapped into the process
  void WriteConfig(const e2e::Ini& ini);
  // BankTrans with the response starting as 161 '#'; *ms: the call's duration.
  int Call(const std::string& request, std::string* response, double* ms);
  std::string Dir() const { return dir_; }
  std::string LogText() const;  // every log file, concatenated
  void RemoveDir();

 private:
  std::string dir_;
  void* lib_ = nullptr;
  PFN_BankTrans bankTrans_ = nullptr;
  long stamp_ = 0;
};

// The terminal of the rig on its own pseudo-terminal, named by KORVESSA_COM7.
bool StartTerminal(posterm::Terminal* term, std::string* err);
// Points KORVESSA_COM7 at the terminal's present line (a hang-up opens a new one).
void FollowLine(const posterm::Terminal& term);

// The configuration of the rig: e2e's, with TradeTimeOut and ConnTimeOut as given.
e2e::Ini RigIni(int tradeTimeOut, int connTimeOut);

}  // namespace rig
