// A scratch folder for one test: Config.ini and the log live there, and the library's
// folder points at it. Helpers to read back the log and files byte for byte.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "config/Config.h"
#include "log/Log.h"
#include "log/PathUtil.h"
#include "platform/platform_fs.h"

class ProtocolTestEnv {
 public:
  // iniBody: the text of Config.ini (written as is, so GBK literals stay GBK).
  explicit ProtocolTestEnv(const std::string& iniBody) {
    char szDir[kKvPathSize];
    EXPECT_TRUE(KvMakeTempDir(szDir, sizeof(szDir)));
    m_dir = szDir;
    SetModuleDirOverride(m_dir.c_str());
    m_config = Path("Config.ini");
    WriteFile(m_config, iniBody);
    SetConfigFile(m_config.c_str());
  }
  ~ProtocolTestEnv() {
    SetConfigFile(".\\Config.ini");
    SetModuleDirOverride(nullptr);
    KvRemoveTree(m_dir.c_str());
  }
  ProtocolTestEnv(const ProtocolTestEnv&) = delete;
  ProtocolTestEnv& operator=(const ProtocolTestEnv&) = delete;

  const std::string& Dir() const { return m_dir; }
  std::string Path(const std::string& name) const { return m_dir + KV_PATH_SEP_STR + name; }

  // Today's log file, whole (empty when there is none).
  std::string Log() const { return ReadFile(LogPath()); }
  void ClearLog() const { KvRemoveFile(LogPath().c_str()); }
  bool LogExists() const { return KvFileExists(LogPath().c_str()); }
  // Number of log lines that end with `message` followed by the line's blank and CR LF.
  int CountMessage(const std::string& message) const {
    const std::string log = Log();
    const std::string needle = std::string("】") + message + " \r\n";
    int n = 0;
    for (size_t pos = log.find(needle); pos != std::string::npos; pos = log.find(needle, pos + 1)) ++n;
    return n;
  }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
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
