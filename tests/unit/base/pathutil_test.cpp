// Time patterns, file-name parts, folder creation and the library's folder.
#include <cstring>
#include <string>
#include <vector>

#include "foundation_fixture.h"

namespace {

SYSTEMTIME At(int y, int mo, int d, int h, int mi, int s) {
  SYSTEMTIME t{};
  t.wYear = static_cast<WORD>(y);
  t.wMonth = static_cast<WORD>(mo);
  t.wDay = static_cast<WORD>(d);
  t.wHour = static_cast<WORD>(h);
  t.wMinute = static_cast<WORD>(mi);
  t.wSecond = static_cast<WORD>(s);
  return t;
}

std::string Fmt(const char* pattern, const SYSTEMTIME& t, size_t size = 64) {
  char out[64];
  std::memset(out, '#', sizeof(out));
  EXPECT_EQ(FormatTime(out, size, pattern, t), out);
  return out;
}

TEST(FormatTimeTest, PatternsInUseAndRunWidths) {
  const SYSTEMTIME t = At(2026, 12, 7, 4, 40, 28);
  EXPECT_EQ(Fmt("YYYYMMDD", t), "20261207");
  EXPECT_EQ(Fmt("hh:mm:ss", t), "04:40:28");
  EXPECT_EQ(Fmt(nullptr, t), "2026-12-07 04:40:28");
  EXPECT_EQ(Fmt("", t), "2026-12-07 04:40:28");
  EXPECT_EQ(Fmt("Y-M-D", t), "26-12-07");
  EXPECT_EQ(Fmt("YY/YYY", t), "26/2026");
  EXPECT_EQ(Fmt("h:m:s", At(2009, 1, 2, 3, 4, 5)), "03:04:05");
  EXPECT_EQ(Fmt("MMM", t), "0012");
  EXPECT_EQ(Fmt("YYYYY", t), "002026");  // wider than four: the whole year, padded
  EXPECT_EQ(Fmt("YYYYYY", At(2005, 1, 1, 0, 0, 0)), "2005");
  EXPECT_EQ(Fmt("Day hMs", t), "07ay 041228");  // a different letter starts a new run
  EXPECT_EQ(Fmt("x%sy", t), "x%28y");           // no format directives are interpreted
}

TEST(FormatTimeTest, NeverWritesPastTheGivenSize) {
  const SYSTEMTIME t = At(2026, 12, 7, 4, 40, 28);
  char out[32];
  std::memset(out, '#', sizeof(out));
  FormatTime(out, 5, "YYYY-MM-DD hh:mm:ss", t);
  EXPECT_STREQ(out, "2026");
  EXPECT_EQ(out[5], '#');
  std::memset(out, '#', sizeof(out));
  FormatTime(out, 1, "hh", t);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(out[1], '#');
  std::memset(out, '#', sizeof(out));
  FormatTime(out, 0, "hh", t);
  EXPECT_EQ(out[0], '#');
  std::memset(out, '#', sizeof(out));
  FormatTime(out, 8, "YYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYY", t);  // width 56
  EXPECT_STREQ(out, "0000000");
  EXPECT_EQ(out[8], '#');
  std::memset(out, '#', sizeof(out));
  FormatNow(out, 9, "hh:mm:ss");
  EXPECT_TRUE(kvtest::MatchesDigits(out, "##:##:##"));
  EXPECT_EQ(out[9], '#');
}

TEST(GetFileNamePartTest, AfterTheLastSeparator) {
  EXPECT_STREQ(GetFileNamePart("D:\\src\\engine\\MyComm.cpp"), "MyComm.cpp");
  EXPECT_STREQ(GetFileNamePart("/work/src/log/Log.cpp"), "Log.cpp");
  EXPECT_STREQ(GetFileNamePart("Plain.cpp"), "Plain.cpp");
  EXPECT_STREQ(GetFileNamePart("dir\\"), "");
  EXPECT_STREQ(GetFileNamePart(""), "");
  EXPECT_STREQ(GetFileNamePart(nullptr), "");
  // 0x81 0x5C is one character only where 0x81 leads a double-byte character of the system's
  // narrow path encoding (a Windows ANSI code page such as 936); a POSIX path is bytes.
  EXPECT_STREQ(GetFileNamePart("a\\\x81\\b.txt"), KvIsPathLeadByte(0x81) ? "\x81\\b.txt" : "b.txt");
#ifndef _WIN32
  EXPECT_FALSE(KvIsPathLeadByte(0x81));
#endif
}

class PathTest : public kvtest::TempDirTest {};

TEST_F(PathTest, CreateDirsMakesEveryLevel) {
  const std::string deep = dir_ + "a\\b/c\\";
  EXPECT_EQ(CreateDirs(deep.c_str()), 0);
  EXPECT_TRUE(KvFileExists((dir_ + "a\\b\\c").c_str()));
  EXPECT_EQ(CreateDirs(deep.c_str()), 0);  // existing folders are fine
  const std::string last = dir_ + "x\\y";
  EXPECT_EQ(CreateDirs(last.c_str()), 0);
  EXPECT_TRUE(KvFileExists(last.c_str()));
}

// Folder names of the system's narrow encoding with bytes above 0x7F, of odd and even byte
// counts: no byte of a name may hide the separator after it.
std::vector<std::string> NonAsciiNames() {
#ifdef _WIN32
  if (GetACP() == 936) return {"\xCA\xD5", "\xCA\xD5\xD2\xF8\xCC\xA8", "a\xCA\xD5"};  // GBK
  return {"Kass\xE9", "\xE9", "\xC4\xD6"};  // any single-byte code page
#else
  return {"\xC3\xA9",                                     // 2 bytes
          "\xE6\x94\xB6",                                 // 3 bytes
          "\xE6\x94\xB6\xE9\x93\xB6",                     // 6 bytes
          "\xE6\x94\xB6\xE9\x93\xB6\xE5\x8F\xB0",         // 9 bytes: the folder of a cash desk
          "\xF0\x9D\x84\x9E",                             // 4 bytes
          "a\xC3\xA9\xE6\x94\xB6\xF0\x9D\x84\x9E"};       // 1 + 2 + 3 + 4 = 10 bytes
#endif
}

TEST_F(PathTest, NonAsciiFolderNamesKeepTheirSeparators) {
  for (const std::string& name : NonAsciiNames()) {
    SCOPED_TRACE(name);
    for (const char* sep : {"\\", "/"}) {
      const std::string folder = dir_ + name + sep;
      EXPECT_STREQ(GetFileNamePart((folder + "libKorvessaDLL.so").c_str()), "libKorvessaDLL.so");
      EXPECT_STREQ(GetFileNamePart((folder + name).c_str()), name.c_str());
      EXPECT_EQ(CreateDirs((folder + "Log" + sep).c_str()), 0);
      EXPECT_TRUE(KvFileExists((dir_ + name + KV_PATH_SEP_STR "Log").c_str()));
      EXPECT_FALSE(KvFileExists((dir_ + "Log").c_str()));  // not a level above
    }
#ifndef _WIN32
    char native[kKvPathSize];
    ASSERT_TRUE(KvNativePath(("a\\" + name + "\\b").c_str(), native, sizeof(native)));
    EXPECT_EQ("a/" + name + "/b", std::string(native));
#endif
  }
}

TEST_F(PathTest, CreateDirsFailures) {
  const std::string file = dir_ + "plain";
  ASSERT_TRUE(kvtest::WriteAll(file, "x"));
  EXPECT_EQ(CreateDirs((file + "\\sub").c_str()), -1);
  EXPECT_EQ(CreateDirs(""), -1);
  EXPECT_EQ(CreateDirs(nullptr), -1);
  const std::string tooLong = dir_ + std::string(300, 'L') + "\\";
  EXPECT_EQ(CreateDirs(tooLong.c_str()), -1);
  const std::string fits = dir_ + std::string(259 - dir_.size(), 'F');
  EXPECT_EQ(CreateDirs(fits.c_str()), 0);
  EXPECT_TRUE(KvFileExists(fits.c_str()));
}

TEST_F(PathTest, ModuleDirFromTheOverrideTheModuleOrTheCurrentFolder) {
  char out[kKvPathSize];
  GetModuleDir(out, sizeof(out));
  EXPECT_EQ(dir_, out);
  const std::string noSep = dir_ + "sub";
  SetModuleDirOverride(noSep.c_str());
  GetModuleDir(out, sizeof(out));
  EXPECT_EQ(noSep + KV_PATH_SEP_STR, out);
  char small[4] = "abc";
  GetModuleDir(small, sizeof(small));  // too small for the folder: the current folder
  EXPECT_STREQ(small, "." KV_PATH_SEP_STR);

  SetModuleDirOverride(nullptr);
  const HMODULE saved = GetModuleHandleForPaths();
  SetModuleHandleForPaths(nullptr);
  GetModuleDir(out, sizeof(out));
  EXPECT_STREQ(out, "." KV_PATH_SEP_STR);  // handle unknown

#ifdef _WIN32
  SetModuleHandleForPaths(GetModuleHandleA(nullptr));
#else
  SetModuleHandleForPaths(reinterpret_cast<HMODULE>(1));  // any handle names this library
#endif
  GetModuleDir(out, sizeof(out));
  const size_t len = std::strlen(out);
  ASSERT_GT(len, 2u);
  EXPECT_EQ(out[len - 1], KV_PATH_SEP);
  EXPECT_NE(std::string(out), "." KV_PATH_SEP_STR);
  EXPECT_TRUE(KvFileExists(out));
  char module[kKvPathSize];
  const DWORD n = GetModuleFileNameA(GetModuleHandleForPaths(), module, sizeof(module));
  ASSERT_GT(n, len);
  EXPECT_EQ(std::string(module, len), out);
  EXPECT_TRUE(KvFileExists(module));
  SetModuleHandleForPaths(saved);
}

}  // namespace
