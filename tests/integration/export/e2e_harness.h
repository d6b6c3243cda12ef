// End-to-end harness: a fresh directory with a copy of the built library and its Config.ini (also the
// current directory), the simulated terminal on a new pseudo-terminal named by KORVESSA_COM7, and the
// library loaded with dlopen like a cash register loads it.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "KorvessaDLL.h"
#include "Terminal.h"
#include "EndToEnd.h"
#include "EndToEndHosts.h"

namespace e2e {

// Today's journal lines in folder dir + "/Journal", each split at its tabs (line ends checked as CR LF).
std::vector<std::vector<std::string>> JournalLines(const std::string& dir);

class E2eTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Rewrites Config.ini, with a modification time distinct from any earlier one so that the library's
  // cached tables reload.
  void WriteConfig(const Ini& ini);
  // Loads the library copy (SetUp does it; tests of load behaviour may call it again after Unload),
  // or the copy at `path`.
  void Load(const std::string& path = "");
  void Unload();

  // BankTrans on a request, the response starting as 161 '#' bytes; the request is checked unchanged.
  int Run(const std::string& request, std::string* response);
  std::string Log() const;  // every log file of the library, concatenated
  std::string Dir() const { return dir_; }
  // Number of this process's descriptors open on the terminal's line (ours is one).
  int LineDescriptors() const;
  static int DescriptorsNamed(const std::string& path);
  // The frames the terminal received, valid ones only.
  std::vector<posterm::Frame> Requests() const;

  posterm::Terminal term_;
  Ini ini_;
  std::string dir_;
  std::string oldCwd_;
  void* lib_ = nullptr;
  PFN_BankTrans bankTrans_ = nullptr;
  PFN_PutValue putValue_ = nullptr;
  PFN_TransProcess transProcess_ = nullptr;
  PFN_GetValue getValue_ = nullptr;
  long configStamp_ = 0;
  bool checkJournal_ = true;  // false in tests that disable or break the journal
};

// Checks that the first frame is a handshake with a fresh 6-digit identifier, exactly as encoded by the
// terminal's own codec, and returns that identifier.
std::string CheckHandshake(const posterm::Frame& f);

}  // namespace e2e
