#include "e2e_harness.h"

#include <dirent.h>
#include <dlfcn.h>
#include <ftw.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

namespace e2e {

void Ini::Set(const std::string& section, const std::string& key, const std::string& value) {
  for (auto& s : sections_) {
    if (s.first != section) continue;
    for (auto& kv : s.second) {
      if (kv.first == key) {
        kv.second = value;
        return;
      }
    }
    s.second.emplace_back(key, value);
    return;
  }
  sections_.push_back({section, {{key, value}}});
}

void Ini::Remove(const std::string& section, const std::string& key) {
  for (auto& s : sections_) {
    if (s.first != section) continue;
    for (size_t i = 0; i < s.second.size(); ++i) {
      if (s.second[i].first == key) s.second.erase(s.second.begin() + static_cast<long>(i));
    }
  }
}

std::string Ini::Text() const {
  std::string t;
  for (const auto& s : sections_) {
    t += "[" + s.first + "]\r\n";
    for (const auto& kv : s.second) t += kv.first + "=" + kv.second + "\r\n";
  }
  return t;
}

Ini DefaultIni() {
  Ini i;
  i.Set("COM", "ComPort", "7");
  i.Set("COM", "BaudRate", "9600");
  i.Set("DEBUG_LOG", "DebugLog", "2");
  const char* const names[] = {"00 握手",       "02 查询",           "04 重打印",   "06 打印",
                               "30 消费",       "40 退货",           "50 撤销",     "62 预授权完成",
                               "64 预授权撤销", "66 预授权完成撤销", "80 余额查询", "92 签到"};
  int n = 1;
  for (const char* s : names) {
    char key[16];
    snprintf(key, sizeof key, "%03d", n++);
    i.Set("TRANSNAMEDSP", key, s);
  }
  i.Set("REEOR_INFORMITION", "001", "00 交易成功");
  i.Set("REEOR_INFORMITION", "002", "05 发卡行不予承兑");
  i.Set("TXTFILENAME", "FilePath", ".\\");
  i.Set("TXTFILENAME", "FileName", "print.txt");
  i.Set("TXTFILECONTENT", "ContentNum", "19");
  const char* const lines[] = {
      "银行卡POS签购单 %s",  // printed as it stands
      "商户存根",
      "----",
      "商户名称:%s|",
      "商户编号:%s|",
      "终端编号:%s|",
      "操作员号:%s|",
      "发卡行:%s|",
      "收单行:%s|",
      "卡号:%s|",
      "交易类型:%s|",
      "批次号:%s|",
      "凭证号:%s|",
      "授权码:%s|",
      "参考号:%s|",
      "日期时间:%.4s/%.2s/%.2s %.2s:%.2s:%.2s",
      "金额:RMB %s 100%%",
      "备注:[%.10s]",
      "签名\\n\\\\n",
      "end",
  };
  n = 1;
  for (const char* s : lines) {
    char key[16];
    snprintf(key, sizeof key, "%03d", n++);
    i.Set("TXTFILECONTENT", key, s);
  }
  i.Set("TCP", "ConnTimeOut", "2");
  i.Set("TCP", "TradeTimeOut", "2");
  return i;
}

std::string FullRequest(const std::string& type) {
  std::string r;
  r += "A0";                   // operType
  r += type;                   // transType
  r += "01";                   // cardType
  r += "REG000001";            // cashRegisterNo
  r += "OPR001";               // operatorNo
  r += "000000012345";         // amount
  r += "CTN000000001";         // cashTraceNumber
  r += "Y";                    // printFlag
  r += "OTN001";               // oldTraceNumber
  r += "HSN000000001";         // hostserialNumber
  r += "OAN000000001";         // oldAuthNumber
  r += "20261201";             // transDate
  r += "6222029876543210987";  // cardNumber
  r += "XYZ";                  // reserved
  return r;
}

std::string ExpectedResponse(const Bytes& content, const std::string& request) {
  static const struct {
    size_t dst, src, width;
  } kMap[] = {
      {0, 0, 2},      {2, 2, 2},      {4, 4, 2},     {6, 6, 2},    {8, 41, 15},   {23, 56, 8},  {31, 139, 12},
      {43, 127, 12},  {55, 23, 12},   {67, 104, 19}, {86, 123, 4}, {90, 151, 8},  {98, 159, 6}, {104, 165, 6},
      {116, 171, 12}, {128, 183, 12}, {140, 195, 6}, {146, 35, 6}, {152, 201, 6},
  };
  std::string r(161, ' ');
  for (const auto& m : kMap) {
    for (size_t i = 0; i < m.width; ++i) {
      if (m.src + i < content.size()) r[m.dst + i] = static_cast<char>(content[m.src + i]);
    }
  }
  r.replace(158, 3, request.substr(103, 3));
  return r;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

posterm::Scenario FixedScenario() {
  posterm::Scenario s;
  s.fields[151] = "20261208";
  s.fields[159] = "143015";
  return s;
}

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
  char tmpl[] = "/tmp/kv_e2e_XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(tmpl));
  dir_ = tmpl;
  const std::string lib = ReadFile(KV_LIBRARY_FILE);
  ASSERT_FALSE(lib.empty()) << "cannot read " << KV_LIBRARY_FILE;
  WriteFile(dir_ + "/libKorvessaDLL.so", lib);
  ASSERT_EQ(0, chdir(dir_.c_str()));
  ini_ = DefaultIni();
  WriteConfig(ini_);
  std::string err;
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
  nftw(
      dir_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

void E2eTest::WriteConfig(const Ini& ini) {
  ini_ = ini;
  const std::string path = dir_ + "/Config.ini";
  WriteFile(path, ini.Text());
  // The library notices edits by the modification time (whole seconds): give every version its own.
  const time_t t = time(nullptr) - 1000 + configStamp_++;
  struct utimbuf ut = {t, t};
  utime(path.c_str(), &ut);
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

int CountOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

int RefusingPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
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
