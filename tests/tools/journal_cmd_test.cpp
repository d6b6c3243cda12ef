// korvessa journal: transactions put together from journal lines, and the ones left in doubt.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "EndToEnd.h"
#include "JournalCmd.h"

namespace {

TEST(JournalCmd, JoinsSentWithItsFinalEventAndFindsTheDoubtful) {
  const std::string text =
      "2026-12-08 10:00:00.001\t101010\tR1\tT1\t30\t000000000100\tSENT\r\n"
      "2026-12-08 10:00:00.500\t202020\tR1\tT2\t30\t000000000200\tSENT\r\n"  // killed: no final line
      "2026-12-08 10:00:01.000\t101010\tR1\tT1\t30\t000000000100\tAPPROVED\t00\t000042\tREF1\t0\r\n"
      "garbage\r\n"
      "2026-12-08 10:00:02.000\t\tR1\tT3\t30\t000000000300\tNOT-SENT\t\t\t\t-1\n"
      "2026-12-08 10:00:03.000\t303030\tR1\tT4\t30\t000000000400\tSENT\r\n"
      "2026-12-08 10:00:05.000\t303030\tR1\tT4\t30\t000000000400\tUNCERTAIN\t\t\t\t-3\r\n";
  int bad = 0;
  const auto all = korvessa::ParseJournal(text, &bad);
  EXPECT_EQ(1, bad);
  ASSERT_EQ(4u, all.size());
  EXPECT_EQ("APPROVED", all[0].event);
  EXPECT_EQ("REF1", all[0].ref);
  EXPECT_EQ("2026-12-08 10:00:00.001", all[0].time);
  EXPECT_FALSE(all[0].InDoubt());
  EXPECT_TRUE(all[1].sent && all[1].event.empty() && all[1].InDoubt());
  EXPECT_FALSE(all[2].sent || all[2].InDoubt());
  EXPECT_EQ("-1", all[2].result);
  EXPECT_TRUE(all[3].sent && all[3].InDoubt());
}

// Runs korvessa journal with args over dir; the output in *text.
int Journal(std::vector<std::string> args, const std::string& dir, std::string* text) {
  args.insert(args.end(), {"--dir", dir});
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  const int st = korvessa::JournalCommand(args, dir, out, err);
  rewind(out);
  text->clear();
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, out)) > 0;) text->append(buf, n);
  fclose(out);
  fclose(err);
  return st;
}

// Two days of a till: approvals, refusals, a handshake refused (not sent), one answer lost (uncertain),
// one process killed after SENT (uncertain), and a purchase sent before midnight and approved after it.
class JournalTotals : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(e2e::MakeScratchFolder("kv-totals-", &dir_));
    Write("20261207",  // the day before the range: its transaction stays out
          "2026-12-07 09:00:00.000\t111111\tR1\tT0\t30\t000000099999\tSENT\r\n"
          "2026-12-07 09:00:01.000\t111111\tR1\tT0\t30\t000000099999\tAPPROVED\t00\t000001\tREF0\t0\r\n");
    Write("20261208",
          "2026-12-08 10:00:00.000\t101010\tR1\tT1\t30\t000000012345\tSENT\r\n"
          "2026-12-08 10:00:01.000\t101010\tR1\tT1\t30\t000000012345\tAPPROVED\t00\t000042\tREF1\t0\r\n"
          "2026-12-08 10:01:00.000\t202020\tR1\tT2\t30\t000000000100\tSENT\r\n"
          "2026-12-08 10:01:01.000\t202020\tR1\tT2\t30\t000000000100\tREFUSED\t05\t000043\t\t13616\r\n"
          "2026-12-08 10:02:00.000\t\tR1\tT3\t30\t000000000700\tNOT-SENT\t\t\t\t-1\r\n"
          "2026-12-08 10:03:00.000\t303030\tR1\tT4\t30\t000000005000\tSENT\r\n"
          "2026-12-08 10:03:09.000\t303030\tR1\tT4\t30\t000000005000\tUNCERTAIN\t\t\t\t-3\r\n"
          "2026-12-08 11:00:00.000\t404040\tR,2\tT5\t40\t000000002000\tSENT\r\n"
          "2026-12-08 11:00:01.000\t404040\tR,2\tT5\t40\t000000002000\tAPPROVED\t00\t000044\tREF5\t0\r\n"
          "2026-12-08 23:59:59.900\t505050\tR1\tT6\t30\t000000000055\tSENT\r\n");
    Write("20261209",
          "2026-12-09 00:00:01.000\t505050\tR1\tT6\t30\t000000000055\tAPPROVED\t00\t000045\tREF6\t0\r\n"
          "2026-12-09 08:00:00.000\t606060\tR1\tT7\t30\t000000100000\tSENT\r\n"  // killed: no final line
          "2026-12-09 08:05:00.000\t707070\tR1\tT8\t30\t000000000001\tSENT\r\n"
          "2026-12-09 08:05:01.000\t707070\tR1\tT8\t30\t000000000001\tAPPROVED\t00\t000046\tREF8\t0\r\n");
  }
  void TearDown() override { e2e::RemoveScratchFolder(dir_); }
  void Write(const std::string& day, const std::string& text) {
    std::ofstream(dir_ + "/Journal" + day + ".txt", std::ios::binary) << text;
  }
  std::string dir_;
};

TEST_F(JournalTotals, SumsPerTypeAndOutcomeOverARangeOfDays) {
  std::string text;
  ASSERT_EQ(0, Journal({"--totals", "--from", "20261208", "--to", "20261209"}, dir_, &text));
  // type: approved (count, units), refused, not sent, uncertain. T6 counts on its SENT's day.
  EXPECT_NE(
      std::string::npos,
      text.find(
          "30         3         124.01     1           1.00     1           7.00     2        1050.00\n"))
      << text;
  EXPECT_NE(
      std::string::npos,
      text.find(
          "40         1          20.00     0           0.00     0           0.00     0           0.00\n"))
      << text;
  EXPECT_NE(
      std::string::npos,
      text.find(
          "all        4         144.01     1           1.00     1           7.00     2        1050.00\n"))
      << text;
  EXPECT_NE(std::string::npos, text.find("8 transaction(s), 2 in doubt")) << text;
  // One day alone: T6 is the 8th's, its approval read from the 9th's file.
  ASSERT_EQ(0, Journal({"--totals", "--day", "20261208"}, dir_, &text));
  EXPECT_NE(
      std::string::npos,
      text.find(
          "all        3         144.00     1           1.00     1           7.00     1          50.00\n"))
      << text;
  EXPECT_EQ(3, Journal({"--totals", "--from", "20261209", "--to", "20261208"}, dir_, &text));
  EXPECT_EQ(3, Journal({"--csv"}, dir_, &text));
}

TEST_F(JournalTotals, CsvAndJsonGiveBackTheSameFigures) {
  std::map<std::string, std::pair<int, unsigned long long>> csv, json;  // outcome -> count, minor units
  std::string text;
  ASSERT_EQ(0, Journal({"--totals", "--from", "20261208", "--to", "20261209", "--csv"}, dir_, &text));
  std::istringstream lines(text);
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ("day,time,id,register,trace,type,amount,outcome,result,code,posTrace,ref\r", line);
  int rows = 0;
  while (std::getline(lines, line)) {
    ++rows;
    // The quoted register "R,2" holds a comma: cells are split outside quotes.
    std::vector<std::string> cells(1);
    bool quoted = false;
    for (char c : line) {
      if (c == '"')
        quoted = !quoted;
      else if (c == ',' && !quoted)
        cells.emplace_back();
      else if (c != '\r')
        cells.back() += c;
    }
    ASSERT_EQ(12u, cells.size()) << line;
    csv[cells[7]].first++;
    csv[cells[7]].second += std::stoull(cells[6]);
  }
  EXPECT_EQ(8, rows);
  ASSERT_EQ(0, Journal({"--totals", "--from", "20261208", "--to", "20261209", "--json"}, dir_, &text));
  const std::regex object("\\{\"day\":\"(\\d{8})\".*\"amount\":(\\d+),\"outcome\":\"([a-z-]+)\".*\\}");
  std::istringstream objects(text);
  int count = 0;
  while (std::getline(objects, line)) {
    std::smatch m;
    if (!std::regex_search(line, m, object)) continue;
    ++count;
    json[m[3]].first++;
    json[m[3]].second += std::stoull(m[2]);
  }
  EXPECT_EQ(8, count);
  EXPECT_EQ(text.front(), '[');
  const std::map<std::string, std::pair<int, unsigned long long>> expected = {
      {"approved", {4, 14401}}, {"refused", {1, 100}}, {"not-sent", {1, 700}}, {"uncertain", {2, 105000}}};
  EXPECT_EQ(expected, csv);
  EXPECT_EQ(expected, json);
}

}  // namespace
