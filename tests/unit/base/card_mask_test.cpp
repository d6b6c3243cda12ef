// Card numbers in the log: the masking rules, and hex dumps with masking on and off.
#include <string>
#include <vector>

#include "HexDumps.h"
#include "foundation_fixture.h"
#include "base/CardMask.h"
#include "log/Log.h"

namespace {

std::string Masked(std::string s, void (*fn)(unsigned char*, size_t)) {
  fn(reinterpret_cast<unsigned char*>(&s[0]), s.size());
  return s;
}

TEST(CardMask, FieldKeepsAtMostSixLeadingAndFourTrailingDigits) {
  const struct {
    const char* field;
    const char* shown;
  } kCases[] = {
      {"6234567890123456789", "623456*********6789"},  // 19 digits fill the field
      {"6234567890123456   ", "623456******3456   "},  // 16 digits and padding
      {"12345678901        ", "123456*8901        "},
      {"1234567890         ", "1234567890         "},  // 10: six and four are all of it
      {"123456789          ", "*****6789          "},  // shorter: the last four only
      {"12345              ", "*2345              "},
      {"1234               ", "1234               "},
      {"                   ", "                   "},
      {"6234567890123=45678", "623456***0123=45678"},  // the number ends at the first non-digit
      {"A234567890123456789", "A234567890123456789"},  // no number at the field's start
  };
  for (const auto& c : kCases) EXPECT_EQ(Masked(c.field, MaskCardField), c.shown) << c.field;
}

TEST(CardMask, RunsOfThirteenDigitsOrMoreInBytesOfUnknownLayout) {
  const struct {
    const char* bytes;
    const char* shown;
  } kCases[] = {
      {"x123456789012y", "x123456789012y"},            // 12 digits: not a card number
      {"x1234567890123y", "x123456***0123y"},          // 13
      {"1234567890123456789", "123456*********6789"},  // 19, at both ends of the buffer
      {"ab6234567890123456789281288888888888", "ab623456************************8888"},  // joined fields
      {"1234567890123 1234567890123456", "123456***0123 123456******3456"},
  };
  for (const auto& c : kCases) EXPECT_EQ(Masked(c.bytes, MaskDigitRuns), c.shown) << c.bytes;
}

TEST(CardMask, DumpMasksStayInsideTheBuffer) {
  std::string frame = "..6234567890123456789..";
  ApplyDumpMask(reinterpret_cast<unsigned char*>(&frame[0]), 14, CardFieldMask(2));  // field cut at 14
  EXPECT_EQ(frame, "..623456**90123456789..");
  std::string tail = "abc1234567890123456";
  ApplyDumpMask(reinterpret_cast<unsigned char*>(&tail[0]), tail.size(), CardFieldMask(40));
  ApplyDumpMask(reinterpret_cast<unsigned char*>(&tail[0]), tail.size(), DigitRunMask(3, 8));
  EXPECT_EQ(tail, "abc1234567890123456");  // 5 digits in the span: too short for a card number
  ApplyDumpMask(reinterpret_cast<unsigned char*>(&tail[0]), tail.size(), DigitRunMask(3));
  EXPECT_EQ(tail, "abc123456******3456");
}

class MaskedDumpTest : public kvtest::TempDirTest {
 protected:
  std::vector<kvtest::HexDump> DumpWith(const char* mask, const std::string& data, const DumpMask& m) {
    WriteConfig(std::string("[DEBUG_LOG]\nDebugLog=6\n") + mask);
    char file[kKvPathSize];
    GetLogFileName(file);
    KvRemoveFile(file);
    EXPECT_EQ(WriteHexLog(4, "获取消费应答包数据", data.data(), static_cast<int>(data.size()), -1, m), 0);
    log_ = kvtest::ReadAll(file);
    return kvtest::ReadHexDumps(log_);
  }
  std::string log_;
};

TEST_F(MaskedDumpTest, MaskingOnAndOffDifferOnlyAtTheMaskedDigits) {
  std::string frame(140, ' ');
  frame.replace(0, 9,
                std::string("\x02\x00\x85"
                            "123456",
                            9));
  frame.replace(113, 19, "6234567890123456789");
  const DumpMask m = CardFieldMask(113);
  const std::vector<kvtest::HexDump> off = DumpWith("MaskCardNumber=0\n", frame, m);
  const std::string offLog = log_;
  const std::vector<kvtest::HexDump> on = DumpWith("", frame, m);  // the default is on
  ASSERT_EQ(off.size(), 1u);
  ASSERT_EQ(on.size(), 1u);
  EXPECT_EQ(off[0].bytes, frame);
  ASSERT_EQ(on[0].bytes.size(), frame.size());
  for (size_t i = 0; i < frame.size(); ++i) {
    const bool masked = i >= 113 + 6 && i < 113 + 15;
    EXPECT_EQ(on[0].bytes[i], masked ? '*' : frame[i]) << i;
  }
  EXPECT_NE(on[0].chars.find("623456*********6789"), std::string::npos) << on[0].chars;
  // Same lines, same widths: only hex cells and characters of the masked digits changed.
  ASSERT_EQ(log_.size(), offLog.size());
  size_t changed = 0;
  for (size_t i = 0; i < log_.size(); ++i) changed += log_[i] != offLog[i];
  EXPECT_EQ(changed, 9u * 3u);  // per digit: two hex characters and one character column
}

}  // namespace
