#include "RelaySupport.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "config/Config.h"
#include "base/PathUtil.h"
#include "platform/platform_fs.h"

// ---------------------------------------------------------------- the recording terminal

void RecordingTerminal::SetReceived(const Bytes& frame) {
  std::lock_guard<std::mutex> g(mu_);
  received_ = frame;
}

void RecordingTerminal::SetWriteResult(long result) {
  std::lock_guard<std::mutex> g(mu_);
  writeResult_ = result;
}

void RecordingTerminal::SetOnWrite(std::function<void()> fn) {
  std::lock_guard<std::mutex> g(mu_);
  onWrite_ = fn;
}

DWORD RecordingTerminal::WriteToTerminal(const void* data, DWORD length) {
  std::function<void()> fn;
  DWORD result;
  {
    std::lock_guard<std::mutex> g(mu_);
    const unsigned char* p = static_cast<const unsigned char*>(data);
    writes_.emplace_back(p, p + length);
    fn = onWrite_;
    result = writeResult_ < 0 ? length : static_cast<DWORD>(writeResult_);
  }
  if (fn) fn();
  {
    std::lock_guard<std::mutex> g(mu_);
    cv_.notify_all();
  }
  return result;
}

void RecordingTerminal::ResetReceive() {
  std::lock_guard<std::mutex> g(mu_);
  ++resets_;
}

bool RecordingTerminal::WaitWrites(size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> g(mu_);
  return cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return writes_.size() >= count; });
}

std::vector<Bytes> RecordingTerminal::Writes() {
  std::lock_guard<std::mutex> g(mu_);
  return writes_;
}

int RecordingTerminal::Resets() {
  std::lock_guard<std::mutex> g(mu_);
  return resets_;
}

int RecordingTerminal::CopyRecvHead(unsigned char* dest, int size) {
  std::lock_guard<std::mutex> g(mu_);
  // A frame no longer than the engine's assembly buffer, as the engine hands out.
  const size_t whole = received_.size() < kAssemblyMax ? received_.size() : kAssemblyMax;
  const size_t n = size <= 0 ? 0 : (whole < static_cast<size_t>(size) ? whole : static_cast<size_t>(size));
  if (n > 0) std::memcpy(dest, received_.data(), n);
  return static_cast<int>(whole);
}

// ---------------------------------------------------------------- units and frames

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes MakeUnit(const std::string& host, const std::string& port, const Bytes& payload, const char* cmd,
               int lengthDelta) {
  Bytes c;
  c.push_back('D');
  c.push_back('0');
  c.push_back(static_cast<unsigned char>(cmd[0]));
  c.push_back(static_cast<unsigned char>(cmd[1]));
  for (size_t i = 0; i < 40; ++i) c.push_back(i < host.size() ? static_cast<unsigned char>(host[i]) : 0);
  for (size_t i = 0; i < 6; ++i) c.push_back(i < port.size() ? static_cast<unsigned char>(port[i]) : 0);
  int len = static_cast<int>(payload.size()) + lengthDelta;
  c.push_back(static_cast<unsigned char>((len >> 8) & 0xFF));
  c.push_back(static_cast<unsigned char>(len & 0xFF));
  c.insert(c.end(), payload.begin(), payload.end());
  return c;
}

Bytes LoadFrame(BTFManager* frame, const Bytes& content) {
  frame->Build(content.data(), static_cast<int>(content.size()));
  Bytes wire(content.size() + 11);
  int n = frame->Encode(wire.data(), static_cast<int>(wire.size()));
  wire.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return wire;
}

Bytes ExpectedReplyFrame(const Bytes& unitContent, const Bytes& hostBlock, const char* transId) {
  Bytes content(unitContent.begin(), unitContent.begin() + 50);
  content[1] = static_cast<unsigned char>(content[1] + 1);
  content[3] = static_cast<unsigned char>(content[3] + 1);
  content.push_back(static_cast<unsigned char>(hostBlock.size() / 256));
  content.push_back(static_cast<unsigned char>(hostBlock.size() % 256));
  content.insert(content.end(), hostBlock.begin(), hostBlock.end());
  Bytes f;
  f.push_back(0x02);
  size_t len = content.size() + 6;
  f.push_back(static_cast<unsigned char>(len >> 8));
  f.push_back(static_cast<unsigned char>(len & 0xFF));
  for (int i = 0; i < 6; ++i) f.push_back(static_cast<unsigned char>(transId[i]));
  f.insert(f.end(), content.begin(), content.end());
  f.push_back(0x03);
  unsigned char lrc = 0;
  for (unsigned char b : f) lrc ^= b;
  f.push_back(lrc);
  return f;
}

// ---------------------------------------------------------------- the log

namespace {

std::mutex g_logMu;
std::string g_dir;

void Collect(const char* name, void* ctx) {
  std::string* all = static_cast<std::string*>(ctx);
  std::string path = g_dir + KV_PATH_SEP_STR "Log" KV_PATH_SEP_STR + name;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) all->append(buf, n);
  std::fclose(f);
}

}  // namespace

void LogSandbox::Init() {
  std::lock_guard<std::mutex> g(g_logMu);
  if (!g_dir.empty()) return;
  char dir[260];
  if (!KvMakeTempDir(dir, sizeof(dir))) return;
  g_dir = dir;
  std::atexit([] { KvRemoveTree(g_dir.c_str()); });
  SetModuleDirOverride(dir);
  std::string ini = g_dir + KV_PATH_SEP_STR "Config.ini";
  SetConfigFile(ini.c_str());
  SetConnTimeOutSetting("20");
}

void LogSandbox::SetConnTimeOutSetting(const std::string& value) { SetSettings("6", value); }

void LogSandbox::SetSettings(const std::string& debugLog, const std::string& connTimeOut) {
  std::string ini = g_dir + KV_PATH_SEP_STR "Config.ini";
  FILE* f = std::fopen(ini.c_str(), "w");
  if (f == nullptr) return;
  std::fprintf(f, "[DEBUG_LOG]\nDebugLog=%s\n[TCP]\nConnTimeOut=%s\n", debugLog.c_str(), connTimeOut.c_str());
  std::fclose(f);
}

const std::string& LogSandbox::Dir() { return g_dir; }

std::string LogSandbox::ReadAll() {
  std::string all;
  std::string logDir = g_dir + KV_PATH_SEP_STR "Log";
  KvListDir(logDir.c_str(), "ErrorLog*.log", &Collect, &all);
  return all;
}

int CountOf(const std::string& haystack, const std::string& needle) {
  int n = 0;
  for (size_t p = haystack.find(needle); p != std::string::npos; p = haystack.find(needle, p + needle.size()))
    ++n;
  return n;
}

int LogSandbox::Count(const std::string& text) { return CountOf(ReadAll(), text); }

bool LogSandbox::WaitFor(const std::string& text, int timeoutMs, int times) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (Count(text) >= times) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

size_t LogSandbox::Mark() { return ReadAll().size(); }

std::string LogSandbox::Since(size_t mark) {
  std::string all = ReadAll();
  return mark < all.size() ? all.substr(mark) : std::string();
}
