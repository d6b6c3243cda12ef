// Card numbers in the log at DebugLog 6: the request record and display, a "62" request, answers with
// 19- and 16-digit card numbers, rejected copies of an answer, and the facade. With MaskCardNumber=0
// the frame dumps are the frames byte for byte.
#include <string>
#include <vector>

#include "HexDumps.h"
#include "e2e_harness.h"

namespace e2e {
namespace {

using posterm::Scenario;

// Apart from their first two digits these hold only 6..9, which no identifier, date, amount or trace
// number of these transactions has in a run of five: a five-digit piece found in the log is a leak.
const std::string kRequestCard = "6278998979698796798";
const std::string kAnswerCard19 = "6297869787968978696";
const std::string kAnswerCard16 = "6287978969786978";

// Pieces of a card number that must not show: any five digits after its first two (so also a
// seventh leading digit and a fifth trailing one).
bool ShowsCard(const std::string& text, const std::string& card) {
  for (size_t i = 2; i + 5 <= card.size(); ++i) {
    if (text.find(card.substr(i, 5)) != std::string::npos) return true;
  }
  return false;
}

// The frame as the masked dump shows it: the card number at `off` with its middle as '*'.
std::string MaskedAt(const Bytes& raw, size_t off, size_t digits) {
  std::string s(raw.begin(), raw.end());
  for (size_t i = off + 6; i < off + digits - 4; ++i) s[i] = '*';
  return s;
}

class CardLogTest : public E2eTest {
 protected:
  void SetLog(bool mask) {
    Ini ini = DefaultIni();
    ini.Set("DEBUG_LOG", "DebugLog", "6");
    if (!mask) ini.Set("DEBUG_LOG", "MaskCardNumber", "0");
    WriteConfig(ini);
  }
  // Log text, the bytes of every dump, and every character column.
  void ExpectNoCard(const std::string& log, const std::string& card) {
    std::string bytes, chars;
    for (const kvtest::HexDump& d : kvtest::ReadHexDumps(log)) bytes += d.bytes, chars += d.chars;
    EXPECT_FALSE(ShowsCard(log, card)) << card;
    EXPECT_FALSE(ShowsCard(bytes, card)) << card;
    EXPECT_FALSE(ShowsCard(chars, card)) << card;
  }
  const kvtest::HexDump* Dump(const std::vector<kvtest::HexDump>& dumps, const std::string& title) {
    for (const kvtest::HexDump& d : dumps) {
      if (d.title == title) return &d;
    }
    ADD_FAILURE() << "no dump " << title;
    return nullptr;
  }
  // A "62" request with kRequestCard, answered with `answerCard` after a copy with a bad LRC and one under
  // an old identifier (both rejected and dumped whole).
  void RunCompletion(const std::string& answerCard) {
    Scenario s = FixedScenario();
    s.fields[104] = answerCard + std::string(19 - answerCard.size(), ' ');
    s.trans.badLrcFirst = true;
    s.trans.staleIdFirst = true;
    term_.SetScenario(s);
    std::string req = FullRequest("62");
    req.replace(84, 19, kRequestCard);
    ASSERT_EQ(0, Run(req, nullptr));
  }
};

TEST_F(CardLogTest, NoCardNumberInTheLogOfACompletionWithRejectedCopies) {
  for (const std::string& answerCard : {kAnswerCard19, kAnswerCard16}) {
    SetLog(true);
    term_.ClearRecords();
    const size_t before = Log().size();
    RunCompletion(answerCard);
    const std::string log = Log().substr(before);
    ExpectNoCard(log, kRequestCard);
    ExpectNoCard(log, answerCard);
    const std::vector<kvtest::HexDump> dumps = kvtest::ReadHexDumps(log);
    // The request and answer dumps are the frames, masked at the card numbers only.
    const auto req = Requests();
    const auto sent = term_.Sent();
    ASSERT_EQ(2u, req.size());
    ASSERT_EQ(2u, sent.size());
    if (const kvtest::HexDump* d = Dump(dumps, "发送预授权完成请求包数据")) {
      EXPECT_EQ(MaskedAt(req[1].raw, 9 + 72, 19), d->bytes);
    }
    if (const kvtest::HexDump* d = Dump(dumps, "获取预授权完成应答包数据")) {
      EXPECT_EQ(MaskedAt(sent[1].raw, 9 + 104, answerCard.size()), d->bytes);
    }
    if (const kvtest::HexDump* d = Dump(dumps, "传入参数")) {
      EXPECT_EQ(d->bytes.substr(84, 19), "627899*********6798");
    }
    size_t rejected = 0;
    for (const kvtest::HexDump& d : dumps) rejected += d.title == "接收到的数据";
    EXPECT_GE(rejected, 2u);  // both copies, and the pieces the resynchronisation tried
    EXPECT_NE(std::string::npos, log.find("卡        号：627899*********6798\r\n"));
  }
}

TEST_F(CardLogTest, UnmaskedDumpsAreTheFrames) {
  SetLog(false);
  RunCompletion(kAnswerCard19);
  const std::vector<kvtest::HexDump> dumps = kvtest::ReadHexDumps(Log());
  const auto req = Requests();
  const auto sent = term_.Sent();
  ASSERT_EQ(2u, req.size());
  ASSERT_EQ(2u, sent.size());
  if (const kvtest::HexDump* d = Dump(dumps, "发送预授权完成请求包数据")) {
    EXPECT_EQ(std::string(req[1].raw.begin(), req[1].raw.end()), d->bytes);
  }
  if (const kvtest::HexDump* d = Dump(dumps, "获取预授权完成应答包数据")) {
    EXPECT_EQ(std::string(sent[1].raw.begin(), sent[1].raw.end()), d->bytes);
  }
  EXPECT_TRUE(ShowsCard(Log(), kRequestCard));
  EXPECT_NE(std::string::npos, Log().find("卡        号：" + kRequestCard + "\r\n"));
}

TEST_F(CardLogTest, FacadeKeepsCardNumbersOutOfTheLog) {
  SetLog(true);
  Scenario s = FixedScenario();
  s.fields[104] = kAnswerCard16 + "   ";
  term_.SetScenario(s);
  putValue_("cardNumber", kRequestCard.c_str());  // no such name: an error line that shows the value
  putValue_("transType", "30");
  transProcess_();
  EXPECT_STREQ("00", getValue_("rejCode"));
  EXPECT_EQ(kAnswerCard16, getValue_("cardNumber"));  // the caller gets it whole
  ExpectNoCard(Log(), kRequestCard);
  ExpectNoCard(Log(), kAnswerCard16);
  EXPECT_NE(std::string::npos, Log().find("pValue = 627899*********6798."));
}

}  // namespace
}  // namespace e2e
