// posterm --replay: a session recorded at level 5 with faults (answer in chunks, a relay unit, a refusal)
// played back from its log gives the same results and response records.
#include <ctime>
#include <string>
#include <vector>

#include "LogCmd.h"
#include "Replay.h"
#include "e2e_harness.h"
#include "EndToEndHosts.h"

namespace e2e {
namespace {

using posterm::Scenario;

// The response record with its card number masked, as a replayed masked log would give it.
std::string Masked(std::string rsp) {
  const std::string card = rsp.substr(67, 19);
  const size_t n = card.find_last_not_of(' ') + 1;
  rsp.replace(67, n, korvessa::MaskCard(card.substr(0, n)));
  return rsp;
}

TEST_F(E2eTest, ReplayOfALevelFiveSessionGivesTheSameResults) {
  Host host;
  Ini ini = DefaultIni();
  ini.Set("DEBUG_LOG", "DebugLog", "5");
  WriteConfig(ini);
  Scenario s = FixedScenario();
  s.trans.chunks = 3;
  posterm::RelayUnit u;
  u.host = "127.0.0.1";
  u.port = std::to_string(host.port());
  u.payload = {'P', 'A', 'Y', 'L', 'O', 'A', 'D'};
  s.trans.relay.push_back(u);
  term_.SetScenario(s);
  std::string ok, refused;
  ASSERT_EQ(0, Run(FullRequest("30"), &ok));
  s.trans.relay.clear();
  s.trans.retCode = "05";
  term_.SetScenario(s);
  ASSERT_EQ(0x3530, Run(FullRequest("62"), &refused));

  char day[16];
  const time_t now = time(nullptr);
  strftime(day, sizeof day, "%Y%m%d", localtime(&now));
  std::vector<posterm::ReplayStep> steps;
  std::string err, note;
  ASSERT_TRUE(posterm::LoadReplay(Dir() + "/Log/ErrorLog" + day + ".log", &steps, &err, &note)) << err;
  EXPECT_EQ("", note);
  ASSERT_EQ(4u, steps.size());
  EXPECT_EQ(
      "A0"
      "62",
      steps[3].op + steps[3].cmd);
  ASSERT_EQ(1u, steps[1].relay.size());
  EXPECT_EQ(std::string(7, 'F'),
            std::string(steps[1].relay[0].payload.begin(), steps[1].relay[0].payload.end()));

  const int connections = host.connections();
  Scenario replay;
  replay.replay = steps;
  term_.SetScenario(replay);
  std::string ok2, refused2;
  EXPECT_EQ(0, Run(FullRequest("30"), &ok2));
  EXPECT_EQ(0x3530, Run(FullRequest("62"), &refused2));
  EXPECT_EQ(Masked(ok), Masked(ok2));
  EXPECT_EQ(Masked(refused), Masked(refused2));
  EXPECT_EQ(connections + 1, host.connections());  // the unit went to the host again
  EXPECT_EQ("", term_.ReplayEnded());
  // A request the log does not hold ends the replay with its reason.
  EXPECT_EQ(-3, Run(FullRequest("30"), nullptr));
  EXPECT_EQ("the log holds no step for request C000 (all 4 recorded steps played)", term_.ReplayEnded());

  WriteFile(Dir() + "/level2.log",
            "\xA1\xBE"
            "12:00:00\xA1\xBF"
            "error \r\n");
  EXPECT_FALSE(posterm::LoadReplay(Dir() + "/level2.log", &steps, &err, &note));
  EXPECT_NE(std::string::npos, err.find("level 4 or more")) << err;
}

}  // namespace
}  // namespace e2e
