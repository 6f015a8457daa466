#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <sstream>
#include <string>

#include "orvel.h"

#ifndef _WIN32
#include <dlfcn.h>
#endif

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

// The version project(VERSION ...) in CMakeLists.txt names, read from the file.
std::string project_version() {
    std::ifstream in(std::string(ORVEL_SOURCE_DIR) + "/CMakeLists.txt");
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    size_t at = all.find("project(");
    at = at == std::string::npos ? at : all.find("VERSION", at);
    if (at == std::string::npos) return "";
    at += 7;
    while (at < all.size() && std::isspace(static_cast<unsigned char>(all[at]))) ++at;
    size_t end = at;
    while (end < all.size() && (std::isdigit(static_cast<unsigned char>(all[end])) || all[end] == '.')) ++end;
    return all.substr(at, end - at);
}

// One number, CMake's project(VERSION), is the library's version, its file's
// and SONAME's and the packages'. The shared library as built is asked, not
// the objects this test is linked with: a stale or differently versioned
// build shows here.
TEST(Version, IsTheProjectVersionInAnyState) {
    const std::string version = project_version();
    ASSERT_TRUE(is_dotted_triple(version)) << "no project(VERSION) in CMakeLists.txt: " << version;
    EXPECT_EQ(orvel_version(), version);
#if !defined(_WIN32) && defined(ORVEL_SHARED_LIBRARY)
    const std::string file = ORVEL_SHARED_LIBRARY;
    void *library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    using VersionFn = const char *(*)();
    VersionFn shared_version = reinterpret_cast<VersionFn>(dlsym(library, "orvel_version"));
    ASSERT_NE(shared_version, nullptr);
    EXPECT_EQ(shared_version(), version);
    // libtalmerin-orvel.so.MAJOR.MINOR.PATCH
    EXPECT_EQ(file.substr(file.size() - version.size() - 1), "." + version) << file;
    dlclose(library);
#endif
    EXPECT_FALSE(is_dotted_triple("1.2"));
    EXPECT_FALSE(is_dotted_triple("1..2"));
    EXPECT_FALSE(is_dotted_triple("1.2.3-rc1"));
}
