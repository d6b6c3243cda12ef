// Scratch folder and log bound for the fuzz targets.
#include "FuzzEnv.h"

#include <cstdio>
#include <cstdlib>

#include "config/Config.h"
#include "log/Log.h"
#include "base/PathUtil.h"
#include "platform/platform_fs.h"

namespace fuzz {

namespace {

std::string g_dir;

void RemoveScratch() { KvRemoveTree(g_dir.c_str()); }

}  // namespace

void InitScratch(const std::string& ini) {
  if (!g_dir.empty()) return;
  char dir[kKvPathSize];
  if (!KvMakeTempDir(dir, sizeof(dir))) {
    std::fprintf(stderr, "fuzz: no scratch folder\n");
    std::abort();
  }
  g_dir = dir;
  std::atexit(RemoveScratch);
  SetModuleDirOverride(dir);
  const std::string config = ScratchPath("Config.ini");
  WriteBytes(config, ini.data(), ini.size());
  SetConfigFile(config.c_str());
}

std::string ScratchPath(const char* name) { return g_dir + KV_PATH_SEP_STR + name; }

void WriteBytes(const std::string& path, const void* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    std::fprintf(stderr, "fuzz: cannot write %s\n", path.c_str());
    std::abort();
  }
  if (size > 0) std::fwrite(data, 1, size, f);
  std::fclose(f);
}

void TrimLog() {
  static unsigned count = 0;
  if (++count % 256 != 0) return;
  char file[kKvPathSize];
  GetLogFileName(file);
  char native[kKvPathSize];
  if (KvNativePath(file, native, sizeof(native))) std::remove(native);
}

InScratchFolder::InScratchFolder() {
  char dir[kKvPathSize];
  if (!KvGetCurrentDir(dir, sizeof(dir)) || !KvSetCurrentDir(g_dir.c_str())) {
    std::fprintf(stderr, "fuzz: cannot enter the scratch folder\n");
    std::abort();
  }
  m_previous = dir;
}

InScratchFolder::~InScratchFolder() { KvSetCurrentDir(m_previous.c_str()); }

void CheckFailed(const char* what, const char* file, int line) {
  std::fprintf(stderr, "fuzz: %s:%d: check failed: %s\n", file, line, what);
  std::abort();
}

}  // namespace fuzz
