// The diagnostic log: message lines and hex dumps in the day's file beside the library.
//
// Hex dump layout (each line ends CR LF in the file):
//
//   (empty line)
//   【hh:mm:ss】【title】iLen=[0X14(20)]
//    ====== =0==1==2==3==4==5==6==7==8=Hex=9==A==B==C==D==E==F= ======Ascii======
//    0000H: 30 31 32 33 34 35 36 37    38 39 41 42 43 44 45 46 |01234567 89ABCDEF
//    0001H: 47 48 49 4A                                        |GHIJ
//    ====== =================================================== =================
#include "log/Log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "config/Config.h"
#include "log/Retention.h"

namespace {

// One lock for every writer of the process: the retention, the open, the writes and
// the close of one message or one whole dump happen together.
std::mutex g_logLock;

const char kLogFolder[] = "Log\\";
constexpr size_t kTimeSize = 20;
// Threshold from which message lines name their source.
constexpr int kSourceThreshold = 5;
constexpr int kBytesPerRow = 16;
// A dump row: 8 label + 51 bytes + 1 bar + 17 characters + line feed.
constexpr size_t kRowSize = 96;

const char kColumnHeader[] =
    " ====== =0==1==2==3==4==5==6==7==8=Hex=9==A==B==C==D==E==F= ======Ascii======\n";
const char kClosingRule[] = " ====== =================================================== =================\n";

// Keeps the caller's error state: a message logged between a failed call and the
// caller's look at GetLastError (or errno, or the socket error) must not change it.
class ErrorStateKeeper {
 public:
  ErrorStateKeeper() : lastError_(GetLastError()), errno_(errno) {}
  ~ErrorStateKeeper() {
    errno = errno_;
    SetLastError(lastError_);
  }
  ErrorStateKeeper(const ErrorStateKeeper&) = delete;
  ErrorStateKeeper& operator=(const ErrorStateKeeper&) = delete;

 private:
  DWORD lastError_;
  int errno_;
};

// Opens today's file for appending, after the retention when the file is new.
// Caller holds g_logLock.
FILE* OpenLogFile(const char* file) {
  if (file[0] == '\0') return nullptr;
  if (!KvFileExists(file)) DeleteOldLogs();
  return KvFopen(file, "a+");
}

// Formats one dump row starting at byte `r` of `count`.
void FormatRow(char* row, const unsigned char* data, int r, int count) {
  int pos = std::snprintf(row, kRowSize, " %04xH: ", static_cast<unsigned>(r / kBytesPerRow));
  for (int j = r; j < r + kBytesPerRow; ++j) {
    if (j == r + 8) pos += std::snprintf(row + pos, kRowSize - pos, "   ");
    if (j < count) {
      pos += std::snprintf(row + pos, kRowSize - pos, "%02X ", data[j]);
    } else {
      pos += std::snprintf(row + pos, kRowSize - pos, "   ");
    }
  }
  row[pos++] = '|';
  for (int j = r; j < r + kBytesPerRow && j < count; ++j) {
    if (j == r + 8) row[pos++] = ' ';
    const unsigned char c = data[j];
    row[pos++] = (c >= 0x21 && c <= 0x7E) ? static_cast<char>(c) : '.';
  }
  row[pos++] = '\n';
  row[pos] = '\0';
}

}  // namespace

void GetLogFileName(char* out) {
  if (out == nullptr) return;
  out[0] = '\0';
  char folder[kKvPathSize];
  GetModuleDir(folder, sizeof(folder));
  const size_t len = std::strlen(folder);
  if (len + sizeof(kLogFolder) > sizeof(folder)) return;
  std::memcpy(folder + len, kLogFolder, sizeof(kLogFolder));
  CreateDirs(folder);  // a failure shows as a failed open
  char date[kTimeSize];
  FormatNow(date, sizeof(date), "YYYYMMDD");
  const int n = std::snprintf(out, kKvPathSize, "%sErrorLog%s.log", folder, date);
  if (n < 0 || static_cast<size_t>(n) >= kKvPathSize) out[0] = '\0';
}

void WriteLog(SourceLocation location, int level, const char* format, ...) {
  ErrorStateKeeper keeper;
  const int threshold = GetDebugLogLevel();
  if (level > threshold || format == nullptr) return;
  char file[kKvPathSize];
  GetLogFileName(file);
  char message[kLogMessageSize];
  va_list ap;
  va_start(ap, format);
  const int n = std::vsnprintf(message, sizeof(message), format, ap);  // longer: cut to 1023
  va_end(ap);
  if (n < 0) message[0] = '\0';

  std::lock_guard<std::mutex> lock(g_logLock);
  FILE* f = OpenLogFile(file);
  if (f == nullptr) return;
  char now[kTimeSize];
  FormatNow(now, sizeof(now), "hh:mm:ss");
  if (threshold >= kSourceThreshold) {
    std::fprintf(f, "【%s:%d】【%s】%s \n", location.pszFile != nullptr ? location.pszFile : "",
                 location.iLine, now, message);
  } else {
    std::fprintf(f, "【%s】%s \n", now, message);
  }
  std::fflush(f);
  std::fclose(f);
}

namespace {

int WriteHexDump(unsigned level, const char* title, const void* data, int length, int shown,
                 const DumpMask* mask) {
  if (length == 0) return 0;
  ErrorStateKeeper keeper;
  const int threshold = GetDebugLogLevel();
  if (level > static_cast<unsigned>(threshold)) return 0;
  const bool bMask = mask != nullptr && GetMaskCardNumber() != 0;
  char file[kKvPathSize];
  GetLogFileName(file);

  std::lock_guard<std::mutex> lock(g_logLock);
  FILE* f = OpenLogFile(file);
  if (f == nullptr) return -1;
  char now[kTimeSize];
  FormatNow(now, sizeof(now), "hh:mm:ss");
  if (title == nullptr) title = "";
  int count;
  if (shown > 0) {
    std::fprintf(f, "\n【%s】【%s】iLen=[0X%02X(%02d), 0X%02X(%02d)]\n", now, title,
                 static_cast<unsigned>(length), length, static_cast<unsigned>(shown), shown);
    count = shown;
  } else {
    std::fprintf(f, "\n【%s】【%s】iLen=[0X%02X(%02d)]\n", now, title, static_cast<unsigned>(length), length);
    count = length;
  }
  // Without data there is nothing to tabulate.
  if (shown != 0 && data != nullptr) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    std::unique_ptr<unsigned char[]> masked;
    if (bMask && count > 0) {
      masked.reset(new (std::nothrow) unsigned char[static_cast<size_t>(count)]);
      if (!masked) {
        // No room to mask: the title line stands alone rather than the bytes unmasked.
        std::fflush(f);
        std::fclose(f);
        return 0;
      }
      std::memcpy(masked.get(), bytes, static_cast<size_t>(count));
      ApplyDumpMask(masked.get(), static_cast<size_t>(count), *mask);
      bytes = masked.get();
    }
    std::fputs(kColumnHeader, f);
    char row[kRowSize];
    for (int r = 0; r < count; r += kBytesPerRow) {
      FormatRow(row, bytes, r, count);
      std::fputs(row, f);
      if (r > count - kBytesPerRow) break;  // last row; also keeps r + 16 from overflowing
    }
    std::fputs(kClosingRule, f);
  }
  std::fflush(f);
  std::fclose(f);
  return 0;
}

}  // namespace

int WriteHexLog(unsigned level, const char* title, const void* data, int length, int shown) {
  return WriteHexDump(level, title, data, length, shown, nullptr);
}

int WriteHexLog(unsigned level, const char* title, const void* data, int length, int shown,
                const DumpMask& mask) {
  return WriteHexDump(level, title, data, length, shown, &mask);
}
