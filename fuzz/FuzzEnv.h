// What the fuzz targets share: a scratch folder for the log, Config.ini and the files the
// library writes, a bound on how much log a long run keeps, and the check that turns a wrong
// result into a finding like a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A result that must hold on every input; a failure stops the run with the input saved.
#define FUZZ_CHECK(cond) ((cond) ? (void)0 : fuzz::CheckFailed(#cond, __FILE__, __LINE__))

namespace fuzz {

// The transaction identifier every target sets, and the seed frames carry.
constexpr const char kTransID[] = "123456";

// Makes a new scratch folder below the system's temporary folder (removed at exit), makes
// it the library's folder (the log goes there) and writes `ini` there as Config.ini, which
// every reader then uses. Once per process.
void InitScratch(const std::string& ini);
// A file in the scratch folder.
std::string ScratchPath(const char* name);
// Writes `size` bytes to `path`, replacing the file.
void WriteBytes(const std::string& path, const void* data, size_t size);
// Call once per input: every 256 inputs the day's log is removed, so the disk holds at
// most the log of the last few hundred inputs.
void TrimLog();

// Makes the scratch folder the current one for its life (files the library reads from the
// current folder); the run's own folder comes back after, for libFuzzer's relative paths.
class InScratchFolder {
 public:
  InScratchFolder();
  ~InScratchFolder();
  InScratchFolder(const InScratchFolder&) = delete;
  InScratchFolder& operator=(const InScratchFolder&) = delete;

 private:
  std::string m_previous;
};

[[noreturn]] void CheckFailed(const char* what, const char* file, int line);

}  // namespace fuzz
