#include "Rig.h"

#include "Options.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

extern char** environ;

namespace rig {

double NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

std::string WithPort(std::string text, int port) {
  for (size_t at; (at = text.find("{port}")) != std::string::npos;) text.replace(at, 6, std::to_string(port));
  return text;
}

bool Host::Start(const std::string& program, const std::string& options, std::string* err) {
  Stop();
  std::vector<std::string> words = posterm::SplitWords(options);
  words.insert(words.begin(), program);
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) {
    *err = "pipe";
    return false;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, p[1], 1);
  const int rc = posix_spawn(&pid_, program.c_str(), &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(p[1]);
  out_ = p[0];
  if (rc != 0) {
    pid_ = -1;
    *err = "cannot start " + program;
    Stop();
    return false;
  }
  // "LISTENING <port>", and for a hanging host also "HANGING <n>" once its queue is full.
  const bool hang = std::find(words.begin(), words.end(), "hang") != words.end();
  std::string text;
  const double end = NowMs() + 5000;
  while (NowMs() < end) {
    const size_t at = text.find("LISTENING ");
    if (at != std::string::npos && text.find('\n', at) != std::string::npos &&
        (!hang || text.find("HANGING") != std::string::npos)) {
      port_ = atoi(text.c_str() + at + 10);
      return true;
    }
    struct pollfd pf = {out_, POLLIN, 0};
    if (poll(&pf, 1, 100) <= 0) continue;
    char buf[256];
    const ssize_t n = read(out_, buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  *err = "bankhost did not start: " + text;
  Stop();
  return false;
}

void Host::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  if (out_ >= 0) close(out_);
  pid_ = -1;
  out_ = -1;
  port_ = 0;
}

namespace {

int CountEntries(const char* dir) {
  DIR* d = opendir(dir);
  if (!d) return -1;
  int n = 0;
  while (struct dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n - (strcmp(dir, "/proc/self/fd") == 0);  // the listing's own descriptor
}

}  // namespace

Resources Measure() {
  Resources r;
  r.fds = CountEntries("/proc/self/fd");
  r.threads = CountEntries("/proc/self/task");
  FILE* f = fopen("/proc/self/statm", "r");
  long pages = 0, resident = 0;
  if (f) {
    if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    fclose(f);
  }
  r.rssKiB = resident * (sysconf(_SC_PAGESIZE) / 1024);
  return r;
}

bool Library::Prepare(const std::string& libraryFile, const e2e::Ini& ini, std::string* err) {
  if (dir_.empty() && !e2e::MakeScratchFolder("kv_rig_", &dir_)) {
    *err = "mkdtemp";
    return false;
  }
  if (!e2e::CopyLibrary(libraryFile, dir_, err)) return false;
  if (chdir(dir_.c_str()) != 0) {
    *err = "chdir " + dir_;
    return false;
  }
  WriteConfig(ini);
  return true;
}

void Library::WriteConfig(const e2e::Ini& ini) { e2e::WriteConfig(dir_, ini, &stamp_); }

bool Library::Load(std::string* err) {
  lib_ = dlopen((dir_ + "/libKorvessaDLL.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib_) {
    *err = dlerror();
    return false;
  }
  bankTrans_ = reinterpret_cast<PFN_BankTrans>(dlsym(lib_, "BankTrans"));
  return bankTrans_ != nullptr;
}

void Library::Unload() {
  if (lib_) dlclose(lib_);
  lib_ = nullptr;
  bankTrans_ = nullptr;
}

bool Library::Mapped() const {
  return e2e::ReadFile("/proc/self/maps").find(dir_ + "/libKorvessaDLL.so") != std::string::npos;
}

int Library::Call(const std::string& request, std::string* response, double* ms) {
  std::string req = request;
  req.resize(KORVESSA_REQUEST_SIZE, ' ');
  std::string rsp(KORVESSA_RESPONSE_SIZE, '#');
  const double t0 = NowMs();
  const int r = bankTrans_(&req[0], &rsp[0]);
  if (ms) *ms = NowMs() - t0;
  if (response) *response = rsp;
  return r;
}

std::string Library::LogText() const {
  std::vector<std::string> names;
  if (DIR* d = opendir((dir_ + "/Log").c_str())) {
    while (struct dirent* e = readdir(d)) {
      if (strncmp(e->d_name, "ErrorLog", 8) == 0) names.push_back(e->d_name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  std::string all;
  for (const std::string& n : names) all += e2e::ReadFile(dir_ + "/Log/" + n);
  return all;
}

void Library::RemoveDir() {
  if (dir_.empty()) return;
  e2e::RemoveScratchFolder(dir_);
  dir_.clear();
}

bool StartTerminal(posterm::Terminal* term, std::string* err) {
  if (!term->OpenPty(err) || !term->Start(err)) return false;
  term->SetScenario(e2e::FixedScenario());
  FollowLine(*term);
  return true;
}

void FollowLine(const posterm::Terminal& term) { setenv("KORVESSA_COM7", term.LinePath().c_str(), 1); }

e2e::Ini RigIni(int tradeTimeOut, int connTimeOut) {
  e2e::Ini ini = e2e::DefaultIni();
  ini.Set("TCP", "TradeTimeOut", std::to_string(tradeTimeOut));
  ini.Set("TCP", "ConnTimeOut", std::to_string(connTimeOut));
  return ini;
}

}  // namespace rig
