#include "lexicon.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace orvel_tools {

namespace {

// The bytes of the UTF-8 character at text[at] (1 for a broken one).
size_t utf8_length(const std::string &text, size_t at) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (at + n > text.size()) return 1;
    for (size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(text[at + k]) & 0xC0) != 0x80) return 1;
    return n;
}

// The length of the word character at text[at], 0 when it is none: ASCII
// letters and digits, and every non-ASCII character but the punctuation and
// spaces that sit beside words (U+00A0-U+00BF, U+00D7, U+00F7, U+2000-U+206F,
// U+3000-U+303F, U+FF01-U+FF0F); a broken UTF-8 byte counts as one letter.
size_t word_char(const std::string &text, size_t at) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    if (c < 0x80) return ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) ? 1 : 0;
    const size_t n = utf8_length(text, at);
    if (n == 1) return 1;
    uint32_t cp = c & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[at + k]) & 0x3F);
    bool punctuation = (cp >= 0xA0 && cp <= 0xBF) || cp == 0xD7 || cp == 0xF7 || (cp >= 0x2000 && cp <= 0x206F) ||
                       (cp >= 0x3000 && cp <= 0x303F) || (cp >= 0xFF01 && cp <= 0xFF0F);
    return punctuation ? 0 : n;
}

// Where the word starting at `at` ends: word characters, with single
// apostrophes and hyphens between them.
size_t word_end(const std::string &text, size_t at) {
    size_t i = at;
    while (i < text.size()) {
        size_t n = word_char(text, i);
        if (n == 0 && (text[i] == '\'' || text[i] == '-') && i > at && i + 1 < text.size() &&
            word_char(text, i + 1) > 0)
            n = 1;
        if (n == 0) break;
        i += n;
    }
    return i;
}

std::string ascii_lower(std::string text) {
    for (char &c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

}  // namespace

bool Lexicon::load(const std::string &path, std::string *error) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        *error = "cannot read the lexicon '" + path + "': it is a directory";
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = "cannot open the lexicon '" + path + "': " + std::strerror(errno);
        return false;
    }
    std::ostringstream content;
    content << file.rdbuf();
    if (file.bad()) {
        *error = "cannot read the lexicon '" + path + "'";
        return false;
    }
    return parse(content.str(), path, error);
}

bool Lexicon::parse(const std::string &content, const std::string &name, std::string *error) {
    size_t line_number = 0;
    for (size_t start = 0; start < content.size();) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        std::string line = content.substr(start, end - start);
        start = end + 1;
        ++line_number;
        if (line_number == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        size_t first = 0;
        while (first < line.size() && is_blank(line[first])) ++first;
        if (first == line.size() || line[first] == '#') continue;
        auto fail = [&](const std::string &reason) {
            *error = name + ":" + std::to_string(line_number) + ": " + reason;
            return false;
        };
        size_t word_stop = word_end(line, first);
        if (word_stop == first) return fail("an entry starts with a word (letters or digits)");
        if (word_stop < line.size() && !is_blank(line[word_stop])) {
            size_t blank = first;
            while (blank < line.size() && !is_blank(line[blank])) ++blank;
            return fail("'" + line.substr(first, blank - first) +
                        "' is not one word: letters and digits, with ' or - inside");
        }
        size_t say = word_stop;
        while (say < line.size() && is_blank(line[say])) ++say;
        size_t say_end = line.size();
        while (say_end > say && is_blank(line[say_end - 1])) --say_end;
        std::string word = line.substr(first, word_stop - first);
        if (say == say_end) return fail("'" + word + "' has nothing to say instead");
        (ascii_lower(word) == word ? folded_ : exact_)[word] = line.substr(say, say_end - say);
    }
    return true;
}

std::string Lexicon::apply(const std::string &text) const {
    if (empty()) return text;
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        // A word starts where the text before is not part of one; what is
        // not a word is passed over a whole character at a time.
        if (word_char(text, i) == 0) {
            size_t n = utf8_length(text, i);
            out.append(text, i, n);
            i += n;
            continue;
        }
        size_t end = word_end(text, i);
        std::string word = text.substr(i, end - i);
        auto exact = exact_.find(word);
        if (exact != exact_.end()) {
            out += exact->second;
        } else {
            auto folded = folded_.find(ascii_lower(word));
            out += folded != folded_.end() ? folded->second : word;
        }
        i = end;
    }
    return out;
}

}  // namespace orvel_tools
