// End-to-end harness: a fresh directory with a copy of the built library and its Config.ini (also the
// current directory), the simulated terminal on a new pseudo-terminal named by KORVESSA_COM7, and the
// library loaded with dlopen like a cash register loads it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "KorvessaDLL.h"
#include "Terminal.h"
#include "loopback_host.h"

namespace e2e {

using posterm::Bytes;

// A Config.ini built section by section, in order.
class Ini {
 public:
  void Set(const std::string& section, const std::string& key, const std::string& value);
  void Remove(const std::string& section, const std::string& key);
  std::string Text() const;

 private:
  std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> sections_;
};

// The configuration the tests start from: port 7, short time-outs, names for the types in use,
// explanations, and the full twenty-line receipt template.
Ini DefaultIni();

// A request record with every field distinct, so that any misplaced copy shows.
std::string FullRequest(const std::string& type);

// The response record that the answer content must give for the request (the mapping, written
// independently of the library): spaces, the mapped content bytes (spaces where the content is short),
// and the request's last three bytes.
std::string ExpectedResponse(const Bytes& content, const std::string& request);

// Reads a whole file; "" when it cannot.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);
// Occurrences of `what` in `text`, not overlapping.
int CountOf(const std::string& text, const std::string& what);
// A port on 127.0.0.1 where nothing listens: a connect is refused.
int RefusingPort();

// Today's journal lines in folder dir + "/Journal", each split at its tabs (line ends checked as CR LF).
std::vector<std::vector<std::string>> JournalLines(const std::string& dir);

class E2eTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Rewrites Config.ini, with a modification time distinct from any earlier one so that the library's
  // cached tables reload.
  void WriteConfig(const Ini& ini);
  // Loads the library copy (SetUp does it; tests of load behaviour may call it again after Unload),
  // or the copy at `path`.
  void Load(const std::string& path = "");
  void Unload();

  // BankTrans on a request, the response starting as 161 '#' bytes; the request is checked unchanged.
  int Run(const std::string& request, std::string* response);
  std::string Log() const;  // every log file of the library, concatenated
  std::string Dir() const { return dir_; }
  // Number of this process's descriptors open on the terminal's line (ours is one).
  int LineDescriptors() const;
  static int DescriptorsNamed(const std::string& path);
  // The frames the terminal received, valid ones only.
  std::vector<posterm::Frame> Requests() const;

  posterm::Terminal term_;
  Ini ini_;
  std::string dir_;
  std::string oldCwd_;
  void* lib_ = nullptr;
  PFN_BankTrans bankTrans_ = nullptr;
  PFN_PutValue putValue_ = nullptr;
  PFN_TransProcess transProcess_ = nullptr;
  PFN_GetValue getValue_ = nullptr;
  long configStamp_ = 0;
  bool checkJournal_ = true;  // false in tests that disable or break the journal
};

// "YYYYMMDD"/"hhmmss" fields fixed in answers so that the expectations are exact.
posterm::Scenario FixedScenario();

// Checks that the first frame is a handshake with a fresh 6-digit identifier, exactly as encoded by the
// terminal's own codec, and returns that identifier.
std::string CheckHandshake(const posterm::Frame& f);

// A host whose connect neither succeeds nor fails: a listener with a full accept queue.
class HangingHost {
 public:
  HangingHost() {
    ls_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(ls_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(ls_, 0) != 0) return;
    socklen_t len = sizeof a;
    getsockname(ls_, reinterpret_cast<sockaddr*>(&a), &len);
    filler_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(filler_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) port_ = ntohs(a.sin_port);
  }
  ~HangingHost() {
    close(filler_);
    close(ls_);
  }
  int port() const { return port_; }

 private:
  int ls_ = -1;
  int filler_ = -1;
  int port_ = 0;
};

}  // namespace e2e
