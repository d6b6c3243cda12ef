// korvessa log on the logs the library writes here at levels 2, 4 and 6: an approval with a relay unit,
// a refusal and a time-out, read back as timelines and checked against what happened.
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "LogCmd.h"
#include "e2e_harness.h"
#include "EndToEndHosts.h"

namespace e2e {
namespace {

using posterm::Scenario;
using posterm::Step;

class LogCmdTest : public E2eTest {
 protected:
  // Approval with one relay unit, refusal "05", time-out, at log threshold `level`; returns the log path.
  std::string Record(int level, Host* host) {
    Ini ini = DefaultIni();
    ini.Set("DEBUG_LOG", "DebugLog", std::to_string(level));
    ini.Set("TCP", "TradeTimeOut", "1");
    WriteConfig(ini);
    Scenario s = FixedScenario();
    posterm::RelayUnit u;
    u.host = "127.0.0.1";
    u.port = std::to_string(host->port());
    u.payload = {'P', 'A', 'Y'};
    s.trans.relay.push_back(u);
    term_.SetScenario(s);
    EXPECT_EQ(0, Run(FullRequest("30"), nullptr));
    s.trans.relay.clear();
    s.trans.retCode = "05";
    term_.SetScenario(s);
    EXPECT_EQ(0x3530, Run(FullRequest("30"), nullptr));
    s.trans.end = Step::End::kSilence;
    term_.SetScenario(s);
    EXPECT_EQ(-3, Run(FullRequest("30"), nullptr));
    char day[16];
    const time_t now = time(nullptr);
    strftime(day, sizeof day, "%Y%m%d", localtime(&now));
    return Dir() + "/Log/ErrorLog" + day + ".log";
  }
  // korvessa log with these arguments: its output lines and exit status.
  std::vector<std::string> LogLines(const std::vector<std::string>& args, int* status) {
    FILE* out = tmpfile();
    FILE* err = tmpfile();
    *status = korvessa::LogCommand(args, out, err);
    rewind(out);
    std::vector<std::string> lines;
    char buf[65536];
    while (fgets(buf, sizeof buf, out)) lines.push_back(buf);
    fclose(out);
    fclose(err);
    return lines;
  }
  static bool Has(const std::string& s, const std::string& p) { return s.find(p) != std::string::npos; }
};

TEST_F(LogCmdTest, TimelinesAtLevelsSixFourAndTwo) {
  Host host;
  const std::string config = Dir() + "/Config.ini";
  for (int level : {6, 4}) {
    const std::string log = Record(level, &host);
    int st = -1;
    const auto json = LogLines({"--json", "--config", config, log}, &st);
    ASSERT_EQ(0, st);
    ASSERT_EQ(3u, json.size()) << level;
    const std::string& ok = json[0];
    EXPECT_TRUE(Has(ok, "\"result\":\"0 approved\"")) << ok;
    EXPECT_TRUE(Has(ok, "\"step\":\"handshake sent\"")) << ok;
    EXPECT_TRUE(Has(ok, u8"return code 00 (交易成功)")) << ok;  // explained from Config.ini, in UTF-8
    EXPECT_TRUE(Has(ok, "amount 123.45")) << ok;
    EXPECT_TRUE(Has(ok, "card 622202")) << ok;
    EXPECT_FALSE(Has(ok, "9876543210")) << ok;  // the request's card number is masked
    EXPECT_EQ(level >= 5, Has(ok, "\"step\":\"relay unit\",\"text\":\"to 127.0.0.1:")) << ok;
    EXPECT_EQ(level >= 5, Has(ok, "\"step\":\"relay reply\"")) << ok;
    EXPECT_EQ(level >= 5, !Has(ok, "\"hostWaitSeconds\":null")) << ok;
    EXPECT_FALSE(Has(ok, "\"terminalWaitSeconds\":null")) << ok;
    EXPECT_TRUE(Has(ok, "\"logLevel\":" + std::to_string(level))) << ok;
    EXPECT_TRUE(Has(json[1], u8"\"result\":\"refused, return code 05 (发卡行不予承兑)\"")) << json[1];
    EXPECT_TRUE(Has(json[2], "\"result\":\"-3 no answer to the request in time: UNCERTAIN")) << json[2];
    EXPECT_TRUE(Has(json[2], "\"step\":\"time-out\"")) << json[2];
    EXPECT_TRUE(Has(json[2], "\"error\":true")) << json[2];

    // The same log cut in the middle of its last line.
    const std::string text = ReadFile(log);
    const std::string cut = Dir() + "/cut.log";
    WriteFile(cut, text.substr(0, text.size() - 20));
    const auto tl = LogLines({cut}, &st);
    EXPECT_EQ(0, st);
    std::string all;
    for (const auto& l : tl) all += l;
    EXPECT_TRUE(Has(all, "[the log ends inside this entry]")) << all;
    EXPECT_TRUE(Has(all, "Transaction 3")) << all;
    remove(log.c_str());
  }
  // Level 2: only the time-out is written; the timeline says what the level lacks.
  const std::string log = Record(2, &host);
  int st = -1;
  const auto lines = LogLines({log}, &st);
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(Has(lines[0], "errors only, an approval leaves no line; frames need level 4")) << lines[0];
  std::string all;
  for (const auto& l : lines) all += l;
  EXPECT_TRUE(Has(all, "Transaction 1 ") && !Has(all, "Transaction 2")) << all;
  EXPECT_TRUE(Has(all, "!! ")) << all;
  EXPECT_TRUE(
      Has(all, "result: -3 no answer in time (the log's level does not show whether the request went out)"))
      << all;
}

}  // namespace
}  // namespace e2e
