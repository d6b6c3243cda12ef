// The deadline type every bounded wait uses: its arithmetic at given ticks, across the wrap of the
// 32-bit tick counter, and once against the real clock.
#include "base/Deadline.h"

#include <gtest/gtest.h>

namespace {

TEST(DeadlineTest, CountsDownToZero) {
  const Deadline d(100, 1000);
  EXPECT_EQ(d.ElapsedAt(1000), 0u);
  EXPECT_EQ(d.RemainingAt(1000), 100u);
  EXPECT_EQ(d.RemainingAt(1099), 1u);
  EXPECT_FALSE(d.ExpiredAt(1099));
  EXPECT_EQ(d.RemainingAt(1100), 0u);
  EXPECT_TRUE(d.ExpiredAt(1100));
  EXPECT_FALSE(d.PassedAt(1100));  // still looks once at its very end
  EXPECT_TRUE(d.PassedAt(1101));
  EXPECT_EQ(d.RemainingAt(5000), 0u);
}

TEST(DeadlineTest, AcrossTheWrapOfTheTick) {
  const DWORD start = 0xFFFFFFF0u;  // 16 ms before the counter wraps
  const Deadline d(100, start);
  EXPECT_EQ(d.ElapsedAt(0xFFFFFFFFu), 15u);
  EXPECT_EQ(d.ElapsedAt(0u), 16u);
  EXPECT_EQ(d.RemainingAt(0u), 84u);
  EXPECT_FALSE(d.ExpiredAt(83u));
  EXPECT_TRUE(d.ExpiredAt(84u));
  EXPECT_FALSE(d.PassedAt(84u));
  EXPECT_TRUE(d.PassedAt(85u));
}

TEST(DeadlineTest, InfiniteNeverExpires) {
  const Deadline d(INFINITE, 0xFFFFFF00u);
  EXPECT_EQ(d.RemainingAt(0x7FFFFFFFu), INFINITE);
  EXPECT_FALSE(d.ExpiredAt(0xFFFFFEFFu));
  EXPECT_FALSE(d.PassedAt(0xFFFFFEFFu));
}

TEST(DeadlineTest, ZeroExpiresAtOnce) {
  const Deadline d(0, 7);
  EXPECT_TRUE(d.ExpiredAt(7));
  EXPECT_FALSE(d.PassedAt(7));
  EXPECT_EQ(d.RemainingAt(7), 0u);
}

TEST(DeadlineTest, FollowsTheClock) {
  const Deadline d(60000);
  EXPECT_LE(d.Elapsed(), 1000u);
  EXPECT_GE(d.Remaining(), 59000u);
  EXPECT_FALSE(d.Expired());
  const Deadline gone(0);
  EXPECT_TRUE(gone.Expired());
}

}  // namespace
