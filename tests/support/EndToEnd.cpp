// The shared end-to-end helpers: the configuration and records the tests start from, and the scratch
// folder with the library copy.
#include "EndToEnd.h"

#include <arpa/inet.h>
#include <ftw.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cstdio>
#include <cstdlib>
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

bool MakeScratchFolder(const std::string& prefix, std::string* dir) {
  std::string tmpl = "/tmp/" + prefix + "XXXXXX";
  if (mkdtemp(&tmpl[0]) == nullptr) return false;
  *dir = tmpl;
  return true;
}

void RemoveScratchFolder(const std::string& dir) {
  if (dir.empty()) return;
  nftw(
      dir.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

bool CopyLibrary(const std::string& libraryFile, const std::string& dir, std::string* err) {
  const std::string lib = ReadFile(libraryFile);
  if (lib.empty()) {
    *err = "cannot read " + libraryFile;
    return false;
  }
  const std::string copy = dir + "/libKorvessaDLL.so";
  WriteFile(copy, lib);
  if (ReadFile(copy).size() != lib.size()) {
    *err = "cannot write " + copy;
    return false;
  }
  return true;
}

void WriteConfig(const std::string& dir, const Ini& ini, long* stamp) {
  const std::string path = dir + "/Config.ini";
  WriteFile(path, ini.Text());
  // The library notices edits by the modification time (whole seconds): give every version its own.
  const time_t t = time(nullptr) - 1000 + (*stamp)++;
  struct utimbuf ut = {t, t};
  utime(path.c_str(), &ut);
}

}  // namespace e2e
