// Shared helpers of the foundation tests: a temporary folder that stands for the
// library's folder, with Config.ini written into it byte for byte.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "config/Config.h"
#include "base/PathUtil.h"
#include "platform/platform.h"

namespace kvtest {

inline std::string ReadAll(const std::string& path) {
  std::string out;
  FILE* f = KvFopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) out.append(buf, n);
  std::fclose(f);
  return out;
}

inline bool WriteAll(const std::string& path, const std::string& bytes) {
  FILE* f = KvFopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

// A fresh folder used as the library's folder; Config.ini inside it is the one every
// reader uses. Everything is restored and removed afterwards.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[kKvPathSize];
    ASSERT_TRUE(KvMakeTempDir(dir, sizeof(dir)));
    dir_ = dir;
    dir_ += KV_PATH_SEP_STR;
    config_ = dir_ + "Config.ini";
    SetConfigFile(config_.c_str());
    SetModuleDirOverride(dir_.c_str());
  }
  void TearDown() override {
    SetModuleDirOverride(nullptr);
    SetConfigFile(".\\Config.ini");
    KvRemoveTree(dir_.c_str());
  }
  // Writes Config.ini with LF line ends turned into CR LF, as an editor on the
  // register would leave it.
  void WriteConfig(const std::string& text) {
    std::string crlf;
    for (char c : text) {
      if (c == '\n') crlf += '\r';
      crlf += c;
    }
    ASSERT_TRUE(WriteAll(config_, crlf));
  }
  std::string dir_;     // ends with the separator
  std::string config_;  // dir_ + "Config.ini"
};

// True when `actual` equals `expected`, where each '#' of `expected` stands for one
// decimal digit of `actual` (time stamps).
inline bool MatchesDigits(const std::string& actual, const std::string& expected) {
  if (actual.size() != expected.size()) return false;
  for (size_t i = 0; i < actual.size(); ++i) {
    if (expected[i] == '#') {
      if (actual[i] < '0' || actual[i] > '9') return false;
    } else if (expected[i] != actual[i]) {
      return false;
    }
  }
  return true;
}

}  // namespace kvtest
