// The transaction journal written by the library through whole transactions: one SENT before the request,
// exactly one final event per call, the outcome the facade reports, and a journal that cannot be written.
#include <cstdlib>
#include <string>
#include <vector>

#include "e2e_harness.h"

namespace e2e {

namespace {

using posterm::Scenario;
using posterm::Step;

struct JournalCase {
  const char* name;
  void (*setup)(Scenario* s);
  std::string type;
  int result;
  const char* outcome;  // lastOutcome
  bool sent;            // a SENT line precedes the final event
  const char* final;    // final event, then return code, trace, reference
  const char* retCode;
  const char* trace;
  const char* ref;
};

void PrintTo(const JournalCase& c, std::ostream* os) { *os << c.name; }

class JournalTest : public E2eTest, public ::testing::WithParamInterface<JournalCase> {};

TEST_P(JournalTest, OneSentBeforeTheRequestAndOneFinalEvent) {
  const JournalCase& c = GetParam();
  Scenario s = FixedScenario();
  s.fields[171] = "REF000000042";
  s.fields[201] = "000042";
  if (c.setup) c.setup(&s);
  term_.SetScenario(s);
  EXPECT_EQ(c.result, Run(FullRequest(c.type), nullptr));
  EXPECT_EQ(c.outcome, std::string(getValue_("lastOutcome")));

  const auto lines = JournalLines(Dir());
  ASSERT_EQ(c.sent ? 2u : 1u, lines.size());
  const auto& fin = lines.back();
  ASSERT_EQ(11u, fin.size());
  const std::string id = Requests().empty() ? "" : Requests()[0].id;
  EXPECT_EQ((std::vector<std::string>{id, "REG000001", "CTN000000001", c.type, "000000012345", c.final,
                                      c.retCode, c.trace, c.ref, std::to_string(c.result)}),
            std::vector<std::string>(fin.begin() + 1, fin.end()));
  if (c.sent) {
    EXPECT_EQ((std::vector<std::string>{id, "REG000001", "CTN000000001", c.type, "000000012345", "SENT"}),
              std::vector<std::string>(lines[0].begin() + 1, lines[0].end()));
    EXPECT_LE(lines[0][0], fin[0]);
  }
  EXPECT_EQ(23u, fin[0].size()) << fin[0];  // YYYY-MM-DD hh:mm:ss.mmm
  EXPECT_STREQ("ok", getValue_("journal"));
  // The terminal found this request's SENT as the journal's last line when the request's first byte came.
  EXPECT_EQ(c.sent ? 1u : 0u, term_.JournalChecks());
  EXPECT_EQ(std::string::npos, ReadFile(Dir() + "/Journal").find("9876543210"));
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, JournalTest,
    ::testing::Values(
        JournalCase{"Approval", nullptr, "30", 0, "approved", true, "APPROVED", "00", "000042",
                    "REF000000042"},
        JournalCase{"Refusal", [](Scenario* s) { s->trans.retCode = "05"; }, "30", 0x3530, "refused", true,
                    "REFUSED", "05", "000042", "REF000000042"},
        JournalCase{"HandshakeRefused", [](Scenario* s) { s->handshake.retCode = "51"; }, "30", 0x3135,
                    "not-sent", false, "NOT-SENT", "51", "", ""},
        JournalCase{"HandshakeTimeOut", [](Scenario* s) { s->handshake.end = Step::End::kSilence; }, "30", -3,
                    "not-sent", false, "NOT-SENT", "", "", ""},
        JournalCase{"UndefinedType", nullptr, "77", -2, "not-sent", false, "NOT-SENT", "", "", ""},
        JournalCase{"RequestTimeOut", [](Scenario* s) { s->trans.end = Step::End::kSilence; }, "30", -3,
                    "uncertain", true, "UNCERTAIN", "", "", ""},
        JournalCase{"LineCutAfterRequest", [](Scenario* s) { s->trans.end = Step::End::kHangup; }, "30", -3,
                    "uncertain", true, "UNCERTAIN", "", "", ""}),
    [](const ::testing::TestParamInfo<JournalCase>& i) { return std::string(i.param.name); });

TEST_F(E2eTest, JournalOfThePortThatCannotOpenAndOfTheFacade) {
  EXPECT_STREQ("", getValue_("lastOutcome"));  // before any call
  EXPECT_STREQ("", getValue_("journal"));
  setenv("KORVESSA_COM7", (Dir() + "/no-such-line").c_str(), 1);
  EXPECT_EQ(-1, Run(FullRequest("30"), nullptr));
  EXPECT_STREQ("not-sent", getValue_("lastOutcome"));
  EXPECT_STREQ("ok", getValue_("journal"));
  setenv("KORVESSA_COM7", term_.LinePath().c_str(), 1);
  putValue_("transType", "30");
  putValue_("amount", "000000000100");
  transProcess_();
  EXPECT_STREQ("approved", getValue_("lastOutcome"));
  EXPECT_EQ(-2, bankTrans_(nullptr, nullptr));  // writes nothing, but is a call that sent nothing
  EXPECT_STREQ("not-sent", getValue_("lastOutcome"));

  const auto lines = JournalLines(Dir());
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ("", lines[0][1]);  // no identifier drawn before the port opened
  EXPECT_EQ("NOT-SENT", lines[0][6]);
  EXPECT_EQ("-1", lines[0][10]);
  EXPECT_EQ((std::vector<std::string>{"", "", "30", "000000000100", "SENT"}),
            std::vector<std::string>(lines[1].begin() + 2, lines[1].end()));
  EXPECT_EQ("APPROVED", lines[2][6]);
}

TEST_F(E2eTest, UnwritableJournalLeavesResultsUnchanged) {
  checkJournal_ = false;
  WriteFile(Dir() + "/Journal", "a file where the folder belongs");
  EXPECT_EQ(0, Run(FullRequest("30"), nullptr));
  EXPECT_STREQ("approved", getValue_("lastOutcome"));
  EXPECT_STREQ("failed", getValue_("journal"));
  Scenario s = FixedScenario();
  s.trans.retCode = "05";
  term_.SetScenario(s);
  EXPECT_EQ(0x3530, Run(FullRequest("30"), nullptr));
  EXPECT_STREQ("refused", getValue_("lastOutcome"));
  EXPECT_STREQ("failed", getValue_("journal"));
  EXPECT_NE("", term_.JournalCheckFailures());  // the terminal saw no SENT
  // One level-1 line per call, though each call failed twice (SENT and the final event).
  const std::string log = Log();
  size_t n = 0;
  for (size_t p = log.find("Failed to write the journal."); p != std::string::npos;
       p = log.find("Failed to write the journal.", p + 1))
    ++n;
  EXPECT_EQ(2u, n) << log;
}

TEST_F(E2eTest, JournalDisabledWritesNothing) {
  Ini ini = DefaultIni();
  ini.Set("JOURNAL", "Enabled", "0");
  WriteConfig(ini);
  checkJournal_ = false;
  EXPECT_EQ(0, Run(FullRequest("30"), nullptr));
  EXPECT_STREQ("approved", getValue_("lastOutcome"));
  EXPECT_STREQ("off", getValue_("journal"));
  EXPECT_TRUE(JournalLines(Dir()).empty());
}

}  // namespace
}  // namespace e2e
