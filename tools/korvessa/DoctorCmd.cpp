// "korvessa doctor": one line per check, in the order a support call goes through them.

#include "DoctorCmd.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>

#include "FileText.h"
#include "JournalCmd.h"
#include "Records.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h first
#include <direct.h>
#include <io.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <unistd.h>
#endif

namespace korvessa {

namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point t0) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string TrimText(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

// The names the library reads: section, then its keys; "#N-M" stands for the numbered keys N to M ("%03d").
const struct {
  const char* section;
  std::vector<std::string> keys;
} kKnown[] = {
    {"COM", {"ComPort", "BaudRate", "ByteSize", "Parity", "StopBits", "Device"}},
    {"DEBUG_LOG", {"DebugLog", "MaskCardNumber"}},
    {"TRANSNAMEDSP", {"#1-999"}},
    {"REEOR_INFORMITION", {"#1-999"}},
    {"TXTFILENAME", {"FilePath", "FileName"}},
    {"TXTFILECONTENT", {"ContentNum", "#1-20"}},
    {"TCP", {"ConnTimeOut", "TradeTimeOut", "AllowedHosts"}},
    {"JOURNAL", {"Enabled", "Days"}},
};

bool NumberedKey(const std::string& key, const std::string& range) {
  const size_t dash = range.find('-');
  const int lo = atoi(range.c_str() + 1), hi = atoi(range.c_str() + dash + 1);
  if (key.size() != 3 || !isdigit(static_cast<unsigned char>(key[0])) ||
      !isdigit(static_cast<unsigned char>(key[1])) || !isdigit(static_cast<unsigned char>(key[2])))
    return false;
  const int n = atoi(key.c_str());
  return n >= lo && n <= hi;
}

size_t Distance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diag = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diag = up;
    }
  }
  return row[b.size()];
}

// " (did you mean X?)" for the nearest of names within two edits, else "".
std::string Nearest(const std::string& name, const std::vector<std::string>& names) {
  std::string best;
  size_t bestD = 3;
  for (const std::string& n : names) {
    if (n[0] == '#') continue;
    const size_t d = Distance(Lower(name), Lower(n));
    if (d < bestD) bestD = d, best = n;
  }
  return best.empty() ? "" : " (did you mean " + best + "?)";
}

bool IsDir(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == S_IFDIR;
}

bool MakeDir(const std::string& p) {
#ifdef _WIN32
  return _mkdir(p.c_str()) == 0;
#else
  return mkdir(p.c_str(), 0777) == 0;
#endif
}

// Free bytes on the disk of path; -1 when unknown.
long long FreeBytes(const std::string& path) {
#ifdef _WIN32
  ULARGE_INTEGER avail;
  if (!GetDiskFreeSpaceExA(path.c_str(), &avail, nullptr, nullptr)) return -1;
  return static_cast<long long>(avail.QuadPart);
#else
  struct statvfs v;
  if (statvfs(path.c_str(), &v) != 0) return -1;
  return static_cast<long long>(v.f_bavail) * static_cast<long long>(v.f_frsize);
#endif
}

std::string Size(long long b) {
  char t[32];
  if (b >= (1LL << 30)) {
    snprintf(t, sizeof t, "%.1f GB", static_cast<double>(b) / (1LL << 30));
  } else {
    snprintf(t, sizeof t, "%lld MB", b >> 20);
  }
  return t;
}

// Below this a day of logs at the highest level may not fit.
const long long kLowDisk = 50LL << 20;

class Doctor {
 public:
  Doctor(const DoctorLibrary& lib) : lib_(lib) {}
  void Run();
  const std::vector<DoctorLine>& Lines() const { return lines_; }

 private:
  void Add(const char* status, const std::string& check, const std::string& text) {
    lines_.push_back({status, check, text});
  }
  void CheckConfig();
  // The port's device, and whether it opens: 0 opens, 1 held by another process, -1 does not open.
  int CheckPort();
  void CheckHandshake(int port);
  void CheckHosts();
  void CheckFolder(const std::string& name);
  void CheckJournal();

  DoctorLibrary lib_;
  std::string ini_;
  std::vector<DoctorLine> lines_;
};

void Doctor::Run() {
  CheckConfig();
  CheckHandshake(CheckPort());
  CheckHosts();
  CheckFolder("Log");
  CheckFolder("Journal");
  CheckJournal();
  Add("ok", "version", std::string("library ") + lib_.getValue("version") + " in " + lib_.dir);
}

void Doctor::CheckConfig() {
  ini_ = lib_.getValue("configFile");
  std::string text;
  if (ini_.empty()) {
    Add("fail", "config",
        "the library's folder cannot be had (its path is longer than 259 bytes?): every call fails -1");
    return;
  }
  if (!ReadWholeFile(ini_, &text)) {
    Add("fail", "config",
        ini_ + ": cannot be read (the library runs on its defaults: port 1, no transaction names)");
    return;
  }
  Add("ok", "config", ini_);
  const long bad = FirstNonGbk(text);
  if (bad >= 0) {
    const long line = 1 + static_cast<long>(std::count(text.begin(), text.begin() + bad, '\n'));
    Add("fail", "encoding",
        "not GBK at byte " + std::to_string(bad) + " (line " + std::to_string(line) +
            "): saved as UTF-8? convert it with iconv -f UTF-8 -t GBK");
  } else {
    Add("ok", "encoding", "reads as GBK");
  }
  const std::vector<std::string> unknown = UnknownConfigKeys(text);
  if (unknown.empty()) {
    Add("ok", "keys", "every section and key is one the library reads");
  } else {
    std::string t;
    for (const std::string& u : unknown) t += (t.empty() ? "" : "; ") + u;
    Add("fail", "keys", "not read by the library (a misspelt name keeps its default): " + t);
  }
}

int Doctor::CheckPort() {
  const std::string portText = IniString(ini_, "COM", "ComPort", "1");
  const int n = atoi(portText.c_str());
  if (n < 1 || n > 1024) {
    Add("fail", "port", "[COM] ComPort=" + portText + " is not a port from 1 to 1024");
    return -1;
  }
#ifdef _WIN32
  const std::string device = "\\\\.\\COM" + std::to_string(n);
  HANDLE h = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD e = GetLastError();
    if (e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION) {
      Add("warn", "port", device + ": in use by another program (a running register keeps it open)");
      return 1;
    }
    Add("fail", "port",
        device + (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND
                      ? ": no such port (check the device manager's COM number)"
                      : ": does not open, error " + std::to_string(e)));
    return -1;
  }
  CloseHandle(h);
#else
  std::string device = IniString(ini_, "COM", "Device", "");
  std::string from = "[COM] Device";
  if (device.empty()) {
    const char* env = getenv(("KORVESSA_COM" + std::to_string(n)).c_str());
    from = env && *env ? "KORVESSA_COM" + std::to_string(n) : "[COM] ComPort=" + std::to_string(n);
    device = env && *env ? env : "/dev/ttyS" + std::to_string(n - 1);
  }
  const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int e = errno;
    if (e == EBUSY) {
      Add("warn", "port", device + " (" + from + "): in use by another program");
      return 1;
    }
    Add("fail", "port",
        device + " (" + from + "): " +
            (e == ENOENT   ? "no such device (unplugged? check /dev/serial/by-id)"
             : e == EACCES ? "permission denied (add the register's account to group dialout)"
                           : std::string("does not open: ") + strerror(e)));
    return -1;
  }
  if (!isatty(fd)) {
    close(fd);
    Add("fail", "port", device + " (" + from + "): not a serial device");
    return -1;
  }
  const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0;
  close(fd);
  if (held) {
    Add("warn", "port",
        device + " (" + from + "): in use by another program (a running register keeps it open)");
    return 1;
  }
#endif
  Add("ok", "port", device + ": opens");
  return 0;
}

void Doctor::CheckHandshake(int port) {
  if (port != 0) {
    Add("warn", "terminal",
        port > 0 ? "handshake skipped: the port is in use" : "handshake skipped: the port does not open");
    return;
  }
  lib_.putValue("probe", "1");
  const std::string v = lib_.getValue("probe");
  const int r = atoi(v.c_str());
  const size_t sp = v.find(' ');
  const std::string ms = sp == std::string::npos ? "?" : v.substr(sp + 1);
  if (v.empty()) {
    Add("fail", "terminal", "the library gave no handshake result");
  } else if (r == 0) {
    Add("ok", "terminal", "answered the handshake in " + ms + " ms");
  } else if (r == -3) {
    Add("fail", "terminal",
        "no answer to the handshake in time (terminal off, wrong cable, or [COM] line settings)");
  } else if (r == -1) {
    Add("fail", "terminal", "the library could not open the port (see its log)");
  } else if (r > 0) {
    const char code[3] = {static_cast<char>(r & 0xFF), static_cast<char>((r >> 8) & 0xFF), 0};
    Add("fail", "terminal", std::string("refused the handshake with return code ") + code);
  } else {
    Add("fail", "terminal", "handshake failed with result " + std::to_string(r));
  }
}

// A TCP connect within timeoutMs, nothing sent. "" when reached, else why not.
std::string Connect(const addrinfo* a, int timeoutMs) {
#ifdef _WIN32
  SOCKET s = socket(a->ai_family, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return "no socket";
  u_long nb = 1;
  ioctlsocket(s, FIONBIO, &nb);
  int rc = connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen));
  const bool pending = rc != 0 && WSAGetLastError() == WSAEWOULDBLOCK;
#else
  int s = socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
  if (s < 0) return "no socket";
  int rc = connect(s, a->ai_addr, a->ai_addrlen);
  const bool pending = rc != 0 && errno == EINPROGRESS;
#endif
  std::string why;
  if (rc != 0 && !pending) {
    why = "connection refused";
  } else if (rc != 0) {
    fd_set w, x;
    FD_ZERO(&w);
    FD_ZERO(&x);
    FD_SET(s, &w);
    FD_SET(s, &x);
    timeval tv = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int n = select(static_cast<int>(s) + 1, nullptr, &w, &x, &tv);
    if (n == 0) {
      why = "no connection within ConnTimeOut";
    } else {
      int e = 0;
      socklen_t len = sizeof e;
      getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&e), &len);
      if (n < 0 || e != 0) why = "connection refused";
    }
  }
#ifdef _WIN32
  closesocket(s);
#else
  close(s);
#endif
  return why;
}

void Doctor::CheckHosts() {
  const std::string list = IniString(ini_, "TCP", "AllowedHosts", "");
  int timeout = atoi(IniString(ini_, "TCP", "ConnTimeOut", "20").c_str());
  if (timeout < 1) timeout = 1;
  if (TrimText(list).empty()) {
    Add("warn", "hosts", "[TCP] AllowedHosts is empty: the terminal may make the relay connect anywhere");
    return;
  }
#ifdef _WIN32
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
#endif
  std::stringstream ss(list);
  std::string entry;
  while (std::getline(ss, entry, ',')) {
    entry = TrimText(entry);
    if (entry.empty()) continue;
    const size_t colon = entry.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == entry.size()) {
      Add("fail", "host " + entry, "not host:port or host:* (the relay allows nothing for it)");
      continue;
    }
    const std::string host = entry.substr(0, colon), port = entry.substr(colon + 1);
    const bool any = port == "*";
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(host.c_str(), any ? nullptr : port.c_str(), &hints, &res) != 0 || res == nullptr) {
      Add("fail", "host " + entry, "does not resolve");
      continue;
    }
    const std::string ip = inet_ntoa(reinterpret_cast<const sockaddr_in*>(res->ai_addr)->sin_addr);
    if (any) {
      Add("ok", "host " + entry, "resolves to " + ip + " (any port: not connected)");
    } else {
      const Clock::time_point t0 = Clock::now();
      const std::string why = Connect(res, timeout * 1000);
      if (why.empty()) {
        Add("ok", "host " + entry, "reached in " + std::to_string(MsSince(t0)) + " ms (" + ip + ")");
      } else {
        Add("fail", "host " + entry, why + " (" + ip + ")");
      }
    }
    freeaddrinfo(res);
  }
#ifdef _WIN32
  WSACleanup();
#endif
}

void Doctor::CheckFolder(const std::string& name) {
  const std::string dir = lib_.dir + "/" + name;
  if (name == "Journal" && atoi(IniString(ini_, "JOURNAL", "Enabled", "1").c_str()) == 0) {
    Add("warn", name, "[JOURNAL] Enabled=0: no transaction journal is written");
    return;
  }
  struct stat st;
  bool made = false;
  if (stat(dir.c_str(), &st) == 0 && !IsDir(dir)) {
    Add("fail", name, dir + ": is a file, not a folder (the library cannot write there)");
    return;
  }
  if (!IsDir(dir)) {
    if (!MakeDir(dir)) {
      Add("fail", name, dir + ": cannot be created: " + strerror(errno));
      return;
    }
    made = true;
  }
  const std::string probe = dir + "/.korvessa-doctor";
  FILE* f = fopen(probe.c_str(), "wb");
  const bool ok = f != nullptr && fputs("x", f) >= 0;
  if (f) fclose(f);
  remove(probe.c_str());
  if (made) {
#ifdef _WIN32
    _rmdir(dir.c_str());
#else
    rmdir(dir.c_str());
#endif
  }
  if (!ok) {
    Add("fail", name, dir + ": not writable for this account");
    return;
  }
  const long long free = FreeBytes(made ? lib_.dir : dir);
  const std::string space = free < 0 ? "free space unknown" : Size(free) + " free";
  Add(free >= 0 && free < kLowDisk ? "warn" : "ok", name, dir + ": writable, " + space);
}

void Doctor::CheckJournal() {
  const std::string path = lib_.dir + "/Journal/Journal" + JournalToday() + ".txt";
  std::string text;
  if (!ReadWholeFile(path, &text)) {
    Add("ok", "doubt", "no journal today: no transaction in doubt");
    return;
  }
  int doubt = 0;
  for (const JournalTrans& t : ParseJournal(text, nullptr)) doubt += t.InDoubt() ? 1 : 0;
  if (doubt == 0) {
    Add("ok", "doubt", "no transaction in doubt today");
  } else {
    Add("warn", "doubt",
        std::to_string(doubt) +
            " transaction(s) in doubt today: korvessa journal --uncertain, then ask the "
            "terminal for its last transaction or reconcile with the bank");
  }
}

}  // namespace

long FirstNonGbk(const std::string& text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) return 0;
  for (size_t i = 0; i < n; ++i) {
    if (p[i] < 0x80) continue;
    if (p[i] == 0x80 || p[i] == 0xFF || i + 1 >= n || p[i + 1] < 0x40 || p[i + 1] == 0x7F || p[i + 1] == 0xFF)
      return static_cast<long>(i);
    ++i;
  }
  return -1;
}

std::vector<std::string> UnknownConfigKeys(const std::string& text) {
  std::vector<std::string> out, sectionNames;
  for (const auto& k : kKnown) sectionNames.push_back(k.section);
  std::istringstream in(text);
  std::string line;
  const std::vector<std::string>* keys = nullptr;
  std::string section;
  bool knownSection = true;
  while (std::getline(in, line)) {
    const std::string t = TrimText(line);
    if (t.empty() || t[0] == ';') continue;
    if (t[0] == '[') {
      const size_t close = t.find(']');
      section = TrimText(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      keys = nullptr;
      for (const auto& k : kKnown)
        if (Lower(k.section) == Lower(section)) keys = &k.keys;
      knownSection = keys != nullptr;
      if (!knownSection) out.push_back("[" + section + "]" + Nearest(section, sectionNames));
      continue;
    }
    if (!knownSection) continue;  // reported once with its section
    const size_t eq = t.find('=');
    const std::string key = TrimText(t.substr(0, eq));
    if (keys == nullptr) {
      out.push_back("a key before any section: " + key);
      continue;
    }
    bool known = false;
    for (const std::string& k : *keys)
      known = known || (k[0] == '#' ? NumberedKey(key, k) : Lower(k) == Lower(key));
    if (!known) out.push_back("[" + section + "] " + key + Nearest(key, *keys));
  }
  return out;
}

int DoctorCommand(const std::vector<std::string>& args, const DoctorLibrary& lib, FILE* out, FILE* err) {
  bool json = false;
  for (const std::string& a : args) {
    if (a == "--json") {
      json = true;
    } else if (a == "--help" || a == "-h") {
      fputs(
          "usage: korvessa doctor [--json] [--lib PATH]\n"
          "  checks Config.ini, the port, the terminal's handshake, the AllowedHosts, the Log and Journal\n"
          "  folders, today's transactions in doubt and the library's version; exit status 1 when a check "
          "fails\n",
          out);
      return 0;
    } else {
      fprintf(err, "korvessa doctor: unknown option %s\n", a.c_str());
      return 3;
    }
  }
  Doctor d(lib);
  d.Run();
  bool failed = false;
  for (const DoctorLine& l : d.Lines()) failed = failed || l.status == "fail";
  if (json) {
    std::string o = "{\"checks\":[";
    for (size_t i = 0; i < d.Lines().size(); ++i) {
      const DoctorLine& l = d.Lines()[i];
      o += i ? ",{\"check\":" : "{\"check\":";
      JsonString(&o, l.check);
      o += ",\"status\":";
      JsonString(&o, l.status);
      o += ",\"text\":";
      JsonString(&o, l.text);
      o += "}";
    }
    o += std::string("],\"result\":\"") + (failed ? "fail" : "ok") + "\"}\n";
    fputs(o.c_str(), out);
  } else {
    for (const DoctorLine& l : d.Lines())
      fprintf(out, "%-4s  %-9s %s\n", l.status.c_str(), l.check.c_str(), l.text.c_str());
    fprintf(out, "%s\n", failed ? "Some checks failed." : "No check failed.");
  }
  return failed ? 1 : 0;
}

}  // namespace korvessa
