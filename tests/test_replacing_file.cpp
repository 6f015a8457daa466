// The tools' output files: complete or absent, and never at the cost of the
// file that was there.
#include "replacing_file.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The names in a folder, sorted.
std::vector<std::string> names_in(const std::string &dir) {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string fresh_dir(const std::string &name) {
    std::string dir = scratch_dir() + "/" + name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

void put(orvel_tools::ReplacingFile &file, const std::string &bytes) {
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file.file()), bytes.size());
}

TEST(ReplacingFile, TheTargetChangesOnlyOnCommit) {
    std::string dir = fresh_dir("replace");
    std::string target = dir + "/out.wav";
    {
        orvel_tools::ReplacingFile file;
        ASSERT_TRUE(file.open(target));
        put(file, "first");
        EXPECT_FALSE(file_exists(target)) << "the target appeared before the commit";
        ASSERT_TRUE(file.commit());
    }
    EXPECT_EQ(read_file(target), "first");
    ::chmod(target.c_str(), 0640);

    {  // discarded, dropped without commit, committed: only the last shows
        orvel_tools::ReplacingFile discarded, dropped;
        ASSERT_TRUE(discarded.open(target));
        put(discarded, "discarded");
        discarded.discard();
        ASSERT_TRUE(dropped.open(target));
        put(dropped, "dropped");
    }
    EXPECT_EQ(read_file(target), "first");
    EXPECT_EQ(names_in(dir), std::vector<std::string>{"out.wav"});

    orvel_tools::ReplacingFile file;
    ASSERT_TRUE(file.open(target));
    put(file, "second");
    ASSERT_TRUE(file.commit());
    EXPECT_EQ(read_file(target), "second");
    struct stat st;
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u) << "the replaced file's mode was lost";
    EXPECT_EQ(names_in(dir), std::vector<std::string>{"out.wav"});
}

TEST(ReplacingFile, TwoWritersOfOneTargetDoNotMix) {
    std::string dir = fresh_dir("two");
    std::string target = dir + "/out.wav";
    orvel_tools::ReplacingFile a, b;
    ASSERT_TRUE(a.open(target));
    ASSERT_TRUE(b.open(target));
    put(a, "aaaa");
    put(b, "bb");
    ASSERT_TRUE(a.commit());
    EXPECT_EQ(read_file(target), "aaaa");
    ASSERT_TRUE(b.commit());
    EXPECT_EQ(read_file(target), "bb");
    EXPECT_EQ(names_in(dir), std::vector<std::string>{"out.wav"});
}

TEST(ReplacingFile, LinksDevicesAndFailures) {
    std::string dir = fresh_dir("kinds");
    {  // a link keeps pointing at the file, which is replaced
        write_scratch_file("kinds/real.wav", "old");
        fs::create_symlink("real.wav", dir + "/link.wav");
        orvel_tools::ReplacingFile file;
        ASSERT_TRUE(file.open(dir + "/link.wav"));
        put(file, "new");
        ASSERT_TRUE(file.commit());
        EXPECT_TRUE(fs::is_symlink(dir + "/link.wav"));
        EXPECT_EQ(read_file(dir + "/real.wav"), "new");
    }
    {  // a device is written in place
        orvel_tools::ReplacingFile file;
        ASSERT_TRUE(file.open("/dev/null"));
        put(file, "nothing");
        EXPECT_TRUE(file.commit());
        EXPECT_TRUE(fs::is_character_file("/dev/null"));
    }
    struct Row {
        const char *name;
        std::string target;
        int error;
    } rows[] = {
        {"missing folder", dir + "/none/out.wav", ENOENT},
        {"a folder", dir, EISDIR},
    };
    for (const Row &row : rows) {
        orvel_tools::ReplacingFile file;
        errno = 0;
        EXPECT_FALSE(file.open(row.target)) << row.name;
        EXPECT_EQ(errno, row.error) << row.name;
        EXPECT_EQ(file.file(), nullptr) << row.name;
        EXPECT_FALSE(file.commit()) << row.name;
    }
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"link.wav", "real.wav"}));
}

}  // namespace
