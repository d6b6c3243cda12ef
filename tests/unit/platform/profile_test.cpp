// The private-profile reading contract the configuration readers rely on.
#include <cstring>
#include <string>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "foundation_fixture.h"

namespace {

class ProfileTest : public kvtest::TempDirTest {
 protected:
  std::string Str(const char* sec, const char* key, const char* def = "DEF", DWORD size = 260) {
    char buf[600];
    std::memset(buf, 'x', sizeof(buf));
    const DWORD n = GetPrivateProfileStringA(sec, key, def, buf, size, config_.c_str());
    EXPECT_EQ(n, std::strlen(buf)) << "count must be the characters copied";
    return buf;
  }
  int Int(const char* sec, const char* key, int def = -7) {
    return static_cast<int>(GetPrivateProfileIntA(sec, key, def, config_.c_str()));
  }
};

TEST_F(ProfileTest, NamesCaseInsensitiveValuesTrimmedOneQuotePairRemoved) {
  WriteConfig(
      "; leading comment\n"
      "  [ Com ]  \n"
      "  comport =  3  \n"
      "Text= \"  quoted  \" \n"
      "Single='x'\n"
      "Twice=\"\"a\"\"\n"
      "Odd=\"open\n"
      "Inner=a;b\n"
      "Eq=a=b\n"
      "   ;Hidden=1\n"
      "Empty=\n");
  EXPECT_EQ(Int("COM", "ComPort"), 3);
  EXPECT_EQ(Int("com", "COMPORT"), 3);
  EXPECT_EQ(Str("COM", "Text"), "  quoted  ");
  EXPECT_EQ(Str("COM", "Single"), "x");
  EXPECT_EQ(Str("COM", "Twice"), "\"a\"");
  EXPECT_EQ(Str("COM", "Odd"), "\"open");
  EXPECT_EQ(Str("COM", "Inner"), "a;b");  // ';' only starts a comment line
  EXPECT_EQ(Str("COM", "Eq"), "a=b");
  EXPECT_EQ(Str("COM", "Hidden"), "DEF");
  EXPECT_EQ(Str("COM", "Empty"), "");  // present but empty: not the default
  EXPECT_EQ(Int("COM", "Empty"), -7);  // an empty number gives the default
}

TEST_F(ProfileTest, FirstMatchWinsAcrossRepeatedKeysAndSections) {
  WriteConfig("[A]\nK=first\nK=second\n[B]\nK=other\n[a]\nK=third\nL=late\n");
  EXPECT_EQ(Str("A", "K"), "first");
  EXPECT_EQ(Str("B", "K"), "other");
  EXPECT_EQ(Str("A", "L"), "DEF");  // a repeated section is not looked at
  EXPECT_EQ(Str("C", "K"), "DEF");
}

TEST_F(ProfileTest, ValueCutToBufferAndCountReturned) {
  WriteConfig("[S]\nK=0123456789\n");
  EXPECT_EQ(Str("S", "K", "", 5), "0123");
  EXPECT_EQ(Str("S", "K", "", 11), "0123456789");
  EXPECT_EQ(Str("S", "K", "", 1), "");
  EXPECT_EQ(Str("S", "Missing", "defaultvalue", 4), "def");
  char untouched = 'z';
  EXPECT_EQ(GetPrivateProfileStringA("S", "K", "", &untouched, 0, config_.c_str()), 0u);
  EXPECT_EQ(untouched, 'z');
}

TEST_F(ProfileTest, MissingFileGivesDefaults) {
  const std::string none = dir_ + "absent.ini";
  char buf[32];
  EXPECT_EQ(GetPrivateProfileStringA("S", "K", "fallback", buf, sizeof(buf), none.c_str()), 8u);
  EXPECT_STREQ(buf, "fallback");
  EXPECT_EQ(GetPrivateProfileStringA("S", "K", nullptr, buf, sizeof(buf), none.c_str()), 0u);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(GetPrivateProfileIntA("S", "K", 42, none.c_str()), 42u);
}

TEST_F(ProfileTest, IntegersParsedLikeTheSystem) {
  WriteConfig("[N]\nA=12abc\nB=abc\nC=-5\nD=  +7 \n");
  EXPECT_EQ(Int("N", "A"), 12);
  EXPECT_EQ(Int("N", "B"), 0);  // present but not a number
  EXPECT_EQ(Int("N", "C"), -5);
  EXPECT_EQ(Int("N", "D"), 7);
}

TEST_F(ProfileTest, FileReadAfreshOnEveryCall) {
  ASSERT_TRUE(kvtest::WriteAll(config_, "[S]\r\nK=crlf\r\n"));
  EXPECT_EQ(Str("S", "K"), "crlf");
  ASSERT_TRUE(kvtest::WriteAll(config_, "[S]\nK=lf"));
  EXPECT_EQ(Str("S", "K"), "lf");  // last line without a line end
}

// A section in one read: "key=value" strings in file order and a final terminator, the count
// without it; when it does not fit with a byte to spare it is cut, two terminators end the buffer
// and the count is nSize - 2 (as the system does).
TEST_F(ProfileTest, SectionReadWholeWithTheBufferRules) {
  WriteConfig("[A]\nK=v\n[Table]\n001=00 x\n002=30 yy\n[C]\nZ=1\n");
  const std::string whole(
      "001=00 x\0"
      "002=30 yy\0\0",
      20);
  for (DWORD size : {64u, 21u}) {
    std::string buf(size, 'q');
    EXPECT_EQ(GetPrivateProfileSectionA("table", &buf[0], size, config_.c_str()), 19u) << size;
    EXPECT_EQ(buf.substr(0, 20), whole) << size;
  }
  for (DWORD size : {20u, 12u}) {  // 20: room for all but no byte to spare
    std::string buf(size, 'q');
    EXPECT_EQ(GetPrivateProfileSectionA("Table", &buf[0], size, config_.c_str()), size - 2) << size;
    EXPECT_EQ(buf.substr(0, 9), whole.substr(0, 9)) << size;
    EXPECT_EQ(buf.substr(size - 2), std::string(2, '\0')) << size;
  }
  char buf[8] = "qqqqqqq";
  EXPECT_EQ(GetPrivateProfileSectionA("None", buf, sizeof(buf), config_.c_str()), 0u);
  EXPECT_EQ(std::string(buf, 2), std::string(2, '\0'));
  const std::string none = dir_ + "absent.ini";
  EXPECT_EQ(GetPrivateProfileSectionA("Table", buf, sizeof(buf), none.c_str()), 0u);
}

#ifndef _WIN32
// A zero byte ends the text of its line, so no name or value holds one: the count returned is the
// value's length, and a section read lists the same entries the key reads find.
TEST_F(ProfileTest, ZeroByteEndsTheTextOfItsLine) {
  const char ini[] = "[S]\nA=P\0Oa\nB=\0x\n\0=\nC=three\n";
  ASSERT_TRUE(kvtest::WriteAll(config_, std::string(ini, sizeof(ini) - 1)));
  EXPECT_EQ(Str("S", "A"), "P");
  EXPECT_EQ(Str("S", "B"), "");
  EXPECT_EQ(Str("S", "C"), "three");
  char buf[64];
  EXPECT_EQ(GetPrivateProfileSectionA("S", buf, sizeof(buf), config_.c_str()), 15u);
  EXPECT_EQ(std::string(buf, 16), std::string("A=P\0B=\0C=three\0\0", 16));
}

// More than 1 MiB, or a device that never ends, counts as a missing file.
TEST_F(ProfileTest, FileBeyondOneMebibyteCountsAsMissing) {
  const std::string head = "[S]\nK=found\n;";
  for (long size : {1L << 20, (1L << 20) + 1}) {
    ASSERT_TRUE(kvtest::WriteAll(config_, head + std::string(static_cast<size_t>(size) - head.size(), 'p')));
    const bool within = size <= (1L << 20);
    EXPECT_EQ(Str("S", "K"), within ? "found" : "DEF") << size;
    char buf[64];
    EXPECT_EQ(GetPrivateProfileSectionA("S", buf, sizeof(buf), config_.c_str()), within ? 8u : 0u) << size;
  }
  ASSERT_EQ(unlink(config_.c_str()), 0);
  ASSERT_EQ(symlink("/dev/zero", config_.c_str()), 0);
  EXPECT_EQ(Str("S", "K"), "DEF");
  EXPECT_EQ(Int("S", "K"), -7);
}
#endif

}  // namespace
