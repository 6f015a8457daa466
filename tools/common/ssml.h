// The SSML the tools read: a subset of SSML 1.1, parsed with expat, turned into
// the text, pauses and rate changes it asks for. Markup that cannot be read is
// spoken as plain text (tags left out) with a warning; nothing is dropped.
//
//   speak, p, s       structure; p and s end a sentence
//   break             time="500ms" | "1.5s", or strength="none" ... "x-strong"
//   say-as            interpret-as characters | spell-out | letters | verbatim (one
//                     character at a time), digits, telephone (digit by digit, groups
//                     by pauses), ordinal (English suffixes), cardinal | number | date
//                     (read as written, which eSpeak NG does)
//   sub alias="..."   the alias instead of the content
//   prosody rate      x-slow ... x-fast, "150%", "+20%", "-20%" or a factor; nests
//   voice name="..."  a speaker (or voice) name, for the tool to resolve
//   mark name="..."   kept as a part of its own
//   anything else     its text, never its tag name (emphasis, audio, lang, ...)
//
// A document type declaration is refused, so no entity but XML's five is ever
// expanded (no "billion laughs", no external files).
#ifndef ORVEL_TOOLS_SSML_H
#define ORVEL_TOOLS_SSML_H

#include "lexicon.h"
#include "text_plan.h"

#include <string>
#include <vector>

namespace orvel_tools {

struct SpeechPart {
    enum class Kind { Text, Break, Mark };
    Kind kind = Kind::Text;
    std::string text;         // Text: the words; Mark: its name
    double break_ms = 0;      // Break: the pause asked for
    double rate = 1.0;        // Text: speaking rate, 1 = the voice's own (2 = twice as fast)
    std::string voice;        // Text: the name <voice> gave; empty: the request's voice
    bool continues = false;   // Text: goes on with the sentence before it (no sentence pause)
};

struct SsmlDocument {
    std::vector<SpeechPart> parts;
    std::string warning;      // why the markup was read as plain text; empty when it was read
};

// Longest pause one break may ask for.
constexpr double kMaxBreakMs = 10000.0;
// Elements nested deeper than this are read for their text only.
constexpr int kMaxSsmlDepth = 64;

// Whether a text is SSML by its start: "<speak" or "<?xml" after blanks and a BOM.
bool looks_like_ssml(const std::string &text);

// Reads a document. Never fails: unreadable markup gives one Text part of the
// text without its tags, and a warning.
SsmlDocument parse_ssml(const std::string &text);

// The tags of text left out and XML's five entities read, for markup that
// could not be parsed; "I <3 you" keeps its "<3".
std::string strip_markup(const std::string &text);

// Plain text or SSML (ssml: always; else by looks_like_ssml) into requests
// for the library, with each break's pause and each part's rate and voice,
// the lexicon's words replaced in the text (SSML's after sub and say-as).
// *warning gets the reason when SSML was read as plain text.
std::vector<textplan::Request> plan_speech(const std::string &text, bool ssml, std::string *warning,
                                           const Lexicon *lexicon = nullptr);

}  // namespace orvel_tools

#endif
