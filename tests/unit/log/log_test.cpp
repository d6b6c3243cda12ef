// The diagnostic log: line layouts, threshold, hex dumps, text mode, retention trigger,
// and writers on several threads.
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "foundation_fixture.h"
#include "log/Log.h"

namespace {

class LogTest : public kvtest::TempDirTest {
 protected:
  void SetThreshold(int level) { WriteConfig("[DEBUG_LOG]\nDebugLog=" + std::to_string(level) + "\n"); }
  std::string LogPath() {
    char file[kKvPathSize];
    GetLogFileName(file);
    return file;
  }
  std::string LogText() { return kvtest::ReadAll(LogPath()); }
  // The file's lines without their CR LF; fails the test on a bare LF or CR.
  std::vector<std::string> LogLines() {
    const std::string text = LogText();
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\n') {
        EXPECT_TRUE(i > 0 && text[i - 1] == '\r') << "bare line feed at " << i;
        lines.push_back(text.substr(start, i - start - 1));
        start = i + 1;
      }
    }
    EXPECT_EQ(start, text.size()) << "text after the last line end";
    return lines;
  }
};

const char kHeader[] = " ====== =0==1==2==3==4==5==6==7==8=Hex=9==A==B==C==D==E==F= ======Ascii======";
const char kRule[] = " ====== =================================================== =================";

TEST_F(LogTest, NothingAtAllWhenTheThresholdIsZero) {
  SetThreshold(0);
  WriteLog(KV_HERE, 1, "fatal %d", 1);
  const unsigned char data[4] = {1, 2, 3, 4};
  EXPECT_EQ(WriteHexLog(1, "t", data, 4, -1), 0);
  EXPECT_FALSE(KvFileExists((dir_ + "Log").c_str()));
  SetThreshold(-4);  // below zero counts as zero
  WriteLog(KV_HERE, 1, "fatal");
  EXPECT_FALSE(KvFileExists((dir_ + "Log").c_str()));
}

TEST_F(LogTest, DefaultThresholdLineLayout) {
  WriteLog(KV_HERE, 2, "发送%s失败 %d", "消费", 7);
  WriteLog(KV_HERE, 3, "not at the default threshold");
  const std::string path = LogPath();
  EXPECT_EQ(path.substr(0, dir_.size()), dir_);
  EXPECT_TRUE(kvtest::MatchesDigits(path.substr(dir_.size()), "Log\\ErrorLog########.log")) << path;
  const std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(kvtest::MatchesDigits(lines[0], "【##:##:##】发送消费失败 7 ")) << lines[0];
  EXPECT_EQ(lines[0].substr(0, 2), "\xA1\xBE");  // full-width bracket in GBK
}

TEST_F(LogTest, SourceNamedFromThresholdFive) {
  SetThreshold(5);
  const int line = __LINE__ + 1;
  WriteLog(KV_HERE, 5, "Destination IP: %s", "127.0.0.1");
  const std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 1u);
  const std::string expected =
      "【log_test.cpp:" + std::to_string(line) + "】【##:##:##】Destination IP: 127.0.0.1 ";
  EXPECT_TRUE(kvtest::MatchesDigits(lines[0], expected)) << lines[0];
}

TEST_F(LogTest, LevelAboveThresholdSkippedAndLineFeedsBecomeCrLf) {
  SetThreshold(4);
  WriteLog(KV_HERE, 5, "skipped");
  WriteLog(KV_HERE, 4, "first\nsecond");
  const std::string text = LogText();
  EXPECT_TRUE(kvtest::MatchesDigits(text, "【##:##:##】first\r\nsecond \r\n")) << text;
}

TEST_F(LogTest, TheCallersErrorStateSurvivesLogging) {
  SetThreshold(6);
  SetLastError(ERROR_INVALID_HANDLE);
  errno = ERANGE;
  WriteLog(KV_HERE, 1, "after a failed call");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(errno, ERANGE);
  ASSERT_TRUE(kvtest::WriteAll(dir_ + "plain", "a file where a folder should be"));
  SetModuleDirOverride((dir_ + "plain" KV_PATH_SEP_STR "sub").c_str());
  SetLastError(ERROR_ACCESS_DENIED);
  EXPECT_EQ(WriteHexLog(1, "t", "ab", 2, -1), -1);  // the open fails
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(errno, ERANGE);
}

TEST_F(LogTest, LongMessageCutTo1023Characters) {
  const std::string big(3000, 'x');
  WriteLog(KV_HERE, 1, "%s", big.c_str());
  const std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(kvtest::MatchesDigits(lines[0], "【##:##:##】" + std::string(1023, 'x') + " "));
}

TEST_F(LogTest, OverLongLogPathWritesNothing) {
  // The folder fits 260 bytes, the file name in it does not.
  std::string deep = dir_ + std::string(236 - dir_.size(), 'd');
  ASSERT_EQ(KvMakeDir(deep.c_str()), 0);
  SetModuleDirOverride(deep.c_str());
  char file[kKvPathSize] = "x";
  GetLogFileName(file);
  EXPECT_STREQ(file, "");
  WriteLog(KV_HERE, 1, "lost quietly");
  EXPECT_EQ(WriteHexLog(1, "t", "ab", 2, -1), -1);
  EXPECT_EQ(KvListDir((deep + KV_PATH_SEP_STR "Log").c_str(), "*", nullptr, nullptr), 0);
}

TEST_F(LogTest, HexDumpTitleOnly) {
  SetThreshold(5);
  char record[106];
  std::memset(record, ' ', sizeof(record));
  EXPECT_EQ(WriteHexLog(5, "传入参数", record, 0, -1), 0);  // length 0: nothing
  EXPECT_FALSE(KvFileExists(LogPath().c_str()));
  EXPECT_EQ(WriteHexLog(5, "传入参数", record, 106, 0), 0);
  EXPECT_TRUE(kvtest::MatchesDigits(LogText(), "\r\n【##:##:##】【传入参数】iLen=[0X6A(106)]\r\n"))
      << LogText();
}

TEST_F(LogTest, HexDumpOfTwentyBytes) {
  SetThreshold(4);
  const char data[] = "0123456789ABCDEFGHIJ";
  EXPECT_EQ(WriteHexLog(4, "发送消费请求包数据", data, 20, -1), 0);
  const std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "");
  EXPECT_TRUE(kvtest::MatchesDigits(lines[1], "【##:##:##】【发送消费请求包数据】iLen=[0X14(20)]"))
      << lines[1];
  EXPECT_EQ(lines[2], kHeader);
  EXPECT_EQ(lines[3], " 0000H: 30 31 32 33 34 35 36 37    38 39 41 42 43 44 45 46 |01234567 89ABCDEF");
  EXPECT_EQ(lines[4], " 0001H: 47 48 49 4A " + std::string(39, ' ') + "|GHIJ");
  EXPECT_EQ(lines[5], kRule);
  EXPECT_EQ(lines[2].size(), 77u);
  EXPECT_EQ(lines[3].size(), 77u);
  EXPECT_EQ(lines[5].size(), 77u);
}

TEST_F(LogTest, HexDumpOfThePrefixOfALongerBuffer) {
  SetThreshold(5);
  std::vector<unsigned char> data(300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i);
  EXPECT_EQ(WriteHexLog(5, "串口 > 后台 数据头", data.data(), 300, 61), 0);
  const std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 8u);  // empty, title, header, 4 rows, rule
  EXPECT_TRUE(
      kvtest::MatchesDigits(lines[1], "【##:##:##】【串口 > 后台 数据头】iLen=[0X12C(300), 0X3D(61)]"));
  EXPECT_EQ(lines[6],
            " 0003H: 30 31 32 33 34 35 36 37    38 39 3A 3B 3C " + std::string(9, ' ') + "|01234567 89:;<");
  EXPECT_EQ(lines[7], kRule);
}

TEST_F(LogTest, HexDumpRowBoundariesAndCharacterColumn) {
  SetThreshold(6);
  std::vector<unsigned char> data(176, 0x41);
  data[0] = 0x20;
  data[1] = 0x7F;
  data[2] = 0xB0;
  data[3] = 0x21;
  data[4] = 0x7E;
  EXPECT_EQ(WriteHexLog(6, "a", data.data(), 16, -1), 0);
  EXPECT_EQ(WriteHexLog(6, "b", data.data(), 17, -1), 0);
  EXPECT_EQ(WriteHexLog(6, "c", data.data(), 176, -1), 0);
  const std::vector<std::string> lines = LogLines();
  // a: empty, title, header, 1 row, rule; b: 2 rows; c: 11 rows.
  ASSERT_EQ(lines.size(), 5u + 6u + 15u);
  EXPECT_EQ(lines[3], " 0000H: 20 7F B0 21 7E 41 41 41    41 41 41 41 41 41 41 41 |...!~AAA AAAAAAAA");
  EXPECT_EQ(lines[4], kRule);
  EXPECT_EQ(lines[9], " 0001H: 41 " + std::string(48, ' ') + "|A");
  EXPECT_EQ(lines[10], kRule);
  EXPECT_EQ(lines[24].substr(0, 8), " 000aH: ");
  EXPECT_EQ(lines[25], kRule);
}

TEST_F(LogTest, HexDumpLevelsFollowTheThreshold) {
  SetThreshold(4);
  EXPECT_EQ(WriteHexLog(5, "接收到的数据", "x", 1, -1), 0);
  EXPECT_EQ(WriteHexLog(6, "接收到的数据内容如下：", "x", 1, 1), 0);
  EXPECT_FALSE(KvFileExists(LogPath().c_str()));
  EXPECT_EQ(WriteHexLog(4, "获取消费应答包数据", "x", 1, -1), 0);
  EXPECT_TRUE(KvFileExists(LogPath().c_str()));
}

TEST_F(LogTest, RetentionRunsWhenTheDayFileIsCreated) {
  char cwd[kKvPathSize];
  ASSERT_TRUE(KvGetCurrentDir(cwd, sizeof(cwd)));
  ASSERT_TRUE(KvSetCurrentDir(dir_.c_str()));
  ASSERT_EQ(CreateDirs((dir_ + "Log").c_str()), 0);
  const std::string old1 = dir_ + "Log" KV_PATH_SEP_STR "ErrorLog20000101.log";
  const std::string old2 = dir_ + "Log" KV_PATH_SEP_STR "ErrorLog20000102.log";
  const std::string undated = dir_ + "Log" KV_PATH_SEP_STR "ErrorLog.log";
  ASSERT_TRUE(kvtest::WriteAll(old1, "old"));
  ASSERT_TRUE(kvtest::WriteAll(undated, "keep"));
  WriteLog(KV_HERE, 1, "first of the day");
  EXPECT_FALSE(KvFileExists(old1.c_str()));
  EXPECT_TRUE(KvFileExists(undated.c_str()));
  ASSERT_TRUE(kvtest::WriteAll(old2, "old"));
  WriteLog(KV_HERE, 1, "second of the day");
  EXPECT_TRUE(KvFileExists(old2.c_str()));  // the day's file exists: no retention
  ASSERT_EQ(KvRemoveFile(LogPath().c_str()), 0);
  EXPECT_EQ(WriteHexLog(1, "t", "ab", 2, 0), 0);
  EXPECT_FALSE(KvFileExists(old2.c_str()));
  EXPECT_TRUE(KvSetCurrentDir(cwd));
}

TEST_F(LogTest, WritersOnSeveralThreadsNeverInterleaveADump) {
  SetThreshold(6);
  constexpr int kRounds = 30;
  unsigned char data[40];
  for (int i = 0; i < 40; ++i) data[i] = static_cast<unsigned char>('a' + i % 26);
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) WriteHexLog(5, "dump", data, 40, -1);
    });
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) WriteLog(KV_HERE, 2, "line %d", i);
    });
  }
  for (std::thread& th : threads) th.join();
  const std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 2u * kRounds * (1 + 7));
  int dumps = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] != kHeader) continue;
    ++dumps;
    ASSERT_LT(i + 4, lines.size());
    EXPECT_TRUE(lines[i - 2].empty());
    EXPECT_NE(lines[i - 1].find("【dump】"), std::string::npos);
    EXPECT_EQ(lines[i + 1].substr(0, 8), " 0000H: ");
    EXPECT_EQ(lines[i + 2].substr(0, 8), " 0001H: ");
    EXPECT_EQ(lines[i + 3].substr(0, 8), " 0002H: ");
    EXPECT_EQ(lines[i + 4], kRule);
  }
  EXPECT_EQ(dumps, 2 * kRounds);
}

}  // namespace

// The retention looks at the folder the log is written to (beside the library), whatever the
// current directory is, and leaves a "Log" folder under the current directory alone.
TEST_F(LogTest, RetentionCleansTheLibrarysFolderNotTheCurrentOne) {
  char cwd[kKvPathSize];
  ASSERT_TRUE(KvGetCurrentDir(cwd, sizeof(cwd)));
  char other[kKvPathSize];
  ASSERT_TRUE(KvMakeTempDir(other, sizeof(other)));
  const std::string otherDir = std::string(other) + KV_PATH_SEP_STR;
  ASSERT_EQ(CreateDirs((otherDir + "Log").c_str()), 0);
  ASSERT_EQ(CreateDirs((dir_ + "Log").c_str()), 0);
  const std::string foreign = otherDir + "Log" KV_PATH_SEP_STR "ErrorLog20000101.log";
  const std::string ours = dir_ + "Log" KV_PATH_SEP_STR "ErrorLog20000101.log";
  ASSERT_TRUE(kvtest::WriteAll(foreign, "someone else's"));
  ASSERT_TRUE(kvtest::WriteAll(ours, "old"));
  ASSERT_TRUE(KvSetCurrentDir(otherDir.c_str()));
  WriteLog(KV_HERE, 1, "first of the day");
  EXPECT_TRUE(KvSetCurrentDir(cwd));
  EXPECT_FALSE(KvFileExists(ours.c_str()));
  EXPECT_TRUE(KvFileExists(foreign.c_str()));
  EXPECT_TRUE(KvFileExists(LogPath().c_str()));
  KvRemoveTree(otherDir.c_str());
}
