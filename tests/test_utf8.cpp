// The one UTF-8 codec of the library and the tools.
#include "utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace {

size_t decode(const std::string &bytes, uint32_t *cp) {
    return orvel_utf8::decode(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), cp);
}

TEST(Utf8, EveryScalarValueRoundTrips) {
    for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        unsigned char bytes[4];
        size_t len = orvel_utf8::encode(cp, bytes);
        size_t expected_len = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
        uint32_t back = 0xFFFFFFFF;
        if (len != expected_len || orvel_utf8::decode(bytes, len, &back) != len || back != cp) {
            ADD_FAILURE() << "U+" << std::hex << cp;
            break;
        }
        // One byte short of the character is no character.
        if (len > 1 && orvel_utf8::decode(bytes, len - 1, &back) != 0) {
            ADD_FAILURE() << "truncated U+" << std::hex << cp;
            break;
        }
    }
}

TEST(Utf8, IllFormedSequencesAreRefused) {
    struct Row {
        const char *name;
        std::string bytes;
    } rows[] = {
        {"empty", ""},
        {"stray continuation", "\x80"},
        {"lead without continuation", "\xC3("},
        {"overlong slash", "\xC0\xAF"},
        {"overlong three bytes", "\xE0\x80\xAF"},
        {"overlong four bytes", "\xF0\x80\x80\xAF"},
        {"high surrogate", "\xED\xA0\x80"},
        {"low surrogate", "\xED\xBF\xBF"},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80"},
        {"five-byte lead", "\xF8\x88\x80\x80\x80"},
        {"FE", "\xFE"},
        {"FF", "\xFF"},
    };
    for (const Row &row : rows) {
        uint32_t cp = 12345;
        EXPECT_EQ(decode(row.bytes, &cp), 0u) << row.name;
        EXPECT_EQ(cp, 12345u) << row.name << ": the output changed";
    }
    uint32_t cp = 0;
    EXPECT_EQ(decode(std::string("\0x", 2), &cp), 1u);  // NUL is a character like any other
    EXPECT_EQ(cp, 0u);
}

}  // namespace
