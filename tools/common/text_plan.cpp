// The text planner: cleaning, paragraph, sentence and piece splitting (see
// text_plan.h).
#include "text_plan.h"

#include "text_runs.h"

#include "utf8.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>

namespace textplan {

namespace {

// The character at s[i]: its length, or 0 for a byte that starts none.
size_t utf8_decode(const std::string &s, size_t i, uint32_t *cp) {
    return orvel_utf8::decode(reinterpret_cast<const unsigned char *>(s.data()) + i, s.size() - i, cp);
}

void utf8_append(uint32_t cp, std::string *out) {
    unsigned char bytes[4];
    out->append(reinterpret_cast<const char *>(bytes), orvel_utf8::encode(cp, bytes));
}

// Whether the "." at s[dot], followed by a space, ends an abbreviation rather
// than a sentence.
bool ends_with_abbreviation(const std::string &s, size_t dot) {
    size_t start = s.rfind(' ', dot);
    start = start == std::string::npos ? 0 : start + 1;
    std::string word = s.substr(start, dot - start);
    if (word.size() == 1 && std::isalpha(static_cast<unsigned char>(word[0]))) return true;  // an initial
    static const char *const kAbbreviations[] = {"Mr", "Mrs", "Ms", "Dr", "Prof", "St", "Jr", "Sr", "vs", "e.g",
                                                 "i.e", "cf", "Mt", "Fig"};
    for (const char *a : kAbbreviations) {
        if (word == a) return true;
    }
    // "No." stands for "number" only before one ("No. 7"); "I said No. Then" ends there.
    return word == "No" && dot + 2 < s.size() && std::isdigit(static_cast<unsigned char>(s[dot + 2]));
}

}  // namespace

// Makes the text valid UTF-8 with "\n" line ends: bytes that are not UTF-8 are
// read as Latin-1 (the usual other encoding of a text file), control
// characters, NUL among them (it would end a request early), become spaces,
// and a leading byte-order mark goes.
std::string clean_text(const std::string &raw) {
    std::string out;
    out.reserve(raw.size());
    size_t i = raw.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (i < raw.size()) {
        uint32_t cp;
        size_t len = utf8_decode(raw, i, &cp);
        if (len == 0) {
            cp = static_cast<unsigned char>(raw[i]);
            len = 1;
        }
        i += len;
        if (cp == '\r') {
            if (i < raw.size() && raw[i] == '\n') ++i;
            out += '\n';
        } else if (cp == '\n') {
            out += '\n';
        } else if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0)) {
            out += ' ';
        } else {
            utf8_append(cp, &out);
        }
    }
    return out;
}

// Paragraphs are separated by blank lines; inside one, line breaks and runs of
// spaces become single spaces.
std::vector<std::string> split_paragraphs(const std::string &text) {
    std::vector<std::string> paragraphs;
    std::string current;
    bool space = false;
    int newlines = 0;
    for (char c : text) {
        if (c == ' ' || c == '\n') {
            space = true;
            newlines += c == '\n';
            continue;
        }
        if (newlines >= 2 && !current.empty()) {
            paragraphs.push_back(current);
            current.clear();
        } else if (space && !current.empty()) {
            current += ' ';
        }
        space = false;
        newlines = 0;
        current += c;
    }
    if (!current.empty()) paragraphs.push_back(current);
    return paragraphs;
}

// Sentence ends: ".", "!" or "?" (with closing quotes and brackets after them)
// before a space and a word that does not start in lower case, or a full-width
// "。", "！", "？" anywhere.
std::vector<std::string> split_sentences(const std::string &paragraph) {
    std::vector<std::string> sentences;
    size_t start = 0, i = 0;
    auto emit = [&](size_t end) {
        std::string s = paragraph.substr(start, end - start);
        while (!s.empty() && s.front() == ' ') s.erase(0, 1);
        while (!s.empty() && s.back() == ' ') s.pop_back();
        if (!s.empty()) sentences.push_back(s);
        start = end;
    };
    while (i < paragraph.size()) {
        if (paragraph.compare(i, 3, "\xE3\x80\x82") == 0 || paragraph.compare(i, 3, "\xEF\xBC\x81") == 0 ||
            paragraph.compare(i, 3, "\xEF\xBC\x9F") == 0) {
            i += 3;
            emit(i);
            continue;
        }
        char c = paragraph[i];
        if (c != '.' && c != '!' && c != '?') {
            ++i;
            continue;
        }
        size_t first = i;
        while (i < paragraph.size() && (paragraph[i] == '.' || paragraph[i] == '!' || paragraph[i] == '?')) ++i;
        static const char *const kClosers[] = {")", "]", "}", "\"", "'", "\xE2\x80\x9D", "\xE2\x80\x99",
                                               "\xC2\xBB"};
        for (bool more = true; more;) {
            more = false;
            for (const char *closer : kClosers) {
                size_t n = std::strlen(closer);
                if (paragraph.compare(i, n, closer) == 0) {
                    i += n;
                    more = true;
                }
            }
        }
        if (i < paragraph.size() && paragraph[i] != ' ') continue;
        bool lower_next = i + 1 < paragraph.size() && std::islower(static_cast<unsigned char>(paragraph[i + 1]));
        bool abbreviation = i - first == 1 && paragraph[first] == '.' && ends_with_abbreviation(paragraph, first);
        if (!lower_next && !abbreviation) emit(i);
    }
    emit(paragraph.size());
    return sentences;
}


bool has_letter_or_digit(const std::string &piece) {
    // Beyond ASCII, everything counts but the blocks of punctuation, symbols,
    // marks, emoji, private use and specials (and Latin-1's signs).
    struct Range {
        uint32_t first, last;
    };
    static const Range kNotLetters[] = {
        {0x80, 0xA9},     {0xAB, 0xB1},     {0xB4, 0xB4},     {0xB6, 0xB8},     {0xBB, 0xBB},
        {0xBF, 0xBF},     {0xD7, 0xD7},     {0xF7, 0xF7},     {0x300, 0x36F},   {0x2000, 0x2BFF},
        {0x2E00, 0x2E7F}, {0x3000, 0x3004}, {0x3008, 0x3020}, {0x3030, 0x3030}, {0xE000, 0xF8FF},
        {0xFE00, 0xFE6F}, {0xFF01, 0xFF0F}, {0xFF1A, 0xFF20}, {0xFF3B, 0xFF40}, {0xFF5B, 0xFF65},
        {0xFFF0, 0xFFFF}, {0x1F000, 0x1FAFF}, {0xE0000, 0x10FFFF},
    };
    for (size_t i = 0; i < piece.size();) {
        uint32_t cp = 0;
        size_t len = utf8_decode(piece, i, &cp);
        if (len == 0) len = 1, cp = 0xFFFD;
        i += len;
        if (cp < 0x80) {
            if (std::isalnum(static_cast<int>(cp))) return true;
            continue;
        }
        bool letter = true;
        for (const Range &r : kNotLetters) letter = letter && !(cp >= r.first && cp <= r.last);
        if (letter) return true;
    }
    return false;
}

bool is_nothing_to_say(const std::string &library_message) {
    // The library's one message for a text that came back from eSpeak NG
    // without phonemes (src/orvel.cpp).
    return library_message == "Phonemization failed for text";
}

std::string excerpt(const std::string &piece, size_t max_bytes) {
    if (piece.size() <= max_bytes) return piece;
    size_t end = max_bytes;
    while (end > 0 && (static_cast<unsigned char>(piece[end]) & 0xC0) == 0x80) --end;
    return piece.substr(0, end) + "...";
}

std::vector<std::string> split_pieces(const std::string &sentence) {
    std::vector<std::string> pieces;
    for (size_t at = 0; at < sentence.size();) {
        size_t n = next_text_run(sentence.data() + at, sentence.size() - at, kPieceBytes);
        std::string piece = sentence.substr(at, n);
        at += n;
        while (!piece.empty() && piece.back() == ' ') piece.pop_back();
        if (!piece.empty()) pieces.push_back(piece);
    }
    return pieces;
}

std::vector<Request> plan_requests(const std::string &text) {
    std::vector<Request> requests;
    for (const std::string &paragraph : split_paragraphs(clean_text(text))) {
        for (const std::string &sentence : split_sentences(paragraph)) {
            std::vector<std::string> pieces = split_pieces(sentence);
            for (size_t i = 0; i < pieces.size(); ++i) {
                Request request;
                request.text = pieces[i];
                request.starts_sentence = i == 0;
                requests.push_back(std::move(request));
            }
        }
    }
    return requests;
}

}  // namespace textplan
