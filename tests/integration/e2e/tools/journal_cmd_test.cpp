// korvessa journal: transactions put together from journal lines, and the ones left in doubt.
#include <gtest/gtest.h>

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

}  // namespace
