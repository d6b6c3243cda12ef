// The programs as scripts use them: posterm started on a new pseudo-terminal, korvessa loading the
// library copy, their output lines and exit codes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_harness.h"

namespace e2e {
namespace {

struct Child {
  pid_t pid = -1;
  int out = -1;  // the child's stdout
  int in = -1;   // the child's stdin, when asked for
  std::string text;

  // Reads the child's output until it contains what, or the time is up.
  bool ReadUntil(const std::string& what, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (text.find(what) == std::string::npos) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
              .count();
      if (left <= 0) return false;
      struct pollfd p = {out, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buf[4096];
      const ssize_t n = read(out, buf, sizeof buf);
      if (n <= 0) return text.find(what) != std::string::npos;
      text.append(buf, static_cast<size_t>(n));
    }
    return true;
  }
  // Waits for the exit (bounded); returns the exit status, or -1.
  int Wait(int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int st = 0;
    for (;;) {
      const pid_t r = waitpid(pid, &st, WNOHANG);
      if (r == pid) break;
      ReadUntil("\x01", 20);  // drain output while waiting
      if (std::chrono::steady_clock::now() > end) {
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
        pid = -1;
        return -1;
      }
    }
    pid = -1;
    ReadUntil("\x01", 50);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  ~Child() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (out >= 0) close(out);
    if (in >= 0) close(in);
  }
};

void Spawn(Child* c, const std::vector<std::string>& args, bool withStdin = false) {
  int p[2];
  int q[2] = {-1, -1};
  ASSERT_EQ(0, pipe2(p, O_CLOEXEC));
  if (withStdin) {
    ASSERT_EQ(0, pipe2(q, O_CLOEXEC));
  }
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  c->pid = fork();
  ASSERT_GE(c->pid, 0);
  if (c->pid == 0) {
    dup2(p[1], 1);
    dup2(p[1], 2);
    if (withStdin) dup2(q[0], 0);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(p[1]);
  c->out = p[0];
  if (withStdin) {
    close(q[0]);
    c->in = q[1];
  }
}

class ProgramsTest : public E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    Unload();  // korvessa loads its own copy
    term_.Stop();
  }
  // Starts posterm with these options and points KORVESSA_COM7 at its line.
  void StartTerminal(std::vector<std::string> opts) {
    opts.insert(opts.begin(), KV_POSTERM_FILE);
    opts.push_back("--log");
    opts.push_back(Dir() + "/posterm.log");
    Spawn(&posterm_, opts);
    ASSERT_TRUE(posterm_.ReadUntil("\n", 5000)) << posterm_.text;
    ASSERT_EQ(0u, posterm_.text.find("READY /dev/pts/")) << posterm_.text;
    const std::string path = posterm_.text.substr(6, posterm_.text.find('\n') - 6);
    setenv("KORVESSA_COM7", path.c_str(), 1);
  }
  int Korvessa(std::vector<std::string> opts, std::string* out) {
    opts.insert(opts.begin(),
                {KV_KORVESSA_FILE, "--lib", Dir() + "/libKorvessaDLL.so", "--encoding", "UTF-8"});
    Child k;
    Spawn(&k, opts);
    const int st = k.Wait(15000);
    *out = k.text;
    return st;
  }
  Child posterm_;
};

TEST_F(ProgramsTest, PurchaseApprovedThroughBothPrograms) {
  StartTerminal({"--field", "date=20261208", "--field", "time=143015"});
  std::string out;
  ASSERT_EQ(0, Korvessa({"--type", "30", "--amount", "123.45", "--reserved", "XYZ"}, &out)) << out;
  EXPECT_EQ(0u, out.find("Result: 0 (approved)\n")) << out;
  EXPECT_NE(std::string::npos, out.find("  amount            = \"000000012345\"\n")) << out;
  EXPECT_NE(std::string::npos, out.find("  transDate         = \"20261208\"\n")) << out;
  EXPECT_NE(std::string::npos, out.find("  reserved          = \"XYZ\"\n")) << out;
  EXPECT_NE(std::string::npos, out.find(u8"Explanation: 交易成功\n")) << out;
  EXPECT_NE(std::string::npos, out.find(u8"金额:RMB 123.45 100%\n")) << out;
  EXPECT_NE(std::string::npos, out.find(u8"交易类型:消费|\n")) << out;
  ASSERT_TRUE(posterm_.ReadUntil("ANSWER 31 code=00\n", 3000)) << posterm_.text;
  EXPECT_NE(std::string::npos, posterm_.text.find("REQUEST C000 id="));
  EXPECT_NE(std::string::npos, posterm_.text.find("REQUEST A030 id="));
  kill(posterm_.pid, SIGTERM);
  EXPECT_EQ(0, posterm_.Wait(5000));
  EXPECT_NE(std::string::npos, posterm_.text.find("EXIT\n"));
  // posterm's log has every frame in hex: the handshake starts 02 00 6A.
  EXPECT_NE(std::string::npos, ReadFile(Dir() + "/posterm.log").find(" RX 02 00 6A "));
}

TEST_F(ProgramsTest, RefusalAndFacadeExitCodes) {
  StartTerminal({"--code", "05", "--count", "2"});
  std::string out;
  EXPECT_EQ(1, Korvessa({"--type", "30", "--amount", "1"}, &out)) << out;
  EXPECT_EQ(0u, out.find("Result: 13616 (refused by the terminal, return code \"05\")\n")) << out;
  EXPECT_NE(std::string::npos, out.find(u8"Explanation: 发卡行不予承兑\n")) << out;
  EXPECT_NE(std::string::npos, out.find("Receipt: none written\n")) << out;
  EXPECT_EQ(1, Korvessa({"--put", "transType=30", "--put", "amount=000000000100"}, &out)) << out;
  EXPECT_EQ(0u, out.find("rejCode: 05 (refused by the terminal)\n")) << out;
  EXPECT_NE(std::string::npos, out.find(u8"  rejCodeExplain    = \"发卡行不予承兑\"\n")) << out;
  // --count 2: posterm leaves by itself after the second transaction answer.
  EXPECT_EQ(0, posterm_.Wait(5000));
  EXPECT_EQ(2, Korvessa({"--type", "77"}, &out)) << out;
  EXPECT_EQ(0u, out.find("Result: -1 (the serial port could not be opened)\n")) << out;
}

TEST_F(ProgramsTest, WholeRecordFromTheCommandLine) {
  StartTerminal({});
  std::string out;
  ASSERT_EQ(0, Korvessa({"--record", FullRequest("40"), "--no-receipt"}, &out)) << out;
  EXPECT_NE(std::string::npos, out.find("  reserved          = \"XYZ\"\n")) << out;
  EXPECT_EQ(std::string::npos, out.find("Receipt")) << out;
  ASSERT_TRUE(posterm_.ReadUntil("ANSWER 41 code=00\n", 3000)) << posterm_.text;
  // Type 40 carries the reference number and date: the request frame holds them at 52..71.
  const std::string log = ReadFile(Dir() + "/posterm.log");
  EXPECT_NE(std::string::npos, log.find(posterm::Hex(Bytes({'H', 'S', 'N', '0', '0', '0', '0', '0', '0', '0',
                                                            '0', '1', '2', '0', '2', '6'}))))
      << log;
}

#ifdef KV_SYNC_ORDER_FILE
// The order the journal exists for, seen from outside the library: the day's first SENT is on the
// disk, its new file's folder too, before the request's first byte is written; and the terminal finds
// the SENT as the journal's last line when the request arrives.
TEST_F(ProgramsTest, SentIsOnTheDiskBeforeTheRequestGoesOut) {
  StartTerminal({"--check-journal", Dir() + "/Journal"});
  const std::string order = Dir() + "/sync-order.txt";
  setenv("KV_SYNC_ORDER_LOG", order.c_str(), 1);
  setenv("LD_PRELOAD", KV_SYNC_ORDER_FILE, 1);
  std::string out;
  const int rc = Korvessa({"--type", "30", "--amount", "1", "--no-receipt"}, &out);
  unsetenv("LD_PRELOAD");
  unsetenv("KV_SYNC_ORDER_LOG");
  ASSERT_EQ(0, rc) << out;
  std::vector<std::string> events;
  std::istringstream in(ReadFile(order));
  for (std::string line; std::getline(in, line);) events.push_back(line.substr(0, line.find(' ', 4)));
  ASSERT_EQ((std::vector<std::string>{"TTY C0", "SYNC", "SYNCDIR", "TTY A0", "SYNC"}), events)
      << ReadFile(order);
  ASSERT_TRUE(posterm_.ReadUntil("ANSWER 31 code=00\n", 3000)) << posterm_.text;
  EXPECT_NE(std::string::npos, posterm_.text.find("JOURNAL OK id=")) << posterm_.text;
}
#endif

// A receipt that cannot be written (a full disk) is logged with its path and reason at level 1; the
// approval stays an approval.
TEST_F(ProgramsTest, ReceiptOnAFullDiskKeepsTheApproval) {
  Ini ini = DefaultIni();
  ini.Set("DEBUG_LOG", "DebugLog", "1");
  ini.Set("TXTFILENAME", "FilePath", "/dev/");
  ini.Set("TXTFILENAME", "FileName", "full");
  WriteConfig(ini);
  StartTerminal({});
  std::string out;
  // (--receipt: korvessa itself would read the endless /dev/full to tell a new receipt from an old one)
  EXPECT_EQ(0,
            Korvessa({"--type", "30", "--amount", "1", "--no-receipt", "--receipt", Dir() + "/none"}, &out))
      << out;
  EXPECT_EQ(0u, out.find("Result: 0 (approved)\n")) << out;
  EXPECT_NE(std::string::npos, Log().find("打印文件写入失败，文件=/dev/full，原因=No space left on device."))
      << Log();
}

TEST_F(ProgramsTest, CardNumbersShownMaskedUnlessAsked) {
  StartTerminal({"--field", "card=6297869787968978696"});
  std::string out;
  ASSERT_EQ(0, Korvessa({"--type", "30", "--amount", "1", "--no-receipt"}, &out)) << out;
  EXPECT_NE(std::string::npos, out.find("  cardNumber        = \"629786*********8696\"\n")) << out;
  ASSERT_EQ(0, Korvessa({"--type", "30", "--amount", "1", "--no-receipt", "--show-card-number"}, &out))
      << out;
  EXPECT_NE(std::string::npos, out.find("  cardNumber        = \"6297869787968978696\"\n")) << out;
  ASSERT_EQ(0, Korvessa({"--put", "transType=30", "--get", "cardNumber"}, &out)) << out;
  EXPECT_NE(std::string::npos, out.find("  cardNumber        = \"629786*********8696\"\n")) << out;
}

TEST_F(ProgramsTest, UsageErrorsTouchNothing) {
  std::string out;
  EXPECT_EQ(3, Korvessa({"--amount", "12.345", "--type", "30"}, &out));
  EXPECT_NE(std::string::npos, out.find("bad amount: 12.345"));
  EXPECT_EQ(3, Korvessa({"--amount", "1"}, &out));
  EXPECT_NE(std::string::npos, out.find("--type is required"));
  EXPECT_EQ(3, Korvessa({"--type", "300"}, &out));
  EXPECT_NE(std::string::npos, out.find("transType takes at most 2 characters"));
  EXPECT_EQ(3, Korvessa({"--facade", "--card", "1234"}, &out));
  EXPECT_NE(std::string::npos, out.find("the facade has no field cardNumber"));
  EXPECT_NE(0, access((Dir() + "/Log").c_str(), F_OK));
}

TEST_F(ProgramsTest, ExitWithARelayWaitingBetweenCallsIsPrompt) {
  Host host;
  StartTerminal({"--relay-after", "127.0.0.1:" + std::to_string(host.port()) + ":between calls"});
  Child k;
  Spawn(&k,
        {KV_KORVESSA_FILE, "--lib", Dir() + "/libKorvessaDLL.so", "--no-receipt", "--wait-stdin", "--type",
         "30"},
        true);
  ASSERT_TRUE(k.ReadUntil("WAITING\n", 15000)) << k.text;
  // The unit went through; the relay thread now waits for a further payload.
  ASSERT_TRUE(posterm_.ReadUntil("RELAY OK", 10000)) << posterm_.text;
  const auto t0 = std::chrono::steady_clock::now();
  close(k.in);
  k.in = -1;
  EXPECT_EQ(0, k.Wait(15000)) << k.text;
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 1.0);
}

TEST_F(ProgramsTest, KilledBetweenSentAndAnswerLeavesATransactionInDoubt) {
  StartTerminal({"--silent"});
  Ini ini = DefaultIni();
  ini.Set("TCP", "TradeTimeOut", "30");
  WriteConfig(ini);
  Child k;
  Spawn(&k, {KV_KORVESSA_FILE, "--lib", Dir() + "/libKorvessaDLL.so", "--type", "30", "--amount", "2.50"});
  // SENT reaches the disk before the request frame goes out: once posterm saw the request, it is there.
  ASSERT_TRUE(posterm_.ReadUntil("REQUEST A030", 10000)) << posterm_.text;
  kill(k.pid, SIGKILL);
  k.Wait(5000);
  const auto lines = JournalLines(Dir());
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ("SENT", lines[0].back());

  const std::vector<std::string> journal = {KV_KORVESSA_FILE, "journal", "--dir", Dir() + "/Journal"};
  Child j;
  Spawn(&j, {journal[0], journal[1], journal[2], journal[3], "--uncertain"});
  EXPECT_EQ(1, j.Wait(5000)) << j.text;
  EXPECT_NE(std::string::npos, j.text.find("amount=000000000250  UNCERTAIN (sent, no final event")) << j.text;
  EXPECT_NE(std::string::npos, j.text.find(": 1 transaction(s), 1 in doubt")) << j.text;
  Child bad;
  Spawn(&bad, {journal[0], journal[1], "--day", "20261399"});
  EXPECT_EQ(3, bad.Wait(5000)) << bad.text;
}

// A register that ends its process without unloading the library first: exit() with the relay
// waiting for a further payload. The library's detach must run before the static objects of
// its waits are destroyed (destroying a condition variable waits out its waiters: 60 s).
TEST_F(ProgramsTest, ProcessExitWithoutUnloadIsPrompt) {
  Host host;
  StartTerminal({"--relay-after", "127.0.0.1:" + std::to_string(host.port()) + ":between calls"});
  for (int round = 1; round <= 3; ++round) {
    SCOPED_TRACE(round);
    Child k;
    Spawn(&k,
          {KV_KORVESSA_FILE, "--lib", Dir() + "/libKorvessaDLL.so", "--no-receipt", "--wait-stdin",
           "--no-unload", "--type", "30"},
          true);
    ASSERT_TRUE(k.ReadUntil("WAITING\n", 15000)) << k.text;
    // The unit went through: the relay thread now waits for a further payload.
    ASSERT_TRUE(posterm_.ReadUntil("RELAY OK", 10000)) << posterm_.text;
    posterm_.text.erase(0, posterm_.text.find("RELAY OK") + 8);  // the next round waits for its own
    const auto t0 = std::chrono::steady_clock::now();
    close(k.in);
    k.in = -1;
    EXPECT_EQ(0, k.Wait(15000)) << k.text;
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 1.0);
  }
}

// The register stops waiting (Ctrl-C) or is closed (SIGTERM: exit() with the payment thread inside
// BankTrans) while the terminal holds the request. Either way the wait ends at once, the call is
// recorded in doubt (SENT, then UNCERTAIN), and the process ends well within 3 s; the progress seen
// meanwhile is one plain line per step, without control characters, as the output is not a terminal.
TEST_F(ProgramsTest, CtrlCAndSigtermWhileTheTerminalHoldsTheRequest) {
  StartTerminal({"--silent"});
  Ini ini = DefaultIni();
  ini.Set("TCP", "TradeTimeOut", "30");
  WriteConfig(ini);
  const struct {
    int sig;
    int status;
    const char* says;
  } cases[] = {{SIGINT, 2, "stopped waiting for the terminal"},
               {SIGTERM, 2, "terminated while the call runs"}};
  size_t lines = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sig);
    Child k;
    Spawn(&k, {KV_KORVESSA_FILE, "--lib", Dir() + "/libKorvessaDLL.so", "--progress", "--type", "30",
               "--amount", "2.50"});
    ASSERT_TRUE(k.ReadUntil("state: waiting\n", 10000)) << k.text;
    const auto t0 = std::chrono::steady_clock::now();
    kill(k.pid, c.sig);
    EXPECT_EQ(c.status, k.Wait(10000)) << k.text;
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 3.0);
    EXPECT_NE(std::string::npos, k.text.find(c.says)) << k.text;
    EXPECT_NE(std::string::npos, k.text.find("state: handshake\n")) << k.text;
    EXPECT_EQ(std::string::npos, k.text.find_first_of("\r\x1b")) << k.text;
    const auto j = JournalLines(Dir());
    ASSERT_EQ(lines + 2, j.size());
    EXPECT_EQ("SENT", j[lines].back());
    EXPECT_EQ("UNCERTAIN", j[lines + 1][6]);
    lines = j.size();
  }
  EXPECT_EQ(2, CountOf(Log(), "被收银机放弃."));
}

class DoctorTest : public ProgramsTest {
 protected:
  void SetUp() override {
    ProgramsTest::SetUp();
    ini_.Set("TCP", "AllowedHosts", "127.0.0.1:" + std::to_string(host_.port()) + ",localhost:*");
    WriteConfig(ini_);
  }
  // korvessa doctor; the line of the check `name` in *line.
  int Doctor(const std::string& name, std::string* line, std::vector<std::string> opts = {}) {
    opts.insert(opts.begin(), {KV_KORVESSA_FILE, "doctor", "--lib", Dir() + "/libKorvessaDLL.so"});
    Child k;
    Spawn(&k, opts);
    const int st = k.Wait(15000);
    out_ = k.text;
    const size_t at = out_.find("  " + name + " ");
    *line = at == std::string::npos ? "" : out_.substr(at - 4, out_.find('\n', at) - at + 4);
    return st;
  }
  Host host_;
  std::string out_;
};

TEST_F(DoctorTest, EveryCheckOkAgainstTheSimulators) {
  StartTerminal({});
  std::string line;
  ASSERT_EQ(0, Doctor("terminal", &line)) << out_;
  const char* const order[] = {"config",          "encoding",         "keys", "port",    "terminal",
                               "host 127.0.0.1:", "host localhost:*", "Log",  "Journal", "doubt",
                               "version"};
  size_t at = 0;
  for (const char* check : order) {
    const size_t next = out_.find(std::string("ok    ") + check, at);
    ASSERT_NE(std::string::npos, next) << check << "\n" << out_;
    at = next;
  }
  EXPECT_EQ(std::string::npos, out_.find("warn")) << out_;
  EXPECT_NE(std::string::npos, out_.find("ok    config    " + Dir() + "/Config.ini\n")) << out_;
  EXPECT_NE(std::string::npos, out_.find("answered the handshake in ")) << out_;
  EXPECT_NE(std::string::npos, out_.find("library " + ReadFile(KV_VERSION_FILE).substr(0, 5))) << out_;
  // The listed host was reached once and sent nothing; host:* was only resolved.
  for (int i = 0; i < 100 && host_.connections() == 0; ++i) usleep(20000);
  EXPECT_EQ(1, host_.connections());
  EXPECT_TRUE(host_.received().empty());
  // A handshake only: no transaction, nothing journalled, no Journal folder left behind.
  ASSERT_TRUE(posterm_.ReadUntil("REQUEST C000", 3000)) << posterm_.text;
  EXPECT_EQ(std::string::npos, posterm_.text.find("REQUEST A0")) << posterm_.text;
  EXPECT_NE(0, access((Dir() + "/Journal").c_str(), F_OK));
  ASSERT_EQ(0, Doctor("terminal", &line, {"--json"})) << out_;
  EXPECT_EQ(0u, out_.find("{\"checks\":[{\"check\":\"config\",\"status\":\"ok\",\"text\":")) << out_;
  EXPECT_NE(std::string::npos, out_.find("],\"result\":\"ok\"}\n")) << out_;
}

TEST_F(DoctorTest, EachFaultGivesItsLineAndExitOne) {
  struct Case {
    const char* name;
    std::vector<std::string> posterm;  // empty: no terminal
    const char* section;
    const char* key;
    std::string value;
    const char* check;
    const char* text;
  };
  const Case cases[] = {
      {"misspelt key", {"--x"}, "COM", "BaudRat", "9600", "keys", "[COM] BaudRat (did you mean BaudRate?)"},
      {"missing device", {}, "COM", "Device", "/dev/kv-no-such-tty", "port", "no such device"},
      {"silent terminal", {"--hs-silent"}, "", "", "", "terminal", "no answer to the handshake in time"},
      {"refusing host",
       {"--x"},
       "TCP",
       "AllowedHosts",
       "127.0.0.1:" + std::to_string(RefusingPort()),
       "host",
       "connection refused"},
      {"Journal a file", {"--x"}, "", "", "", "Journal", "is a file, not a folder"},
  };
  const Ini base = ini_;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Ini ini = base;
    if (c.section[0]) ini.Set(c.section, c.key, c.value);
    WriteConfig(ini);
    std::vector<std::string> opts = c.posterm;
    if (!opts.empty() && opts[0] == "--x") opts.clear();
    if (!c.posterm.empty()) StartTerminal(opts);
    if (std::string(c.check) == "Journal") WriteFile(Dir() + "/Journal", "not a folder");
    std::string line;
    EXPECT_EQ(1, Doctor(c.check, &line)) << out_;
    EXPECT_EQ(0u, line.find("fail")) << out_;
    EXPECT_NE(std::string::npos, line.find(c.text)) << out_;
    EXPECT_EQ(1, CountOf(out_, "fail  ")) << out_;  // that fault alone
    unlink((Dir() + "/Journal").c_str());
    if (posterm_.pid > 0) {
      kill(posterm_.pid, SIGTERM);
      posterm_.Wait(5000);
      close(posterm_.out);
      posterm_.out = -1;
      posterm_.text.clear();
    }
  }
}

TEST_F(DoctorTest, PortHeldByAnotherProcessIsAWarningAndNoHandshake) {
  StartTerminal({});
  const int fd = open(getenv("KORVESSA_COM7"), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, flock(fd, LOCK_EX | LOCK_NB));
  std::string line;
  EXPECT_EQ(0, Doctor("port", &line)) << out_;
  EXPECT_NE(std::string::npos, line.find("warn  port")) << out_;
  EXPECT_NE(std::string::npos, line.find("in use by another program")) << out_;
  EXPECT_NE(std::string::npos, out_.find("warn  terminal  handshake skipped: the port is in use")) << out_;
  close(fd);
  EXPECT_EQ(std::string::npos, posterm_.text.find("REQUEST")) << posterm_.text;
}

}  // namespace
}  // namespace e2e
