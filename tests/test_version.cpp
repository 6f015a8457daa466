#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "orvel.h"

namespace {

// "MAJOR.MINOR.PATCH", each part one or more digits. Hand-written: <regex>
// trips GCC 12's -Wmaybe-uninitialized in the sanitizer build.
bool is_dotted_triple(const std::string &text) {
    int parts = 0;
    size_t digits = 0;
    for (char c : text) {
        if (std::isdigit(static_cast<unsigned char>(c))) {
            ++digits;
        } else if (c == '.' && digits > 0 && parts < 2) {
            ++parts;
            digits = 0;
        } else {
            return false;
        }
    }
    return parts == 2 && digits > 0;
}

}  // namespace

// One number, CMake's project(VERSION), is the library's version, its SONAME's
// major and the packages'; the test only pins its form.
TEST(Version, IsTheProjectVersionInAnyState) {
    EXPECT_STREQ(orvel_version(), ORVEL_VERSION_STRING);
    EXPECT_TRUE(is_dotted_triple(orvel_version())) << orvel_version();
    EXPECT_FALSE(is_dotted_triple("1.2"));
    EXPECT_FALSE(is_dotted_triple("1..2"));
    EXPECT_FALSE(is_dotted_triple("1.2.3-rc1"));
}
