#include "platform/Check.h"

#include <gtest/gtest.h>

namespace {

TEST(CheckTest, HoldingConditionDoesNothing) {
  int evaluated = 0;
  QN_CHECK(++evaluated == 1);
  EXPECT_EQ(1, evaluated);
}

TEST(CheckDeathTest, BrokenConditionAbortsNamingIt) {
  const int index = 7;
  EXPECT_DEATH(QN_CHECK(index < 4), "check failed: index < 4");
}

}  // namespace
