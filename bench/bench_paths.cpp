// Micro-benchmarks of the library's inner paths, each beside the plain operation it is measured against:
// the receive path (frame assembly, decode, reset) on a stream of noise and frames against memcpy of the
// same bytes; WriteLog at threshold 2 against a bare open-append-close of the same line; the reload of the
// two code-to-text tables of Config.ini (999 entries each, plain and with 250 KB of comment lines ahead).
// Runs in a scratch folder of its own (Config.ini and Log/ there).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "config/Config.h"
#include "engine/MyComm.h"
#include "log/Log.h"
#include "protocol/TransID.h"
#include "ScratchEnv.h"

namespace {

std::string Frame(const std::string& id, const std::string& content) {
  std::string f = "\x02";
  const size_t len = content.size() + 6;
  f += static_cast<char>(len >> 8);
  f += static_cast<char>(len & 0xFF);
  f += id + content + "\x03";
  unsigned char lrc = 0;
  for (unsigned char c : f) lrc ^= c;
  return f + static_cast<char>(lrc);
}

std::string IniText(const std::string& extra) {
  return "[DEBUG_LOG]\r\nDebugLog=2\r\n[COM]\r\nComPort=0\r\n" + extra;
}

// Config.ini of the scratch folder, which is the current directory.
void WriteIni(const std::string& extra) { ScratchEnv::WriteFile("Config.ini", IniText(extra)); }

// Segments of 64 noise bytes (never STX) and one 518-byte answer frame of the current transaction, each
// handed over as one chunk, as the watch thread hands them over.
void BM_ReceivePath(benchmark::State& state) {
  static MyComm comm;
  NewTransID();
  char id[8] = {0};
  GetTransID(id, sizeof id);
  std::string content = "A031010000";
  content.resize(507, 'x');
  const std::string seg = std::string(64, 'A') + Frame(id, content);
  int decoded = 0;
  for (auto _ : state) {
    decoded +=
        comm.AssembleChunk(reinterpret_cast<const unsigned char*>(seg.data()), static_cast<int>(seg.size()));
    comm.ResetReceive();
  }
  if (decoded != static_cast<int>(state.iterations())) state.SkipWithError("a frame was not decoded");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * seg.size()));
}
BENCHMARK(BM_ReceivePath);

void BM_MemcpySameBytes(benchmark::State& state) {
  std::vector<char> src(64 + 518, 'A'), dst(src.size());
  for (auto _ : state) {
    memcpy(dst.data(), src.data(), src.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * src.size()));
}
BENCHMARK(BM_MemcpySameBytes);

// A level-2 line at threshold 2: written, with the threshold read from Config.ini for the message.
void BM_WriteLog(benchmark::State& state) {
  for (auto _ : state) WriteLog(KV_HERE, LOG_ERROR, "bench line %d", 42);
}
BENCHMARK(BM_WriteLog);

void BM_OpenAppendClose(benchmark::State& state) {
  mkdir("Log", 0755);
  const char line[] = "2026-12-08 13:00:00 bench_paths.cpp(88) bench line 42\r\n";
  for (auto _ : state) {
    FILE* f = fopen("Log/plain.log", "ab");
    fputs(line, f);
    fclose(f);
  }
}
BENCHMARK(BM_OpenAppendClose);

// One reload of the two tables: the file's time stamp moves by a second, the next lookup reloads.
void BM_ConfigTableReload(benchmark::State& state) {
  std::string t = "[TRANSNAMEDSP]\r\n", e = "[REEOR_INFORMITION]\r\n";
  char line[64];
  for (int i = 1; i <= 999; ++i) {
    snprintf(line, sizeof line, "%03d=%02d name of type %d\r\n", i, i % 100, i);
    t += line;
    snprintf(line, sizeof line, "%03d=%02d explanation of code %d\r\n", i, i % 100, i);
    e += line;
  }
  std::string pad;
  while (pad.size() < static_cast<size_t>(state.range(0)) * 1024) pad += "; padding line of the file\r\n";
  WriteIni(pad + t + e);  // the padding ahead of the tables: every lookup walks past it
  time_t stamp = time(nullptr) - 100000;
  for (auto _ : state) {
    struct utimbuf ut = {stamp, stamp};
    ++stamp;
    utime("Config.ini", &ut);
    benchmark::DoNotOptimize(GetTransName("30", 2));
  }
  state.SetLabel(std::to_string(state.range(0)) + " KB padding");
  WriteIni("");
}
BENCHMARK(BM_ConfigTableReload)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_ConfigTableReload)->Arg(250)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
  // The library's folder points at the scratch folder (its Log/ is there), and the folder is the
  // current directory: the benchmarks rewrite and touch Config.ini by its relative name.
  ScratchEnv env(IniText(""));
  if (chdir(env.Dir().c_str()) != 0) return 2;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return chdir("/") == 0 ? 0 : 1;  // out of the folder before it is removed
}
