// Where a long text is cut into runs: every run within the bound and at least
// one byte, the runs together the whole text, and the cut at the best place
// the window offers: a sentence, then a clause, then a blank, and never
// inside a UTF-8 character.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text_runs.h"

namespace {

std::vector<std::string> runs(const std::string &text, size_t max_bytes) {
    std::vector<std::string> out;
    for (size_t at = 0; at < text.size();) {
        size_t n = next_text_run(text.data() + at, text.size() - at, max_bytes);
        EXPECT_GE(n, 1u);
        EXPECT_LE(n, max_bytes);
        if (n == 0) break;
        out.push_back(text.substr(at, n));
        at += n;
    }
    return out;
}

std::string joined(const std::vector<std::string> &parts) {
    std::string all;
    for (const std::string &part : parts) all += part;
    return all;
}

TEST(TextRuns, CutsAtTheBestPlaceTheWindowOffers) {
    // A sentence end in the second half of the window wins over later clauses and blanks.
    EXPECT_EQ(runs("aaaaaaaa. bb, cc dd ee", 16)[0], "aaaaaaaa. ");
    EXPECT_EQ(runs("aaaaaaaa, bb cc dd ee", 16)[0], "aaaaaaaa, ");
    EXPECT_EQ(runs("aaaaaaaa bb cc dd eeee", 16)[0], "aaaaaaaa bb cc ");
    // One in the first half would make short runs: a later blank is taken.
    EXPECT_EQ(runs("aa. bbbbbbbbb cc dd", 16)[0], "aa. bbbbbbbbb ");
    EXPECT_EQ(runs("aaaaaaaaaa\n\nbbbbbbbbbbbb", 16)[0], "aaaaaaaaaa\n\n");
    EXPECT_EQ(runs("我的哥哥住在一个大城市。今天很冷。", 40)[0], "我的哥哥住在一个大城市。");
    // A text that fits is one run, however it ends.
    EXPECT_EQ(runs("short, text", 16), std::vector<std::string>{"short, text"});
}

TEST(TextRuns, NeverCutsInsideACharacterAndLosesNothing) {
    const std::string dense = "ЖЖЖЖЖЖЖЖЖЖ😀😀😀我我我";
    for (size_t max = 4; max <= 12; ++max) {
        std::vector<std::string> parts = runs(dense, max);
        EXPECT_EQ(joined(parts), dense);
        for (const std::string &part : parts)
            EXPECT_NE(static_cast<unsigned char>(part[0]) & 0xC0, 0x80) << "a run starts inside a character";
    }
    // Bytes that are no UTF-8 at all are still all taken, in bounded runs.
    const std::string junk(50, '\x80');
    EXPECT_EQ(joined(runs(junk, 8)), junk);
    const std::string blanks(40, ' ');
    EXPECT_EQ(joined(runs(blanks, 7)), blanks);
}

}  // namespace

namespace {

std::string broken(const std::string &text) {
    std::vector<char> out(2 * text.size() + 1);
    size_t n = break_long_words(text.data(), text.size(), out.data(), out.size());
    EXPECT_TRUE(n > 0 || text.empty());
    return std::string(out.data(), n);
}

std::vector<std::string> words_of(const std::string &text) {
    std::vector<std::string> words;
    std::string word;
    for (char c : text + " ") {
        if (c == ' ' || c == '\n' || c == '\t') {
            if (!word.empty()) words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    return words;
}

// eSpeak NG drops what follows the first ~200 phonemes of a word.
TEST(TextRuns, WordsEspeakWouldCutAreBrokenWithSpaces) {
    const std::string runic = "\xE1\x9A\xA0\xE1\x9A\xA2\xE1\x9A\xA6\xE1\x9A\xA8";  // four letters spelled by name
    struct Row {
        const char *name;
        std::string word;
        bool broken;
    } rows[] = {
        {"long ordinary word", "Pneumonoultramicroscopicsilicovolcanoconiosis", false},
        {"capitals with vowels", "INTERNATIONALIZATION", false},
        {"spelled consonants", std::string(30, 'w'), true},
        {"long number", std::string(40, '7'), true},
        {"Runic letters", runic + runic + runic + runic, true},
        {"short spelled word", "xkcd", false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::string out = broken("say\t" + row.word + "\nnow");
        std::vector<std::string> words = words_of(out);
        ASSERT_GE(words.size(), 3u);
        EXPECT_EQ(words.front(), "say");
        EXPECT_EQ(words.back(), "now");
        EXPECT_EQ(words.size() > 3, row.broken);
        std::string rejoined;
        for (size_t i = 1; i + 1 < words.size(); ++i) {
            if (row.broken) {
                EXPECT_LE(estimated_phonemes(words[i].data(), words[i].size()), WORD_PHONEME_BUDGET);
            }
            rejoined += words[i];
        }
        EXPECT_EQ(rejoined, row.word);
    }
    EXPECT_EQ(broken("a  b"), "a  b");
    EXPECT_EQ(broken(""), "");
    // The room it promises is the room it needs, and no less is taken.
    const std::string dense(3000, '#');
    std::vector<char> out(2 * dense.size() + 1);
    EXPECT_GT(break_long_words(dense.data(), dense.size(), out.data(), out.size()), dense.size());
    EXPECT_EQ(break_long_words(dense.data(), dense.size(), out.data(), out.size() - 1), 0u);
}

}  // namespace
