// The one UTF-8 codec of the library and the tools.
#include "utf8.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// The lenient reading eSpeak NG's text and the configuration's map names get:
// any complete sequence is a character, whatever value it folds to, and a
// byte that starts none stands alone.
TEST(Utf8, LenientReadingTakesWhatTheStrictOneRefuses) {
    struct Row {
        const char *name;
        std::string bytes;  // a NUL follows, as in the C strings these read
        size_t length;      // lenient_length
        uint32_t value;     // fold over the bytes the lead byte claims, as far as they go
    } rows[] = {
        {"ASCII", "A", 1, 0x41},
        {"two bytes", "\xC3\xA9", 2, 0xE9},
        {"three bytes", "\xE2\x82\xAC", 3, 0x20AC},
        {"four bytes", "\xF0\x9F\x98\x80", 4, 0x1F600},
        {"stray continuation", "\x80", 1, 0x80},
        {"FE", "\xFE", 1, 0xFE},
        {"five-byte lead", "\xF8\x88\x80\x80\x80", 1, 0xF8},
        {"overlong slash", "\xC0\xAF", 2, 0x2F},
        {"overlong three bytes", "\xE0\x80\xAF", 3, 0x2F},
        {"overlong four bytes", "\xF0\x80\x80\xAF", 4, 0x2F},
        {"high surrogate", "\xED\xA0\x80", 3, 0xD800},
        {"low surrogate", "\xED\xBF\xBF", 3, 0xDFFF},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", 4, 0x110000},
        {"largest four-byte lead", "\xF7\xBF\xBF\xBF", 4, 0x1FFFFF},
        {"cut by the NUL", "\xE2\x82", 1, 0x82},
        {"cut by ASCII", "\xC3(", 1, 0xE8},
        {"cut by a new lead", "\xE2\xC3\xA9", 1, 0x20E9},
    };
    for (const Row &row : rows) {
        const auto *p = reinterpret_cast<const unsigned char *>(row.bytes.c_str());
        EXPECT_EQ(orvel_utf8::lenient_length(p), row.length) << row.name;
        size_t n = std::min(orvel_utf8::lead_length(p[0]), row.bytes.size());
        EXPECT_EQ(orvel_utf8::fold(p, n), row.value) << row.name;
        // Where the strict decoder accepts, both read the same.
        uint32_t cp = 0;
        if (decode(row.bytes, &cp) != 0) {
            EXPECT_EQ(cp, row.value) << row.name;
        }
    }
}

}  // namespace
