// The base services of the platform seam: errors and their texts, time, text-mode
// files, folder listing, notifications.
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "foundation_fixture.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

#ifndef _WIN32
// The POSIX implementations of the system services (on Windows they are the system's).

std::string SystemText(DWORD code) {
  char buf[256];
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                 MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buf, sizeof(buf), nullptr);
  return n == 0 ? std::string() : std::string(buf, n);
}

TEST(LastErrorTest, KeptPerThread) {
  SetLastError(ERROR_ACCESS_DENIED);
  DWORD other = 99;
  std::thread t([&] {
    other = GetLastError();
    SetLastError(ERROR_INVALID_HANDLE);
  });
  t.join();
  EXPECT_EQ(other, 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(FormatMessageTest, SystemTextsAndTheirLimits) {
  EXPECT_FALSE(SystemText(ERROR_INVALID_HANDLE).empty());
  EXPECT_EQ(SystemText(2), "The system cannot find the file specified.\r\n");
  EXPECT_EQ(SystemText(5), "Access is denied.\r\n");
  EXPECT_EQ(SystemText(6), "The handle is invalid.\r\n");
  EXPECT_EQ(SystemText(32),
            "The process cannot access the file because it is being used by another process.\r\n");
  EXPECT_EQ(SystemText(87), "The parameter is incorrect.\r\n");
  EXPECT_EQ(
      SystemText(995),
      "The I/O operation has been aborted because of either a thread exit or an application request.\r\n");
  EXPECT_EQ(SystemText(1167), "The device is not connected.\r\n");
  EXPECT_EQ(SystemText(1460), "This operation returned because the timeout period expired.\r\n");
  EXPECT_EQ(SystemText(123456), "");
  // Too small a buffer fails and says so.
  char small[8] = "keep";
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 2, 0, small, sizeof(small), nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_STREQ(small, "keep");
  char* allocated = nullptr;
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
                                 ERROR_ACCESS_DENIED, 0, reinterpret_cast<LPSTR>(&allocated), 0, nullptr);
  ASSERT_NE(allocated, nullptr);
  EXPECT_EQ(std::strlen(allocated), n);
  EXPECT_EQ(std::string(allocated), SystemText(ERROR_ACCESS_DENIED));
  EXPECT_EQ(LocalFree(allocated), nullptr);
}

TEST(TimeTest, LocalTimeAndTicks) {
  SYSTEMTIME t;
  GetLocalTime(&t);
  EXPECT_GE(t.wYear, 2020);
  EXPECT_GE(t.wMonth, 1);
  EXPECT_LE(t.wMonth, 12);
  EXPECT_LT(t.wMilliseconds, 1000);
  const DWORD a = GetTickCount();
  Sleep(20);
  const DWORD elapsed = GetTickCount() - a;  // unsigned difference survives the wrap
  EXPECT_GE(elapsed, 15u);
  EXPECT_LT(elapsed, 60000u);
}

TEST(MiscTest, NotificationsFailAndWsprintfFormats) {
  EXPECT_FALSE(IsWindow(nullptr));
  EXPECT_FALSE(PostMessageA(nullptr, WM_USER, 0, 0));
  EXPECT_FALSE(PostThreadMessageA(0, WM_USER, 0, 0));
  char name[32];
  EXPECT_EQ(wsprintfA(name, "\\\\.\\COM%d", 1024), 11);
  EXPECT_STREQ(name, "\\\\.\\COM1024");
}

#endif  // _WIN32

class FileTest : public kvtest::TempDirTest {};

TEST_F(FileTest, TextModeStoresCrLfAndReadsLf) {
  const std::string path = dir_ + "text.txt";
  FILE* f = KvFopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs("one\ntwo\r\n", f);
  std::fprintf(f, "%s\n", "three");
  ASSERT_EQ(std::fclose(f), 0);
  EXPECT_EQ(kvtest::ReadAll(path), "one\r\ntwo\r\r\nthree\r\n");

  f = KvFopen(path.c_str(), "a+");
  ASSERT_NE(f, nullptr);
  std::fputs("four\n", f);
  ASSERT_EQ(std::fclose(f), 0);
  EXPECT_EQ(kvtest::ReadAll(path), "one\r\ntwo\r\r\nthree\r\nfour\r\n");

  ASSERT_TRUE(kvtest::WriteAll(path, "a\r\nb\rc\n\r"));
  f = KvFopen(path.c_str(), "r");
  ASSERT_NE(f, nullptr);
  char buf[32] = {0};
  const size_t n = std::fread(buf, 1, sizeof(buf), f);
  std::fclose(f);
  EXPECT_EQ(std::string(buf, n), "a\nb\rc\n\r");
}

TEST_F(FileTest, BackslashPathsAndOverLongPaths) {
  ASSERT_EQ(KvMakeDir((dir_ + "sub").c_str()), 0);
  const std::string inner = dir_ + "sub\\f.txt";
  ASSERT_TRUE(kvtest::WriteAll(inner, "x"));
  EXPECT_TRUE(KvFileExists((dir_ + "sub" KV_PATH_SEP_STR "f.txt").c_str()));
  KvFileStamp stamp{};
  EXPECT_TRUE(KvGetFileStamp(inner.c_str(), &stamp));
  EXPECT_EQ(stamp.size, 1);
  EXPECT_NE(stamp.mtime, 0);
  EXPECT_FALSE(KvGetFileStamp((dir_ + "none").c_str(), &stamp));
  EXPECT_EQ(stamp.mtime, 0);

  const std::string tooLong = dir_ + std::string(300, 'q');
  EXPECT_EQ(KvFopen(tooLong.c_str(), "w"), nullptr);
  EXPECT_FALSE(KvFileExists(tooLong.c_str()));
  EXPECT_EQ(KvMakeDir(tooLong.c_str()), -1);
  char out[8];
  EXPECT_FALSE(KvNativePath("0123456789", out, sizeof(out)));
  EXPECT_STREQ(out, "");
  EXPECT_EQ(KvRemoveFile(inner.c_str()), 0);
  EXPECT_EQ(KvRemoveFile(inner.c_str()), -1);
}

#ifndef _WIN32
// Every file the library opens (log, Config.ini, receipt, journal, print text) goes through
// KvFopen: none may be inherited by a program the cash register starts.
TEST_F(FileTest, FilesAreCloseOnExec) {
  const std::string path = dir_ + "f.txt";
  ASSERT_TRUE(kvtest::WriteAll(path, "x"));
  for (const char* mode : {"a+", "ab", "w", "rb", "r"}) {
    SCOPED_TRACE(mode);
    FILE* f = KvFopen(path.c_str(), mode);
    ASSERT_NE(f, nullptr);
    int flags = -1;
    for (int fd = 0; fd < 1024 && flags < 0; ++fd) {
      char link[64], target[kKvPathSize];
      std::snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
      const ssize_t n = readlink(link, target, sizeof(target) - 1);
      if (n > 0 && std::string(target, static_cast<size_t>(n)) == path) flags = fcntl(fd, F_GETFD);
    }
    std::fclose(f);
    ASSERT_GE(flags, 0) << "descriptor not found";
    EXPECT_TRUE(flags & FD_CLOEXEC);
  }
}
#endif

struct Names {
  std::vector<std::string> seen;
};

TEST_F(FileTest, ListsMatchingNamesWithoutRegardToCase) {
  for (const char* n : {"ErrorLog1.log", "errorlog2.LOG", "ErrorLog3.txt", "Other.log"}) {
    ASSERT_TRUE(kvtest::WriteAll(dir_ + n, "x"));
  }
  Names names;
  const int count = KvListDir(
      dir_.c_str(), "ErrorLog*.log",
      [](const char* name, void* ctx) { static_cast<Names*>(ctx)->seen.push_back(name); }, &names);
  EXPECT_EQ(count, 2);
  ASSERT_EQ(names.seen.size(), 2u);
  EXPECT_NE(names.seen[0], names.seen[1]);
  for (const std::string& n : names.seen) EXPECT_TRUE(n == "ErrorLog1.log" || n == "errorlog2.LOG") << n;
  EXPECT_EQ(KvListDir((dir_ + "missing").c_str(), "*", nullptr, nullptr), -1);
}

}  // namespace
