// Readers of Config.ini: defaults, the code-to-text tables, reloads, templates.
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "foundation_fixture.h"

namespace {

using kvtest::TempDirTest;

class ConfigTest : public TempDirTest {};

TEST_F(ConfigTest, EveryReaderHasItsDefaultWithoutAFile) {
  ComConfig com;
  std::memset(&com, 0xAB, sizeof(com));
  ReadComConfig(&com);
  EXPECT_EQ(com.dwPort, 1u);
  EXPECT_EQ(com.dwBaudRate, 9600u);
  EXPECT_EQ(com.dwByteSize, 8u);
  EXPECT_EQ(com.dwParity, 0u);
  EXPECT_EQ(com.dwStopBits, 0u);
  ReadComConfig(nullptr);
  EXPECT_EQ(GetDebugLogLevel(), 2);
  EXPECT_STREQ(GetTransName("00", 2), "未定义的交易类型");
  EXPECT_STREQ(GetRejCodeExplain("00", 2), "无此返回码的错误说明");
  EXPECT_STREQ(GetTransName(nullptr, 2), "未定义的交易类型");
  char print[kPrintFileNameSize];
  GetPrintFileName(print);
  EXPECT_STREQ(print, ".\\print.txt");
  EXPECT_EQ(GetContentNum(), 0);
  char line[256] = "garbage";
  ReadContentLine(line, sizeof(line), 1);
  EXPECT_STREQ(line, "");
  EXPECT_EQ(GetConnTimeOut(), 20);
  EXPECT_EQ(GetTradeTimeOut(), 60000);
  EXPECT_EQ(GetMaskCardNumber(), 1);
  char hosts[16] = "garbage";
  GetAllowedHosts(hosts, sizeof(hosts));
  EXPECT_STREQ(hosts, "");
}

// A list cut by the buffer loses its cut entry: "10.0.0.1:8000" cut to "10.0.0.1:80" would allow port 80.
TEST_F(ConfigTest, AllowedHostsNeverEndsInACutEntry) {
  WriteConfig("[DEBUG_LOG]\nMaskCardNumber=0\n[TCP]\nAllowedHosts=1.2.3.4:1,10.0.0.1:8000\n");
  EXPECT_EQ(GetMaskCardNumber(), 0);
  const struct {
    size_t size;
    const char* got;
  } kCases[] = {{64, "1.2.3.4:1,10.0.0.1:8000"}, {21, "1.2.3.4:1"}, {9, ":"}};
  for (const auto& c : kCases) {
    char hosts[64];
    GetAllowedHosts(hosts, c.size);
    EXPECT_STREQ(hosts, c.got) << c.size;
  }
}

TEST_F(ConfigTest, SettingsReadFromTheFile) {
  WriteConfig(
      "[COM]\nComPort=3\nBaudRate=115200\nByteSize=7\nParity=2\nStopBits=2\n"
      "[DEBUG_LOG]\nDebugLog=5\n[TCP]\nConnTimeOut=7\nTradeTimeOut=30\n"
      "[TXTFILECONTENT]\nContentNum=4\n");
  ComConfig com{};
  ReadComConfig(&com);
  EXPECT_EQ(com.dwPort, 3u);
  EXPECT_EQ(com.dwBaudRate, 115200u);
  EXPECT_EQ(com.dwByteSize, 7u);
  EXPECT_EQ(com.dwParity, 2u);
  EXPECT_EQ(com.dwStopBits, 2u);
  EXPECT_EQ(GetDebugLogLevel(), 5);
  EXPECT_EQ(GetConnTimeOut(), 7);
  EXPECT_EQ(GetTradeTimeOut(), 30000);
  EXPECT_EQ(GetContentNum(), 4);
}

TEST_F(ConfigTest, OutOfRangeNumbersAreTamed) {
  WriteConfig("[DEBUG_LOG]\nDebugLog=-3\n[TCP]\nTradeTimeOut=5000000\n");
  EXPECT_EQ(GetDebugLogLevel(), 0);
  EXPECT_EQ(GetTradeTimeOut(), INT_MAX);  // 5e9 ms does not fit: no wrap to a negative wait
}

TEST_F(ConfigTest, TableStopsAtTheFirstGapOrShortLine) {
  WriteConfig(
      "[TRANSNAMEDSP]\n001=00 消费\n002=01 撤销\n004=03 退货\n"
      "[REEOR_INFORMITION]\n001=ab\n002=00 never\n");
  EXPECT_STREQ(GetTransName("00", 2), "消费");
  EXPECT_STREQ(GetTransName("01", 2), "撤销");
  EXPECT_STREQ(GetTransName("03", 2), "未定义的交易类型");
  EXPECT_STREQ(GetRejCodeExplain("00", 2), "无此返回码的错误说明");  // line 001 too short
}

TEST_F(ConfigTest, CodesComparedOnTheGivenLength) {
  WriteConfig(
      "[REEOR_INFORMITION]\n"
      "001=0123456789AB long code\n"
      "002=XYZ\n"
      "003=5 one character\n"
      "004=55 first\n"
      "005=551 second\n"
      "006=77\ttab separated   \n"
      "007=88   " +
      std::string(120, 'w') + "\n");
  EXPECT_STREQ(GetRejCodeExplain("01", 2), "9AB long code");  // nine-character code, rest is text
  EXPECT_STREQ(GetRejCodeExplain("012345678", 9), "9AB long code");
  EXPECT_STREQ(GetRejCodeExplain("XY", 2), "");  // code without text
  EXPECT_STREQ(GetRejCodeExplain("5 ", 2), "无此返回码的错误说明");
  EXPECT_STREQ(GetRejCodeExplain("55", 2), "first");  // earlier key wins
  EXPECT_STREQ(GetRejCodeExplain("551", 3), "second");
  EXPECT_STREQ(GetRejCodeExplain("77", 2), "tab separated");
  EXPECT_EQ(std::string(GetRejCodeExplain("88", 2)), std::string(99, 'w'));
  EXPECT_STREQ(GetRejCodeExplain("55", 0), "无此返回码的错误说明");
  EXPECT_STREQ(GetRejCodeExplain("55", -1), "无此返回码的错误说明");
}

TEST_F(ConfigTest, TableSectionGivesWhatTheKeyReaderGave) {
  WriteConfig("[TRANSNAMEDSP]\n001=\"00 quoted\"\n 002 =  01   blanks  \n002=01 repeated\n003=02 " +
              std::string(300, 'w') +
              "\n;004=03 comment\n005=04 after the gap\n[TRANSNAMEDSP]\n004=03 later section\n");
  EXPECT_STREQ(GetTransName("00", 2), "quoted");
  EXPECT_STREQ(GetTransName("01", 2), "blanks");  // the first of a repeated key
  EXPECT_EQ(std::string(GetTransName("02", 2)), std::string(99, 'w'));
  EXPECT_STREQ(GetTransName("03", 2), KV_DEFAULT_TRANS_NAME);
  EXPECT_STREQ(GetTransName("04", 2), KV_DEFAULT_TRANS_NAME);
}

// Two 999-line tables behind 900 KB of other text: a reload reads each section once (a walk of the
// file per line took seconds on such a file). The bound only catches that walk, never a slow machine.
TEST_F(ConfigTest, LargeTablesInALargeFileReloadInOnePass) {
  std::string ini = "[PAD]\n";
  while (ini.size() < 900000) ini += ";" + std::string(99, 'p') + "\n";
  char line[64];
  for (const char* section : {"TRANSNAMEDSP", "REEOR_INFORMITION"}) {
    ini += std::string("[") + section + "]\n";
    for (int n = 1; n <= 999; ++n) {
      std::snprintf(line, sizeof(line), "%03d=c%03d text%03d\n", n, n, n);
      ini += line;
    }
  }
  WriteConfig(ini);
  const auto t0 = std::chrono::steady_clock::now();
  LoadCodeTextLists();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  EXPECT_STREQ(GetTransName("c999", 4), "text999");
  EXPECT_STREQ(GetRejCodeExplain("c998", 4), "text998");
}

TEST_F(ConfigTest, TablesReloadWhenTheFileChangesAndOldTextsStayValid) {
  WriteConfig("[TRANSNAMEDSP]\n001=00 old\n");
  const char* before = GetTransName("00", 2);
  EXPECT_STREQ(before, "old");
  WriteConfig("[TRANSNAMEDSP]\n001=00 newer\n");
  EXPECT_STREQ(GetTransName("00", 2), "newer");
  EXPECT_STREQ(before, "old");  // a text handed out earlier is still readable

  // Same size, same content length: the modification time alone tells the change.
  WriteConfig("[TRANSNAMEDSP]\n001=00 other\n");
  ASSERT_TRUE(KvSetFileTime(config_.c_str(), 1000000000));
  EXPECT_STREQ(GetTransName("00", 2), "other");
  WriteConfig("[TRANSNAMEDSP]\n001=00 again\n");
  ASSERT_TRUE(KvSetFileTime(config_.c_str(), 1000000100));
  EXPECT_STREQ(GetTransName("00", 2), "again");

  ASSERT_EQ(KvRemoveFile(config_.c_str()), 0);
  EXPECT_STREQ(GetTransName("00", 2), "未定义的交易类型");
}

#ifndef _WIN32
// POSIX only: the Windows profile reader keeps its own copy of a file whose time did not change.
TEST_F(ConfigTest, ExplicitLoadTakesAFileWhoseStampDidNotChange) {
  WriteConfig("[TRANSNAMEDSP]\n001=00 first\n");
  ASSERT_TRUE(KvSetFileTime(config_.c_str(), 1000000000));
  EXPECT_STREQ(GetTransName("00", 2), "first");
  WriteConfig("[TRANSNAMEDSP]\n001=00 other\n");  // same size, time set back
  ASSERT_TRUE(KvSetFileTime(config_.c_str(), 1000000000));
  EXPECT_STREQ(GetTransName("00", 2), "first");
  LoadCodeTextLists();
  EXPECT_STREQ(GetTransName("00", 2), "other");
}
#endif

TEST_F(ConfigTest, ThePathDecidesWhichFileIsRead) {
  WriteConfig("[TRANSNAMEDSP]\n001=00 beside\n");
  const std::string other = dir_ + "other.ini";
  ASSERT_TRUE(kvtest::WriteAll(other, "[TRANSNAMEDSP]\r\n001=00 elsewhere\r\n"));
  EXPECT_STREQ(GetTransName("00", 2), "beside");
  SetConfigFile(other.c_str());
  EXPECT_STREQ(GetTransName("00", 2), "elsewhere");
  char path[kKvPathSize];
  GetConfigFile(path, sizeof(path));
  EXPECT_EQ(other, path);
}

TEST_F(ConfigTest, TheLoadTimePathIsTheCurrentFolder) {
  WriteConfig("[TRANSNAMEDSP]\n001=00 here\n[TCP]\nConnTimeOut=11\n");
  char cwd[kKvPathSize];
  ASSERT_TRUE(KvGetCurrentDir(cwd, sizeof(cwd)));
  ASSERT_TRUE(KvSetCurrentDir(dir_.c_str()));
  SetConfigFile(".\\Config.ini");
  EXPECT_STREQ(GetTransName("00", 2), "here");
  EXPECT_EQ(GetConnTimeOut(), 11);
  const std::string empty = dir_ + "empty";
  ASSERT_EQ(KvMakeDir(empty.c_str()), 0);
  ASSERT_TRUE(KvSetCurrentDir(empty.c_str()));
  EXPECT_STREQ(GetTransName("00", 2), "未定义的交易类型");  // same path, other folder: reloaded
  ASSERT_TRUE(KvSetCurrentDir(cwd));
}

TEST_F(ConfigTest, OverLongConfigPathIsRefusedLikeAMissingFile) {
  WriteConfig("[TCP]\nConnTimeOut=9\n");
  EXPECT_EQ(GetConnTimeOut(), 9);
  const std::string longPath = dir_ + std::string(300, 'a') + ".ini";
  SetConfigFile(longPath.c_str());
  char path[kKvPathSize] = "x";
  GetConfigFile(path, sizeof(path));
  EXPECT_STREQ(path, "");
  EXPECT_EQ(GetConnTimeOut(), 20);
  const std::string fits(259, 'b');
  SetConfigFile(fits.c_str());
  GetConfigFile(path, sizeof(path));
  EXPECT_EQ(fits, path);
}

TEST_F(ConfigTest, TemplateLinesResolveTheirEscapes) {
  WriteConfig(
      "[TXTFILECONTENT]\n"
      "001=one\\ntwo\\Nthree\n"
      "002=a\\\\nb\n"
      "003=keep\\t\\x\n"
      "004=end\\\n"
      "005=\x81\\n\n"
      "006=0123456789\n"
      "008=\\\x95\\n\\\x95\\\\n\n");
  char line[256];
  ReadContentLine(line, sizeof(line), 1);
  EXPECT_STREQ(line, "one\ntwo\nthree");
  ReadContentLine(line, sizeof(line), 2);
  EXPECT_STREQ(line, "a\\nb");  // two backslashes give one, the n stays a letter
  ReadContentLine(line, sizeof(line), 3);
  EXPECT_STREQ(line, "keep\\t\\x");
  ReadContentLine(line, sizeof(line), 4);
  EXPECT_STREQ(line, "end\\");
  ReadContentLine(line, sizeof(line), 5);
  EXPECT_STREQ(line, "\x81\\n");  // 0x81 0x5C is one GBK character, not an escape
  // A backslash before a double-byte character stays with it, and that character's
  // trail byte 0x5C starts no escape; the escape after the second one still resolves.
  ReadContentLine(line, sizeof(line), 8);
  EXPECT_STREQ(line, "\\\x95\\n\\\x95\\\n");
  char small[5];
  ReadContentLine(small, sizeof(small), 6);
  EXPECT_STREQ(small, "0123");
  ReadContentLine(line, sizeof(line), 7);
  EXPECT_STREQ(line, "");
}

TEST_F(ConfigTest, PrintFileNameJoinsFolderAndNameAndCreatesTheFolder) {
  const std::string folder = dir_ + "receipts\\day";
  WriteConfig("[TXTFILENAME]\nFilePath=" + folder + "\nFileName=r.txt\n");
  char out[kPrintFileNameSize];
  GetPrintFileName(out);
  EXPECT_EQ(std::string(out), folder + "\\r.txt");
  EXPECT_TRUE(KvFileExists((dir_ + "receipts\\day").c_str()));

  WriteConfig("[TXTFILENAME]\nFilePath=\nFileName=r.txt\n");
  GetPrintFileName(out);
  EXPECT_STREQ(out, ".\\r.txt");  // empty folder: the current one

  WriteConfig("[TXTFILENAME]\nFilePath=" + std::string(259, 'p') + "\n");
  GetPrintFileName(out);
  EXPECT_STREQ(out, "");  // no room for the separator: no path rather than a wrong one
}

TEST_F(ConfigTest, LookupsDuringReloadsOnOtherThreads) {
  const std::string a = "[TRANSNAMEDSP]\n001=00 alpha\n002=01 beta\n[REEOR_INFORMITION]\n001=00 ok\n";
  const std::string b = "[TRANSNAMEDSP]\n001=00 gamma-long\n002=01 delta-long\n";
  WriteConfig(a);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        const std::string n = GetTransName("00", 2);
        const std::string m = GetTransName("01", 2);
        const std::string e = GetRejCodeExplain("00", 2);
        if (n != "alpha" && n != "gamma-long" && n != "未定义的交易类型") ++bad;
        if (m != "beta" && m != "delta-long" && m != "未定义的交易类型") ++bad;
        if (e != "ok" && e != "无此返回码的错误说明") ++bad;
      }
    });
  }
  for (int i = 0; i < 40; ++i) {
    std::string text = (i % 2 == 0) ? b : a;
    std::string crlf;
    for (char c : text) {
      if (c == '\n') crlf += '\r';
      crlf += c;
    }
    kvtest::WriteAll(config_, crlf);
    KvSetFileTime(config_.c_str(), 1000000000 + i);
    GetTransName("00", 2);
  }
  stop = true;
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
