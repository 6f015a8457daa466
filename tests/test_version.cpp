#include <gtest/gtest.h>

#include <regex>

#include "orvel.h"

// One number, CMake's project(VERSION), is the library's version, its SONAME's
// major and the packages'; the test only pins its form.
TEST(Version, IsTheProjectVersionInAnyState) {
    EXPECT_STREQ(orvel_version(), ORVEL_VERSION_STRING);
    EXPECT_TRUE(std::regex_match(orvel_version(), std::regex("[0-9]+\\.[0-9]+\\.[0-9]+"))) << orvel_version();
}
