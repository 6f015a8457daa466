// The configuration scanner: what it stores, what it tolerates, where it stops.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "json_parse.h"
#include "test_util.h"

using namespace std::string_literals;

namespace {
std::unique_ptr<ModelConfig> load(const std::string &text, int *result) {
    static int serial = 0;
    auto config = std::make_unique<ModelConfig>();
    std::string path = write_scratch_file("config" + std::to_string(serial++) + ".json", text);
    *result = parse_model_config(path.c_str(), config.get());
    return config;
}
long offset(const std::string &s, const char *p) { return p ? static_cast<long>(p - s.c_str()) : -1; }
}  // namespace

TEST(ParseString, DecodesStoresAndStops) {
    struct Row { std::string in; int cap; std::string stored; long end; };
    const Row rows[] = {
        {"\"abcdef\"x", 4, "abc", 8},                                       // cut, read on to the quote
        {"\"ab\\u00e9c\"", 4, "abc", 11},                                   // é does not fit, c does
        {"\"\\u00e9\\u20ac\\ud83d\"", 16, "\xC3\xA9\xE2\x82\xAC\xED\xA0\xBD", 20},
        {"\"\\n\\t\\r\\b\\f\\/\\\\\\\"\\u0000\"", 16, "\n\t\rbf/\\\"\0"s, 24},  // \b, \f are letters
        {"\"\\u41\" x\"", 16, "Ax", 9},                                     // the escape eats the quote
        {"\"ab\\", 16, "ab", 4}, {"\"\\u4", 16, "\x04", 4},                 // cut by the end
        // strtoul takes a sign, blanks and 0x: a negative value wraps and keeps
        // its three bytes with the lead 0xFF, as the reader has always written it.
        {"\"\\u-001\"", 16, "\xFF\xBF\xBF", 8}, {"\"\\u-FFF\"", 16, "\xFF\x80\x81", 8},
        {"\"\\u-000\"", 16, "\0"s, 8}, {"\"\\u+7FF\\u 0x7\"", 16, "\xDF\xBF\x07", 14},
    };
    for (const Row &r : rows) {
        char buf[16];
        EXPECT_EQ(offset(r.in, parse_string(r.in.c_str(), buf, r.cap)), r.end) << r.in;
        EXPECT_EQ(std::string(buf, r.stored.size() + 1), r.stored + '\0') << r.in;
    }
    char buf[4] = "ZZZ";
    EXPECT_EQ(parse_string("a\"", buf, 4), nullptr);
    EXPECT_STREQ(buf, "ZZZ");
}

TEST(SkipValue, PassesOverOrFails) {
    const std::pair<std::string, long> rows[] = {
        {"[1, 2,]x", 7}, {"[1 2 ,, 3]x", 10},                    // commas missing, doubled, trailing
        {" {\"a\" [{\"b\":\"}]\"}] \"c\":1}x", 25},             // no colon or comma, brackets in strings
        {"ab\xC3\xA9\"c,", 6}, {"\v1", 0}, {"  ", 2}, {"[1,", 3},  // bare values; cut texts
        {"{\"a\":1,}", -1}, {"[1\v2]", -1}, {"[1\f]", -1}, {"[1}", -1},
    };
    for (const auto &[in, end] : rows) EXPECT_EQ(offset(in, skip_value(in.c_str())), end) << in;
    for (const auto &[open, close] : {std::pair{"["s, "]"s}, std::pair{"{\"a\":"s, "}"s}}) {
        std::string ok;
        for (int i = 0; i < 256; ++i) ok = open + ok + close;
        EXPECT_EQ(offset(ok, skip_value(ok.c_str())), static_cast<long>(ok.size()));
        EXPECT_EQ(skip_value((open + ok + close).c_str()), nullptr);  // 257 levels
    }
}

TEST(ParseFloat, StoresAValueAndScansTheBareValue) {
    const std::tuple<std::string, float, long> rows[] = {{"abc,", 0.0f, 3}, {" \t-0x1p1}", -2.0f, 8}, {"\v1", 1.0f, 0}};
    for (const auto &[in, value, end] : rows) {
        float v = -7.0f;
        EXPECT_EQ(offset(in, parse_float(in.c_str(), &v)), end) << in;
        EXPECT_EQ(v, value) << in;
    }
}

TEST(ParseModelConfig, ReadsToleratesAndStops) {
    const std::string rate = "\"audio\":{\"sample_rate\":8000}", de = "\"espeak\":{\"voice\":\"de\"}";
    struct Row { std::string json; int result; std::string voice; int rate; };
    const Row rows[] = {
        {"", -1, "en-us", 22050}, {" \r\n\t", -1, "en-us", 22050}, {"[{" + rate + "}]", -1, "en-us", 22050},
        {"\xEF\xBB\xBF{" + rate + "}", -1, "en-us", 22050},
        {"{", 0, "en-us", 22050},
        {"{\"espeak\" {\"voice\" \"d\\u0065\"} \"audio\" {\"sample_rate\" 44100}}", 0, "de", 44100},
        {"{\"espeak\":\"en\",\"audio\":5,\"x\":{\"a\":[1,{\"b\":\"]}\"}],\"c\":\"{[\"}," + rate + "}", 0, "en-us", 8000},
        {"{\"audio\":{\"sample_rate\":8000,},} ][ not json", 0, "en-us", 8000},
        {"{\"audio\":{\"sample_rate\":8000", 0, "en-us", 8000},
        {"{\"audio\":{\"sample_rate\":\"16000\"}}", 0, "en-us", 0},
        {"{\"audio\":{\"sample_rate\":-99999999999}}", 0, "en-us", INT32_MIN},
        {"{\"espeak\":{\"voice\":\"" + std::string(70, 'v') + "\"}}", 0, std::string(63, 'v'), 22050},
        // stops, keeping what was read before
        {"{" + rate + ",," + de + "}", 0, "en-us", 8000}, {"{" + rate + ",\v" + de + "}", 0, "en-us", 8000},
        {"{" + rate + "\0,"s + de + "}", 0, "en-us", 8000},
        {"{\"espeak\":{\"voice\":5}," + rate + "}", 0, "en-us", 22050},
        {"{\"x\":{\"a\":1,}," + rate + "}", 0, "en-us", 22050},
        {"{\"phoneme_id_map\":{\"a\":0}," + rate + "}", 0, "en-us", 22050},
        {"{\"audio\":{\"sample_rate\":[1,2]}," + de + "}", 0, "en-us", 0},  // resumes inside the array
    };
    for (const Row &r : rows) {
        int result = 0;
        auto c = load(r.json, &result);
        EXPECT_EQ(result, r.result) << r.json;
        EXPECT_EQ(c->voice, r.voice) << r.json;
        EXPECT_EQ(c->sample_rate, r.rate) << r.json;
    }
    int result = -1;
    auto c = load("{\"inference\":{\"noise_scale\":null,\"noise_w\":-1},\"num_speakers\":4,"
                  "\"inference\":{\"noise_w\":0.5}}", &result);
    EXPECT_EQ(std::make_tuple(result, c->noise_scale, c->length_scale, c->noise_w, c->num_speakers),
              std::make_tuple(0, 0.0f, 1.0f, 0.5f, 4));
}

TEST(ParseModelConfig, MapRowsTakeTheFirstCodePointAndUpToEightIds) {
    const std::pair<int32_t, std::vector<int64_t>> rows[] = {
        {0x251, {14, 15}}, {0x251, {14, 15}}, {'t', {7}}, {'"', {3}}, {'x', {1, 2, 3, 4, 5, 6, 7, 8}},
        {'y', {1, -3, 0, 0}}, {'e', {}}, {0, {4}}, {0x1F600, {5}}, {0x80, {6}}, {0x2080, {8}}, {'b', {10}},
    };
    int result = -1;
    auto c = load("{\"phoneme_id_map\":{\"\xC9\x91\":[14,15],\"\\u0251\":[14, 15],\"t\xCD\xA1\xCA\x83\":[7],"
                  "\"\\\"\":[3],\"x\":[1,2,3,4,5,6,7,8,9,10],\"y\":[1.5,-3,\"s\",],\"e\":[ ],\"\":[4],"
                  "\"\xF0\x9F\x98\x80\":[5],\"\x80\":[6],\"\xE2\x82\":[8]},\"phoneme_id_map\":{\"b\":[10", &result);
    EXPECT_EQ(result, 0);
    ASSERT_EQ(c->num_phonemes, static_cast<int>(std::size(rows)));
    for (size_t i = 0; i < std::size(rows); ++i) {
        const PhonemeIdEntry &e = c->phonemes[i];
        EXPECT_EQ(std::make_pair(e.codepoint, std::vector<int64_t>(e.ids, e.ids + e.num_ids)), rows[i]) << i;
    }
    std::string json = "{\"phoneme_id_map\":{";
    for (int i = 0; i < 600; ++i) json += "\"a\":[" + std::to_string(i) + "],";
    c = load(json + "\"q\":{\"x\":[]}},\"audio\":{\"sample_rate\":8000}}", &result);
    EXPECT_EQ(std::make_tuple(c->num_phonemes, c->phonemes[511].ids[0], c->sample_rate), std::make_tuple(512, 511L, 8000));
}

TEST(ParseModelConfig, UnreadableFilesGiveMinusOneAndNameThePath) {
    const std::string missing = scratch_dir() + "/missing.json", fifo = scratch_dir() + "/fifo.json";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int writer = open(fifo.c_str(), O_RDWR);  // lets the reader open it without blocking
    for (const auto &[path, line] : {std::pair{missing, "Cannot open config: " + missing + "\n"}, {fifo, ": " + fifo + "\n"}}) {
        ModelConfig c;
        testing::internal::CaptureStderr();
        EXPECT_EQ(parse_model_config(path.c_str(), &c), -1);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.find('\n'), err.size() - 1) << err;  // one line, ending in the path
        EXPECT_NE(err.find(line), std::string::npos) << err;
        EXPECT_EQ(std::make_pair(std::string(c.voice), c.sample_rate), std::make_pair("en-us"s, 22050));
    }
    close(writer);
}

// A host may select a comma-decimal locale; JSON numbers still use '.'.
TEST(ParseModelConfig, ScalesIgnoreTheHostLocale) {
    ASSERT_EQ(german_locale(), "de_DE.UTF-8") << "localedef failed";
    ASSERT_NE(setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr);
    ASSERT_EQ(std::strtof("0.5", nullptr), 0.0f);  // the locale really reads commas

    std::string path = write_scratch_file("locale.json", R"({"inference": {"noise_scale": 0.333, "length_scale": 1.5}})");
    ModelConfig config;
    EXPECT_EQ(parse_model_config(path.c_str(), &config), 0);
    setlocale(LC_NUMERIC, "C");
    EXPECT_EQ(config.noise_scale, 0.333f);
    EXPECT_EQ(config.length_scale, 1.5f);
}
