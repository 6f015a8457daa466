// Map lookup and the framed id sequence.
#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

#include "json_parse.h"
#include "orvel.h"
#include "phoneme_ids.h"

namespace {
using Map = std::vector<std::pair<int32_t, std::vector<int64_t>>>;

std::unique_ptr<ModelConfig> make_config(Map rows, const Map &more = {}) {
    rows.insert(rows.end(), more.begin(), more.end());
    auto config = std::make_unique<ModelConfig>();
    *config = ModelConfig{};
    for (const auto &[codepoint, ids] : rows) {
        PhonemeIdEntry &e = config->phonemes[config->num_phonemes++];
        e.codepoint = codepoint;
        for (int64_t id : ids) e.ids[e.num_ids++] = id;
    }
    return config;
}
const Map kMap = {{'^', {1}}, {'_', {0}}, {'$', {2}}, {'a', {14}}};
}  // namespace

TEST(LookupPhonemeIds, FirstRowWinsAndMaxIdsCaps) {
    auto config = make_config({{'a', {1, 2, 3, 4, 5}}, {'a', {9}}, {'b', {}}});
    std::vector<int64_t> out(8, -1);
    EXPECT_EQ(lookup_phoneme_ids(config.get(), 'a', out.data(), 2), 2);
    EXPECT_EQ(out, (std::vector<int64_t>{1, 2, -1, -1, -1, -1, -1, -1}));
    EXPECT_EQ(lookup_phoneme_ids(config.get(), 'a', out.data(), 8), 5);
    out.assign(8, -1);
    EXPECT_EQ(lookup_phoneme_ids(config.get(), 'b', out.data(), 8), 0);  // a row without ids is no row
    EXPECT_EQ(lookup_phoneme_ids(config.get(), 'x', out.data(), 8), 0);
    EXPECT_EQ(out, std::vector<int64_t>(8, -1));
}

TEST(PhonemesToIds, FramesPadsSkipsAndCuts) {
    struct Row { std::unique_ptr<ModelConfig> config; std::vector<int32_t> phonemes; int capacity; std::vector<int64_t> ids; };
    const Row rows[] = {
        {make_config(kMap), {'a', 'x', 'a'}, ORVEL_MAX_PHONEMES, {1, 0, 14, 0, 14, 0, 2}},  // x leaves no trace, not even a pad
        {make_config(kMap, {{'b', {5, 6}}}), {'a', 'b'}, ORVEL_MAX_PHONEMES, {1, 0, 14, 0, 5, 6, 0, 2}},
        {make_config(kMap, {{'b', {}}}), {'b', 'a'}, ORVEL_MAX_PHONEMES, {1, 0, 14, 0, 2}},
        {make_config(kMap), {'a', 'a'}, 6, {1, 0, 14, 0, 14, 0}},  // full: the end marker is lost
        {make_config(kMap), {'a'}, 0, {}},
        {make_config(kMap), {}, ORVEL_MAX_PHONEMES, {1, 0, 2}},
        {make_config(kMap), {'_'}, ORVEL_MAX_PHONEMES, {1, 0, 0, 0, 2}},  // a marker among the phonemes is a phoneme
        {make_config({{'^', {1}}, {'$', {2}}, {'a', {14}}}), {'a', 'a'}, ORVEL_MAX_PHONEMES, {1, 14, 14, 2}},
        {make_config({{'a', {14}}}), {'a', 'a'}, ORVEL_MAX_PHONEMES, {14, 14}},
    };
    for (const Row &r : rows) {
        std::vector<int64_t> out(16, -7);
        int n = phonemes_to_ids(r.phonemes.data(), static_cast<int>(r.phonemes.size()), r.config.get(), out.data(), r.capacity);
        EXPECT_EQ(std::vector<int64_t>(out.begin(), out.begin() + n), r.ids);
        EXPECT_EQ(out[static_cast<size_t>(n)], -7);  // nothing written past the count
    }
}
