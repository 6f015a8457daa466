// A pronunciation lexicon of the tools: words and what to say instead, read
// from a file of one entry a line:
//
//   # comment
//   nginx      engine x
//   SQL        sequel
//   Dvořák     dvorzhak
//
// The word comes first, then blanks, then the respelling (the rest of the
// line). A word is a run of letters and digits (any non-ASCII character counts
// as a letter), with apostrophes and hyphens inside it; only whole words are
// replaced, never parts of longer ones. An entry written in lower case
// matches the word in any case of its ASCII letters ("nginx" matches "Nginx"
// and "NGINX"); one with a capital letter matches only as written ("US" is
// not "us"), and wins over a lower-case entry for the same word.
//
// Respellings are read by eSpeak NG as text: its "[[...]]" phoneme input is
// not honoured by the text-to-phonemes call the library makes (its brackets
// and symbols are read out as punctuation and letters).
#ifndef ORVEL_TOOLS_LEXICON_H
#define ORVEL_TOOLS_LEXICON_H

#include <string>
#include <unordered_map>

namespace orvel_tools {

class Lexicon {
public:
    // Reads entries from a file; false with "FILE:LINE: reason" (or why the
    // file cannot be read) in *error. Entries add to those read before.
    bool load(const std::string &path, std::string *error);
    // The same from the file's content; name is used in messages.
    bool parse(const std::string &content, const std::string &name, std::string *error);

    // The text with every listed word replaced.
    std::string apply(const std::string &text) const;

    bool empty() const { return exact_.empty() && folded_.empty(); }
    size_t size() const { return exact_.size() + folded_.size(); }

private:
    std::unordered_map<std::string, std::string> exact_;   // entries with a capital letter
    std::unordered_map<std::string, std::string> folded_;  // lower-case entries, any case
};

}  // namespace orvel_tools

#endif
