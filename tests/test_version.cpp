#include <gtest/gtest.h>

#include "orvel.h"

TEST(Version, IsTheProjectVersionInAnyState) {
    EXPECT_STREQ(orvel_version(), "1.0.0");
    EXPECT_STREQ(orvel_version(), ORVEL_VERSION_STRING);
}
