#include "e2e_harness.h"

#include <dirent.h>
#include <dlfcn.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

namespace e2e {

std::string CheckHandshake(const posterm::Frame& f) {
  EXPECT_TRUE(f.valid) << f.error;
  const std::string id = f.id;
  EXPECT_EQ(6u, id.size());
  bool digits = id.size() == 6;
  for (char c : id) digits = digits && c >= '0' && c <= '9';
  EXPECT_TRUE(digits) << id;
  if (digits) {
    EXPECT_LT(std::stoi(id.substr(0, 2)), 60) << "minute";
    EXPECT_LT(std::stoi(id.substr(2, 2)), 60) << "second";
  }
  Bytes content(100, ' ');
  const std::string head = "C00001";
  std::copy(head.begin(), head.end(), content.begin());
  const Bytes expect = posterm::EncodeFrame(id, content);
  EXPECT_EQ(111u, f.raw.size());
  EXPECT_EQ(posterm::Hex(expect), posterm::Hex(f.raw));
  return id;
}

void E2eTest::SetUp() {
  char cwd[PATH_MAX];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
  oldCwd_ = cwd;
  ASSERT_TRUE(MakeScratchFolder("kv_e2e_", &dir_));
  std::string err;
  ASSERT_TRUE(CopyLibrary(KV_LIBRARY_FILE, dir_, &err)) << err;
  ASSERT_EQ(0, chdir(dir_.c_str()));
  ini_ = DefaultIni();
  WriteConfig(ini_);
  ASSERT_TRUE(term_.OpenPty(&err)) << err;
  // Every transaction request of every test: its SENT is the journal's last line when it arrives.
  term_.SetJournalCheck(dir_ + "/Journal");
  ASSERT_TRUE(term_.Start(&err)) << err;
  term_.SetScenario(FixedScenario());
  setenv("KORVESSA_COM7", term_.LinePath().c_str(), 1);
  Load();
}

void E2eTest::TearDown() {
  Unload();
  term_.Stop();
  if (checkJournal_) {
    EXPECT_EQ("", term_.JournalCheckFailures());
  }
  if (chdir(oldCwd_.c_str()) != 0) ADD_FAILURE() << "cannot return to " << oldCwd_;
  if (HasFailure() || getenv("KV_E2E_KEEP")) {
    printf("kept test directory %s\n", dir_.c_str());
    return;
  }
  RemoveScratchFolder(dir_);
}

void E2eTest::WriteConfig(const Ini& ini) {
  ini_ = ini;
  e2e::WriteConfig(dir_, ini, &configStamp_);
}

void E2eTest::Load(const std::string& copy) {
  const std::string path = copy.empty() ? dir_ + "/libKorvessaDLL.so" : copy;
  lib_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, lib_) << dlerror();
  bankTrans_ = reinterpret_cast<PFN_BankTrans>(dlsym(lib_, "BankTrans"));
  putValue_ = reinterpret_cast<PFN_PutValue>(dlsym(lib_, "PutValue"));
  transProcess_ = reinterpret_cast<PFN_TransProcess>(dlsym(lib_, "TransProcess"));
  getValue_ = reinterpret_cast<PFN_GetValue>(dlsym(lib_, "GetValue"));
  ASSERT_NE(nullptr, bankTrans_);
  ASSERT_NE(nullptr, putValue_);
  ASSERT_NE(nullptr, transProcess_);
  ASSERT_NE(nullptr, getValue_);
}

void E2eTest::Unload() {
  if (lib_) dlclose(lib_);
  lib_ = nullptr;
  bankTrans_ = nullptr;
  putValue_ = nullptr;
  transProcess_ = nullptr;
  getValue_ = nullptr;
}

int E2eTest::Run(const std::string& request, std::string* response) {
  std::string req = request;
  req.resize(KORVESSA_REQUEST_SIZE, ' ');
  const std::string before = req;
  std::string rsp(KORVESSA_RESPONSE_SIZE, '#');
  const int r = bankTrans_(&req[0], &rsp[0]);
  EXPECT_EQ(before, req) << "the request record changed";
  if (response) *response = rsp;
  return r;
}

std::string E2eTest::Log() const {
  std::string all;
  DIR* d = opendir((dir_ + "/Log").c_str());
  if (!d) return all;
  std::vector<std::string> names;
  while (struct dirent* e = readdir(d)) {
    if (strncmp(e->d_name, "ErrorLog", 8) == 0) names.push_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) all += ReadFile(dir_ + "/Log/" + n);
  return all;
}

int E2eTest::LineDescriptors() const {
  struct stat line;
  if (stat(term_.LinePath().c_str(), &line) != 0) return 0;
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (!d) return -1;
  while (struct dirent* e = readdir(d)) {
    struct stat st;
    const std::string p = std::string("/proc/self/fd/") + e->d_name;
    if (e->d_name[0] != '.' && stat(p.c_str(), &st) == 0 && st.st_rdev == line.st_rdev &&
        S_ISCHR(st.st_mode)) {
      ++n;
    }
  }
  closedir(d);
  return n;
}

int E2eTest::DescriptorsNamed(const std::string& path) {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (!d) return -1;
  while (struct dirent* e = readdir(d)) {
    char target[PATH_MAX];
    const std::string p = std::string("/proc/self/fd/") + e->d_name;
    const ssize_t len = readlink(p.c_str(), target, sizeof target - 1);
    if (len > 0 && std::string(target, static_cast<size_t>(len)) == path) ++n;
  }
  closedir(d);
  return n;
}

std::vector<posterm::Frame> E2eTest::Requests() const {
  std::vector<posterm::Frame> out;
  for (const posterm::Frame& f : term_.Received()) {
    if (f.valid) out.push_back(f);
  }
  return out;
}

// Today's journal lines, each split at its tabs (the line ends checked as CR LF).
std::vector<std::vector<std::string>> JournalLines(const std::string& dir) {
  char day[16];
  const time_t now = time(nullptr);
  strftime(day, sizeof day, "%Y%m%d", localtime(&now));
  const std::string text = ReadFile(dir + "/Journal/Journal" + day + ".txt");
  std::vector<std::vector<std::string>> lines;
  for (size_t pos = 0; pos < text.size();) {
    const size_t end = text.find("\r\n", pos);
    EXPECT_NE(std::string::npos, end) << "unterminated line in " << text;
    if (end == std::string::npos) break;
    std::vector<std::string> cols;
    const std::string line = text.substr(pos, end - pos);
    for (size_t c = 0;;) {
      const size_t t = line.find('\t', c);
      cols.push_back(line.substr(c, t == std::string::npos ? std::string::npos : t - c));
      if (t == std::string::npos) break;
      c = t + 1;
    }
    lines.push_back(cols);
    pos = end + 2;
  }
  return lines;
}

}  // namespace e2e
