// The text planner of the tools: turns any text into requests the library can
// take whole, in speaking order, each marked when a sentence starts with it.
//
// Plain C++ over std::string, independent of the library, so orvel-say and the
// server plan alike and the planner can be tested on its own.
#ifndef ORVEL_TOOLS_TEXT_PLAN_H
#define ORVEL_TOOLS_TEXT_PLAN_H

#include <cstddef>
#include <string>
#include <vector>

#include "orvel.h"

namespace textplan {

// Request budget. One request takes at most ORVEL_MAX_TEXT_BYTES bytes and
// ORVEL_MAX_PHONEMES ids: the start marker and its pad, each phoneme's id and
// a pad, the end marker, so 2046 phonemes (voices map a phoneme to one id).
// The planner cannot see phoneme counts, so it estimates them from the text
// (see estimated_phonemes) and keeps each request under half of the real
// capacity: an estimate off by a factor of two still loses nothing. Text of
// ordinary words estimates at about 2 phonemes per letter, so a request holds
// about 450 characters of prose and most sentences go whole. The byte limit, a
// quarter of the library's, only matters for scripts the estimate treats as cheap.
constexpr int kRequestPhonemeBudget = (ORVEL_MAX_PHONEMES / 2 - 2) / 2;  // 1023
constexpr size_t kRequestByteBudget = (ORVEL_MAX_TEXT_BYTES + 1) / 4;  // 2048

// eSpeak NG keeps about 200 phonemes of one word and silently drops the rest:
// a word it spells letter by letter ("xkcd...", a run of Runic or Khmer
// letters) or a long number loses its end. Such words are broken with spaces
// into parts estimated at no more than this.
constexpr int kWordPhonemeBudget = 150;

struct Request {
    std::string text;
    bool starts_sentence;  // a pause goes before it, unless it is the first spoken
};

// Cleans, splits and packs a whole text; empty when there is nothing but space.
std::vector<Request> plan_requests(const std::string &text);

// Whether a piece holds a letter or a digit of any script, something a voice
// could say. A request without one may fairly fail ("...", "->", an emoji).
bool has_letter_or_digit(const std::string &piece);

// Whether the library's message for a failed request says that eSpeak NG gave
// its text no phonemes at all: punctuation only, or characters it has no
// reading for (Arabic-Indic digits, Cherokee, unassigned code points). The
// tools pass over such a piece and fail only when no piece could be spoken;
// any other message is a synthesis failure, which would repeat for every piece.
bool is_nothing_to_say(const std::string &library_message);

// A piece for a message line: at most about max_bytes, cut between
// characters, with "..." when it was cut.
std::string excerpt(const std::string &piece, size_t max_bytes);

// The steps of plan_requests, in their order.

// Makes the text valid UTF-8 with "\n" line ends (see text_plan.cpp).
std::string clean_text(const std::string &raw);
// Paragraphs of a cleaned text, each on one line with single spaces.
std::vector<std::string> split_paragraphs(const std::string &text);
// Sentences of one paragraph, trimmed.
std::vector<std::string> split_sentences(const std::string &paragraph);
// An upper estimate of the phonemes eSpeak NG makes of a text.
int estimated_phonemes(const std::string &s);
// Breaks the words eSpeak NG would cut (see kWordPhonemeBudget) with spaces.
std::string break_long_words(const std::string &sentence);
// Whether a piece fits one request by both budgets.
bool fits(const std::string &s);

}  // namespace textplan

#endif
