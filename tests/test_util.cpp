#include "test_util.h"

#include "orvel.h"
#include "utf8.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {
struct ScratchDir {
    std::string path;
    ScratchDir() {
        char pattern[] = "/tmp/orvel-test-XXXXXX";
        const char *made = mkdtemp(pattern);
        path = made ? made : "/tmp";
    }
    ~ScratchDir() {
        std::error_code ec;
        if (path != "/tmp") std::filesystem::remove_all(path, ec);
    }
};
}  // namespace

const std::string &scratch_dir() {
    static ScratchDir dir;
    return dir.path;
}

std::string write_scratch_file(const std::string &name, const std::string &bytes) {
    std::string path = scratch_dir() + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

uint32_t le32(const std::string &b, size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(b[at])) |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}

uint16_t le16(const std::string &b, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8);
}

bool file_exists(const std::string &path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

std::string test_voice(const std::string &file) { return std::string(ORVEL_TEST_VOICES_DIR) + "/" + file; }

std::string error_text() {
    const char *e = orvel_get_error();
    return e ? e : "<null>";
}

size_t count_of(const std::string &haystack, const std::string &needle) {
    size_t n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++n;
    return n;
}

std::vector<int32_t> code_points(const std::string &s) {
    std::vector<int32_t> out;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s.data());
    for (size_t i = 0; i < s.size();) {
        uint32_t cp = 0;
        size_t len = orvel_utf8::decode(p + i, s.size() - i, &cp);
        out.push_back(len ? static_cast<int32_t>(cp) : -1);
        i += len ? len : 1;
    }
    return out;
}

std::string german_locale() {
    static const std::string name = [] {
        std::string locales = scratch_dir() + "/locales";
        std::string command = "mkdir -p " + locales + " && localedef -i de_DE -f UTF-8 " + locales +
                              "/de_DE.UTF-8 >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) return std::string();
        setenv("LOCPATH", locales.c_str(), 1);
        return std::string("de_DE.UTF-8");
    }();
    return name;
}
