// GuardCall and IgnoreFailure: the one catch-all of the export boundary and the worker threads.
#include <gtest/gtest.h>

#include <stdexcept>

#include "base/GuardCall.h"

namespace {

TEST(GuardCall, GivesTheResultWhenNothingIsThrown) {
  int errors = 0;
  EXPECT_EQ(7, GuardCall([] { return 7; }, [&] { return ++errors, -1; }));
  EXPECT_EQ(0, errors);
}

TEST(GuardCall, GivesTheErrorResultForAnyException) {
  EXPECT_EQ(-3, GuardCall([]() -> int { throw std::runtime_error("x"); }, [] { return -3; }));
  EXPECT_EQ(-1, GuardCall([]() -> int { throw 5; }, [] { return -1; }));
}

TEST(GuardCall, AnExceptionOfTheErrorStepGoesOnToTheCaller) {
  EXPECT_THROW(GuardCall([]() -> int { throw 1; }, []() -> int { throw std::logic_error("y"); }),
               std::logic_error);
}

TEST(GuardCall, IgnoreFailureRunsTheStepAndDropsWhatItThrows) {
  int runs = 0;
  IgnoreFailure([&] { ++runs; });
  EXPECT_NO_THROW(IgnoreFailure([&] {
    ++runs;
    throw std::runtime_error("z");
  }));
  EXPECT_EQ(2, runs);
}

}  // namespace
