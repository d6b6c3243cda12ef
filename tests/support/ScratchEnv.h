// A scratch folder for one test: Config.ini and the log live there, and the library's folder
// points at it. Helpers to read back the log and files byte for byte. Plain C++ like all of
// tests/support: a folder that cannot be made stops the test program, since nothing after it means
// anything.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "config/Config.h"
#include "log/Log.h"
#include "base/PathUtil.h"
#include "platform/platform_fs.h"

class ScratchEnv {
 public:
  // iniBody: the text of Config.ini (written as is, so GBK literals stay GBK).
  explicit ScratchEnv(const std::string& iniBody) {
    char szDir[kKvPathSize];
    if (!KvMakeTempDir(szDir, sizeof(szDir))) {
      std::fprintf(stderr, "cannot make a scratch folder\n");
      std::abort();
    }
    m_dir = szDir;
    SetModuleDirOverride(m_dir.c_str());
    m_config = Path("Config.ini");
    WriteFile(m_config, iniBody);
    SetConfigFile(m_config.c_str());
  }
  ~ScratchEnv() {
    SetConfigFile(".\\Config.ini");
    SetModuleDirOverride(nullptr);
    KvRemoveTree(m_dir.c_str());
  }
  ScratchEnv(const ScratchEnv&) = delete;
  ScratchEnv& operator=(const ScratchEnv&) = delete;

  const std::string& Dir() const { return m_dir; }
  std::string Path(const std::string& name) const { return m_dir + KV_PATH_SEP_STR + name; }

  // Today's log file, whole (empty when there is none).
  std::string Log() const { return ReadFile(LogPath()); }
  void ClearLog() const { KvRemoveFile(LogPath().c_str()); }
  bool LogExists() const { return KvFileExists(LogPath().c_str()); }
  // Number of log lines that end with `message` followed by the line's blank and CR LF.
  int CountMessage(const std::string& message) const { return Count(Log(), "】" + message + " \r\n"); }
  int CountText(const std::string& text) const { return Count(Log(), text); }

  static int Count(const std::string& hay, const std::string& needle) {
    int n = 0;
    for (size_t pos = hay.find(needle); pos != std::string::npos; pos = hay.find(needle, pos + 1)) ++n;
    return n;
  }
  static std::string ReadFile(const std::string& path) {
    char szNative[kKvPathSize];
    if (!KvNativePath(path.c_str(), szNative, sizeof(szNative))) return std::string();
    std::ifstream in(szNative, std::ios::binary);
    if (!in) return std::string();
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  static void WriteFile(const std::string& path, const std::string& body) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << body;
  }

 private:
  std::string LogPath() const {
    char szPath[kKvPathSize];
    GetLogFileName(szPath);
    char szNative[kKvPathSize];
    return KvNativePath(szPath, szNative, sizeof(szNative)) ? std::string(szNative) : std::string();
  }

  std::string m_dir;
  std::string m_config;
};
