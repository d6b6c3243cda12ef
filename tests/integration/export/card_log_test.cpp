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

// Whether any five digits of a card number after its first two show (so also a seventh leading digit
// or a fifth trailing one), in the log text, in the bytes of its dumps or in their character columns.
bool ShowsCard(const std::string& log, const std::string& card) {
  std::string all = log;
  for (const kvtest::HexDump& d : kvtest::ReadHexDumps(log)) all += "|" + d.bytes + "|" + d.chars;
  for (size_t i = 2; i + 5 <= card.size(); ++i) {
    if (all.find(card.substr(i, 5)) != std::string::npos) return true;
  }
  return false;
}

// The frame as the dump must show it: with `digits` > 0, the card number at `off` has its middle masked.
std::string Shown(const Bytes& raw, size_t off, size_t digits) {
  std::string s(raw.begin(), raw.end());
  for (size_t i = off + 6; i + 4 < off + digits; ++i) s[i] = '*';
  return s;
}

std::string DumpBytes(const std::string& log, const std::string& title) {
  for (const kvtest::HexDump& d : kvtest::ReadHexDumps(log)) {
    if (d.title == title) return d.bytes;
  }
  ADD_FAILURE() << "no dump " << title;
  return "";
}

class CardLogTest : public E2eTest {
 protected:
  void SetLog(bool mask) {
    Ini ini = DefaultIni();
    ini.Set("DEBUG_LOG", "DebugLog", "6");
    if (!mask) ini.Set("DEBUG_LOG", "MaskCardNumber", "0");
    WriteConfig(ini);
  }
};

// A "62" request with kRequestCard, answered after a copy with a bad LRC and one under an old
// identifier (both rejected and dumped whole).
TEST_F(CardLogTest, CompletionWithRejectedCopiesLogsNoCardNumber) {
  const struct {
    bool mask;
    std::string card;
  } kRuns[] = {{true, kAnswerCard19}, {true, kAnswerCard16}, {false, kAnswerCard19}};
  for (const auto& c : kRuns) {
    SetLog(c.mask);
    term_.ClearRecords();
    Scenario s = FixedScenario();
    s.fields[104] = c.card + std::string(19 - c.card.size(), ' ');
    s.trans.badLrcFirst = true;
    s.trans.staleIdFirst = true;
    term_.SetScenario(s);
    std::string req = FullRequest("62");
    req.replace(84, 19, kRequestCard);
    const size_t before = Log().size();
    ASSERT_EQ(0, Run(req, nullptr));
    const std::string log = Log().substr(before);
    EXPECT_EQ(!c.mask, ShowsCard(log, kRequestCard)) << c.card;
    EXPECT_EQ(!c.mask, ShowsCard(log, c.card)) << c.card;
    const auto reqs = Requests();
    const auto sent = term_.Sent();
    ASSERT_EQ(2u, reqs.size());
    ASSERT_EQ(2u, sent.size());
    // The request and answer dumps are the frames, masked at the card numbers only.
    EXPECT_EQ(Shown(reqs[1].raw, 9 + 72, c.mask ? 19 : 0), DumpBytes(log, "发送预授权完成请求包数据"));
    EXPECT_EQ(Shown(sent[1].raw, 9 + 104, c.mask ? c.card.size() : 0),
              DumpBytes(log, "获取预授权完成应答包数据"));
    EXPECT_EQ(c.mask ? "627899*********6798" : kRequestCard, DumpBytes(log, "传入参数").substr(84, 19));
    EXPECT_NE(std::string::npos,
              log.find("卡        号：" +
                       Shown(Bytes(req.begin() + 84, req.begin() + 103), 0, c.mask ? 19 : 0) + "\r\n"));
    EXPECT_LE(2, CountOf(log, "】【接收到的数据】"));  // both copies, and what resynchronisation tried
  }
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
  EXPECT_FALSE(ShowsCard(Log(), kRequestCard));
  EXPECT_FALSE(ShowsCard(Log(), kAnswerCard16));
  EXPECT_NE(std::string::npos, Log().find("pValue = 627899*********6798."));
}

}  // namespace
}  // namespace e2e
