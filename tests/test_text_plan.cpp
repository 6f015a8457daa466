// The tools' text planner: text in, planned requests with their sentence-start
// flags out.
#include "text_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace {

using textplan::plan_requests;

// "|" ends a request; "^" before a request marks a sentence start.
std::string describe(const std::vector<textplan::Request> &requests) {
    std::string out;
    for (const textplan::Request &r : requests) out += (r.starts_sentence ? "^" : "") + r.text + "|";
    return out;
}

std::vector<std::string> words_of(const std::string &text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

TEST(TextPlan, SentencesAndTheirStarts) {
    struct Row {
        const char *name, *text, *expected;
    } rows[] = {
        {"one sentence", "Hello world.", "^Hello world.|"},
        {"three ends", "One. Two! Three?", "^One.|^Two!|^Three?|"},
        {"no final stop", "One. Two", "^One.|^Two|"},
        {"title", "Mr. Smith came. He left.", "^Mr. Smith came.|^He left.|"},
        {"initials", "W. H. Auden wrote. Then he slept.", "^W. H. Auden wrote.|^Then he slept.|"},
        {"lower case goes on", "e.g. this one. Done.", "^e.g. this one.|^Done.|"},
        // "No." abbreviates "number" only before one; elsewhere it is the word.
        {"the word No", "I said No. Then I left.", "^I said No.|^Then I left.|"},
        {"the number No", "Room No. 7 is free. Take it.", "^Room No. 7 is free.|^Take it.|"},
        {"quote after the stop", "He said \"Stop.\" Then he went.", "^He said \"Stop.\"|^Then he went.|"},
        {"curly quote and bracket", "(Really?) Yes. \xE2\x80\x9CSure!\xE2\x80\x9D Ok.",
         "^(Really?)|^Yes.|^\xE2\x80\x9CSure!\xE2\x80\x9D|^Ok.|"},
        {"ellipsis before lower case", "Wait... what? Yes...", "^Wait... what?|^Yes...|"},
        {"ellipsis before a capital", "Well... Maybe.", "^Well...|^Maybe.|"},
        {"decimals and versions", "It costs 3.50 today. Pi is 3.14.", "^It costs 3.50 today.|^Pi is 3.14.|"},
        {"stop before a digit", "Chapter one ends. 2 more follow.", "^Chapter one ends.|^2 more follow.|"},
        {"CJK full stops", "\xE4\xBD\xA0\xE5\xA5\xBD\xE3\x80\x82\xE4\xBB\x8A\xE5\xA4\xA9\xEF\xBC\x81\xE5\xA5\xBD",
         "^\xE4\xBD\xA0\xE5\xA5\xBD\xE3\x80\x82|^\xE4\xBB\x8A\xE5\xA4\xA9\xEF\xBC\x81|^\xE5\xA5\xBD|"},
        {"paragraphs", "One\n\nTwo\nlines", "^One|^Two lines|"},
        {"punctuation only", "...", "^...|"},
        {"empty", "", ""},
        {"only space", " \n\t\r\n\n  ", ""},
    };
    for (const Row &row : rows) EXPECT_EQ(describe(plan_requests(row.text)), row.expected) << row.name;
}

TEST(TextPlan, CleaningKeepsTheWordsAndDropsWhatIsNotText) {
    struct Row {
        const char *name;
        std::string text;
        const char *expected;
    } rows[] = {
        {"byte-order mark and CRLF", "\xEF\xBB\xBFOne.\r\n\r\nTwo.", "^One.|^Two.|"},
        {"bare CR lines", "One\r\rTwo", "^One|^Two|"},
        {"control characters and NUL", std::string("a\x01" "b\0c\x7F" "d", 7), "^a b c d|"},
        {"C1 controls", "a\xC2\x85" "b", "^a b|"},
        // Bytes that are not UTF-8 read as Latin-1, where 0x80-0x9F are controls too.
        {"Latin-1 bytes", "caf\xE9 na\xEFve", "^caf\xC3\xA9 na\xC3\xAFve|"},
        {"broken sequence", "x\xE2\x82y", "^x\xC3\xA2 y|"},
        {"surrogate bytes", "a\xED\xA0\x80z", "^a\xC3\xAD\xC2\xA0 z|"},
    };
    for (const Row &row : rows) EXPECT_EQ(describe(plan_requests(row.text)), row.expected) << row.name;
}

// Whatever is split, every request fits, the words come back in order, and only
// the first piece of a sentence starts one.
TEST(TextPlan, LongSentencesAreCutIntoPiecesWithoutLoss) {
    std::string clauses, long_number(6000, '7'), long_word(5000, 'a'), ideographs;
    for (int i = 0; i < 200; ++i) clauses += "one two three four five six, ";
    clauses += "end.";
    for (int i = 0; i < 800; ++i) ideographs += "\xE4\xB8\xAD\xE6\x96\x87";
    struct Row {
        const char *name;
        std::string text;
        bool has_blanks;
    } rows[] = {
        {"clauses", clauses, true},
        {"words without punctuation", [] {
             std::string s;
             for (int i = 0; i < 3000; ++i) s += "banana ";
             return s;
         }(), true},
        {"one long number", long_number, false},
        {"one very long word", long_word, false},
        {"ideographs without spaces", ideographs, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<textplan::Request> requests = plan_requests(row.text);
        ASSERT_GT(requests.size(), 1u);
        std::string joined;
        size_t longest = 0;
        for (size_t i = 0; i < requests.size(); ++i) {
            EXPECT_LE(requests[i].text.size(), textplan::kPieceBytes) << i;
            EXPECT_EQ(requests[i].starts_sentence, i == 0) << i;
            joined += requests[i].text + (row.has_blanks ? " " : "");
            longest = std::max(longest, requests[i].text.size());
        }
        // Not merely short: pieces fill a fair share of what they may hold.
        EXPECT_GT(longest, textplan::kPieceBytes / 2);
        if (row.has_blanks) {
            EXPECT_TRUE(words_of(joined) == words_of(row.text));
        } else {
            EXPECT_TRUE(joined == row.text);
        }
        // Clause breaks come first: no piece of the clause text ends inside a clause.
        if (std::string(row.name) == "clauses") {
            for (size_t i = 0; i + 1 < requests.size(); ++i) EXPECT_EQ(requests[i].text.back(), ',') << i;
        }
    }
}

TEST(TextPlan, BreaksAtCharactersNeverInsideOne) {
    std::string text;
    for (int i = 0; i < 2000; ++i) text += "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // 2, 3 and 4 bytes
    std::vector<textplan::Request> requests = plan_requests(text);
    ASSERT_GT(requests.size(), 1u);
    for (const textplan::Request &r : requests) {
        EXPECT_EQ(textplan::clean_text(r.text), r.text) << "a piece is not valid UTF-8 on its own";
    }
}


// Only a piece without anything sayable may be passed over when it fails.
TEST(TextPlan, LetterOrDigitOfAnyScript) {
    const char *sayable[] = {"a", "7", "... x ...", "\xC3\xA9",            // é
                             "\xE0\xB8\x81",                              // Thai ko kai
                             "\xE4\xB8\xAD",                              // an ideograph
                             "\xD0\x96", "\xC2\xB5", "\xC2\xBD",          // Zhe, micro, one half
                             "\xF0\x90\x8C\x80"};                         // Old Italic A
    const char *unsayable[] = {"", " ", "...", "-- ?!", "\"()\"",
                               "\xE2\x80\xA6\xE2\x80\x94",                // ellipsis, em dash
                               "\xE3\x80\x82\xEF\xBC\x81",                // CJK full stop, fullwidth !
                               "\xE2\x94\x80\xE2\x86\x92\xE2\x99\xAA",    // box line, arrow, note
                               "\xF0\x9F\x98\x80\xEF\xB8\x8F",            // emoji, variation selector
                               "\xCC\x81", "\xC2\xA7\xC2\xA9\xC3\x97",    // a lone accent; section, (c), times
                               "\xEE\x80\x80"};                           // private use
    for (const char *s : sayable) EXPECT_TRUE(textplan::has_letter_or_digit(s)) << s;
    for (const char *s : unsayable) EXPECT_FALSE(textplan::has_letter_or_digit(s)) << s;
}

}  // namespace

