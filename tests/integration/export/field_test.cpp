// Conditions of a shop's machine that no transaction names: a folder named in Chinese, a module
// path longer than the path buffers, signals on every thread, a child forked without exec.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "e2e_harness.h"

namespace e2e {
namespace {

// "收银台" in UTF-8 (nine bytes: an odd count of bytes above 0x7F).
const char kCashDesk[] = "\xE6\x94\xB6\xE9\x93\xB6\xE5\x8F\xB0";

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::set<int> OpenDescriptors() {
  std::set<int> fds;
  DIR* d = opendir("/proc/self/fd");
  while (d != nullptr) {
    struct dirent* e = readdir(d);
    if (e == nullptr) break;
    if (e->d_name[0] != '.' && atoi(e->d_name) != dirfd(d)) fds.insert(atoi(e->d_name));
  }
  if (d != nullptr) closedir(d);
  return fds;
}

// A copy of the library (and, when given, Config.ini) in folder `dir`, made with its parents.
std::string CopyLibraryTo(const std::string& dir, const std::string& config) {
  for (size_t at = 1; at != std::string::npos; at = dir.find('/', at + 1))
    mkdir(dir.substr(0, at).c_str(), 0777);
  mkdir(dir.c_str(), 0777);
  WriteFile(dir + "/libKorvessaDLL.so", ReadFile(KV_LIBRARY_FILE));
  if (!config.empty()) WriteFile(dir + "/Config.ini", config);
  return dir + "/libKorvessaDLL.so";
}

// Sends SIGCHLD, caught by a handler installed without SA_RESTART, to every thread of the process
// every millisecond, as a cash register's runtime does with its children and timers. Threads
// started while it is made (the terminal's, the host's: not the library's) take none.
class SignalStorm {
 public:
  SignalStorm() {
    struct sigaction sa = {};
    sa.sa_handler = [](int) { ++caught_; };
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: an interrupted call fails with EINTR
    sigaction(SIGCHLD, &sa, &old_);
    thread_ = std::thread([this] {
      while (!stop_) {
        DIR* d = opendir("/proc/self/task");
        while (struct dirent* e = d ? readdir(d) : nullptr) {
          if (e->d_name[0] != '.') syscall(SYS_tgkill, getpid(), atoi(e->d_name), SIGCHLD);
        }
        if (d) closedir(d);
        usleep(1000);
      }
    });
  }
  ~SignalStorm() {
    stop_ = true;
    thread_.join();
    sigaction(SIGCHLD, &old_, nullptr);
  }
  static int caught() { return caught_; }
  // Runs `fn` with SIGCHLD blocked, so that the threads it starts are spared.
  template <typename Fn>
  static void Spared(Fn fn) {
    sigset_t set, old;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &set, &old);
    fn();
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  }

 private:
  static std::atomic<int> caught_;
  struct sigaction old_ = {};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};
std::atomic<int> SignalStorm::caught_{0};

// The terminal (and any host) runs on threads that take no signal: only the library's threads and
// the register's calling thread are in the storm.
class FieldTest : public E2eTest {
 protected:
  void SetUp() override {
    SignalStorm::Spared([this] { E2eTest::SetUp(); });
  }
};

TEST_F(FieldTest, LibraryInAFolderNamedInChinese) {
  const std::string desk = dir_ + "/" + kCashDesk;
  Ini ini = DefaultIni();
  ini.Set("DEBUG_LOG", "DebugLog", "4");  // an approval logs its frames
  const std::string lib = CopyLibraryTo(desk, ini.Text());
  ASSERT_EQ(0, chdir(desk.c_str()));
  Unload();
  Load(lib);
  term_.SetJournalCheck(desk + "/Journal");
  ASSERT_EQ(0, Run(FullRequest("30"), nullptr));
  EXPECT_TRUE(Exists(desk + "/print.txt"));
  EXPECT_EQ(2u, JournalLines(desk).size());  // SENT and APPROVED, beside the library
  EXPECT_TRUE(Exists(desk + "/Log"));
  EXPECT_FALSE(Exists(dir_ + "/Journal"));
  EXPECT_FALSE(Exists(dir_ + "/Log"));
}

TEST_F(FieldTest, ModulePathLongerThanThePathBuffersFailsTheCall) {
  // The current folder holds a Config.ini that would work: the library must not take it.
  std::string deep = dir_;
  while (deep.size() < 300) deep += "/" + std::string(60, 'd');
  const std::string lib = CopyLibraryTo(deep, ini_.Text());
  Unload();
  Load(lib);
  EXPECT_EQ(KORVESSA_ERR_OPEN, Run(FullRequest("30"), nullptr));
  EXPECT_TRUE(Requests().empty());
  EXPECT_NE(std::string::npos, Log().find("取不到库文件所在的文件夹")) << Log();
  EXPECT_NE(std::string::npos, Log().find(std::string(60, 'd')));
  EXPECT_STREQ("", getValue_("configFile"));  // never the current folder's Config.ini
}

TEST_F(FieldTest, SignalsOnEveryThreadCutNeitherTheRelayNorTheExchange) {
  Host* host = nullptr;
  SignalStorm::Spared([&] { host = new Host(800); });  // the bank host answers after 0.8 s
  std::unique_ptr<Host> owner(host);
  ASSERT_NE(0, host->port());
  Ini ini = DefaultIni();
  ini.Set("TCP", "TradeTimeOut", "5");
  WriteConfig(ini);
  posterm::RelayUnit unit;
  unit.host = "127.0.0.1";
  unit.port = std::to_string(host->port());
  unit.payload = {'p', 'a', 'y'};
  unit.timeoutMs = 4000;
  for (const bool relay : {true, false}) {
    SCOPED_TRACE(relay ? "relay unit" : "serial exchange");
    posterm::Scenario s = FixedScenario();
    if (relay) s.trans.relay = {unit};
    s.trans.delayMs = relay ? 0 : 800;  // the terminal's answer comes late
    term_.SetScenario(s);
    term_.ClearRecords();
    const int before = SignalStorm::caught();
    {
      SignalStorm storm;
      EXPECT_EQ(0, Run(FullRequest("30"), nullptr));
    }
    EXPECT_GT(SignalStorm::caught(), before + 100);
    ASSERT_EQ(relay ? 1u : 0u, term_.RelayResults().size());
    if (relay) {
      EXPECT_TRUE(term_.RelayResults()[0].ok) << term_.RelayResults()[0].error;
    }
  }
  EXPECT_EQ(1, host->peerCloexec());  // the relay's socket is not inherited by a program started
}

TEST_F(FieldTest, ForkedChildHoldsNeitherThePortNorItsLock) {
  const std::set<int> before = OpenDescriptors();
  ASSERT_EQ(0, Run(FullRequest("30"), nullptr));  // the port stays open
  for (int fd : OpenDescriptors()) {
    if (before.count(fd) == 0) {
      EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << "descriptor " << fd;
    }
  }
  int gate[2];
  ASSERT_EQ(0, pipe2(gate, O_CLOEXEC));
  const pid_t child = fork();  // a helper without exec, as Python's multiprocessing makes one
  if (child == 0) {
    char c;
    close(gate[1]);
    ssize_t n = read(gate[0], &c, 1);  // until the parent is done
    _exit(n < 0 ? 1 : 0);
  }
  ASSERT_GT(child, 0);
  close(gate[0]);
  posterm::Scenario silent = FixedScenario();
  silent.trans.end = posterm::Step::End::kSilence;
  term_.SetScenario(silent);
  EXPECT_EQ(KORVESSA_ERR_TIMEOUT, Run(FullRequest("30"), nullptr));  // closes the port
  term_.SetScenario(FixedScenario());
  EXPECT_EQ(0, Run(FullRequest("30"), nullptr));  // and reopens it while the child lives
  int status = 0;
  EXPECT_EQ(0, waitpid(child, &status, WNOHANG));
  close(gate[1]);
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace e2e
