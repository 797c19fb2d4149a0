#include <gtest/gtest.h>

#include "c4d.h"

TEST(HostString, RoundTripsUtf8ThroughUtf16) {
  String s("モデル名 a😀");
  EXPECT_EQ(s.GetLength(), 8);  // the emoji is a surrogate pair
  EXPECT_EQ(s.GetUtf8(), "モデル名 a😀");
}
