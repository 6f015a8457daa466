// The text planner of the tools: turns any text into requests the library can
// take whole, in speaking order, each marked when a sentence starts with it.
//
// Plain C++ over std::string, independent of the library's state, so orvel-say
// and the server plan alike and the planner can be tested on its own; where a
// sentence is cut is the library's own rule (src/text_runs.h).
#ifndef ORVEL_TOOLS_TEXT_PLAN_H
#define ORVEL_TOOLS_TEXT_PLAN_H

#include <cstddef>
#include <string>
#include <vector>

namespace textplan {

// The library speaks a text of any length, so a request need not fit one
// model run: the planner cuts text for the listener instead. Each sentence is
// a request, so the first audio comes as soon as the first sentence is spoken
// and a pause can go between sentences; a sentence longer than this is cut
// into pieces where the library cuts a long text (after a clause, else at a
// blank, never inside a character), so that it too starts soon.
constexpr size_t kPieceBytes = 512;

struct Request {
    std::string text;
    bool starts_sentence = true;  // a pause goes before it, unless it is the first spoken
    double pause_ms = 0;   // silence asked for before it (an SSML break), besides that pause
    double rate = 1.0;     // speaking rate relative to the voice's own (SSML prosody)
    std::string voice;     // the voice or speaker SSML named; empty: the run's own
};

// Cleans and splits a whole text; empty when there is nothing but space.
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
// Pieces of one sentence, each at most kPieceBytes, trimmed.
std::vector<std::string> split_pieces(const std::string &sentence);

}  // namespace textplan

#endif
