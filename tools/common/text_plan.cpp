// The text planner: cleaning, paragraph and sentence splitting, phoneme
// estimates and packing into requests (see text_plan.h).
#include "text_plan.h"

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

// Splits a sentence that does not fit one request: at clause punctuation
// (", " "; " ": ") first, then at spaces, then between UTF-8 characters, and
// packs the parts greedily back into requests that fit.
void split_to_fit(const std::string &s, int level, std::vector<std::string> *out) {
    if (fits(s)) {
        out->push_back(s);
        return;
    }
    std::vector<std::string> parts;
    std::string joiner = " ";
    if (level == 0) {
        size_t start = 0;
        for (size_t i = 0; i + 1 < s.size(); ++i) {
            if ((s[i] == ',' || s[i] == ';' || s[i] == ':') && s[i + 1] == ' ') {
                parts.push_back(s.substr(start, i + 1 - start));
                start = i + 2;
            }
        }
        parts.push_back(s.substr(start));
    } else if (level == 1) {
        size_t start = 0, space;
        while ((space = s.find(' ', start)) != std::string::npos) {
            parts.push_back(s.substr(start, space - start));
            start = space + 1;
        }
        parts.push_back(s.substr(start));
    } else {
        joiner.clear();
        for (size_t i = 0; i < s.size();) {
            uint32_t cp;
            size_t len = utf8_decode(s, i, &cp);
            if (len == 0) len = 1;
            parts.push_back(s.substr(i, len));
            i += len;
        }
    }
    std::string current;
    for (const std::string &part : parts) {
        if (part.empty()) continue;
        std::string joined = current.empty() ? part : current + joiner + part;
        if (fits(joined)) {
            current = joined;
            continue;
        }
        if (!current.empty()) out->push_back(current);
        current.clear();
        if (fits(part)) {
            current = part;
        } else {
            split_to_fit(part, level + 1, out);
        }
    }
    if (!current.empty()) out->push_back(current);
}

struct CostRange {
    uint32_t first, last;
    int phonemes;
};

constexpr CostRange kCostRanges[] = {
#include "phoneme_costs.inc"
};

// Phonemes at most for one character from U+0080 up.
int non_ascii_cost(uint32_t cp) {
    size_t lo = 0, hi = sizeof kCostRanges / sizeof kCostRanges[0];
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (cp > kCostRanges[mid].last) {
            lo = mid + 1;
        } else if (cp < kCostRanges[mid].first) {
            hi = mid;
        } else {
            return kCostRanges[mid].phonemes;
        }
    }
    return 48;  // beyond the table: as much as the costliest script
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

namespace {

bool ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The end of the run of ASCII letters at s[i], apostrophes between letters
// included ("don't" is one word to eSpeak NG).
size_t letter_run_end(const std::string &s, size_t i) {
    while (i < s.size() && (ascii_letter(s[i]) || (s[i] == '\'' && i + 1 < s.size() && ascii_letter(s[i + 1]) &&
                                                   i > 0 && ascii_letter(s[i - 1]))))
        ++i;
    return i;
}

// How many letters of a run eSpeak NG spells out rather than reads: all of
// them without a vowel ("xkcd", "www"), else those before the first vowel
// unless English words can start with them ("str", "sch"): "bwa" is "b" and
// "wa", "wwwa" 33 phonemes for four letters.
size_t spelled_letters(const std::string &run) {
    static const char *const kOnsets[] = {"bl", "br", "ch", "cl", "cr", "dr", "dw", "fl", "fr", "gh", "gl",
                                          "gn", "gr", "kl", "kn", "kr", "ph", "pl", "pr", "rh", "sc", "sh",
                                          "sk", "sl", "sm", "sn", "sp", "sq", "st", "sw", "th", "tr", "tw",
                                          "wh", "wr", "chr", "phr", "sch", "scr", "shr", "sph", "spl", "spr",
                                          "str", "thr"};
    std::string onset;
    for (char c : run) {
        if (c == '\'') continue;
        char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (std::strchr("aeiouy", lower)) {
            if (onset.size() < 2) return 0;
            for (const char *known : kOnsets) {
                if (onset == known) return 0;
            }
            return onset.size();
        }
        onset += lower;
    }
    return onset.size();  // no vowel
}

}  // namespace

// An upper estimate of the phonemes eSpeak NG makes of a text, from what it
// does with each kind of character: an ordinary word comes to about 2 per
// letter, but letters it spells out ("xkcd", "IBM", the "ww" of "wwa") up to
// 10 each ("double-u"), a digit up to 13 ("7777777" is read as a number), a
// symbol is read as its name ("*" "asterisk"). Beyond ASCII a character costs
// what the measured table says: a letter eSpeak NG's voice cannot read is
// spelled by its name ("Thai character ko kai"), up to 45 phonemes.
int estimated_phonemes(const std::string &s) {
    int total = 0;
    size_t i = 0;
    while (i < s.size()) {
        size_t word_end = s.find(' ', i);
        if (word_end == std::string::npos) word_end = s.size();
        bool lower = false;  // capitals alone are spelled ("NASA" may be)
        for (size_t k = i; k < word_end; ++k) lower = lower || (s[k] >= 'a' && s[k] <= 'z');
        while (i < word_end) {
            if (ascii_letter(s[i])) {
                size_t run_end = letter_run_end(s, i);
                std::string run = s.substr(i, run_end - i);
                int apostrophes = static_cast<int>(std::count(run.begin(), run.end(), '\''));
                int letters = static_cast<int>(run.size()) - apostrophes;
                int spelled = lower ? static_cast<int>(spelled_letters(run)) : letters;
                total += 10 * spelled + 2 * (letters - spelled) + 3 * apostrophes;
                i = run_end;
                continue;
            }
            uint32_t cp = 0;
            size_t len = utf8_decode(s, i, &cp);
            if (len == 0) len = 1, cp = 0xFFFD;
            i += len;
            if (cp < 0x80) {
                if (std::isdigit(static_cast<int>(cp))) {
                    total += 13;
                } else if (std::strchr(".,;:!?'\"-()", static_cast<int>(cp))) {
                    total += 3;
                } else {
                    total += 10;
                }
            } else {
                total += non_ascii_cost(cp);
            }
        }
        if (i < s.size()) {
            total += 1;  // the word break
            ++i;
        }
    }
    return total;
}

bool fits(const std::string &s) {
    return s.size() <= kRequestByteBudget && estimated_phonemes(s) <= kRequestPhonemeBudget;
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

namespace {

// A word eSpeak NG reads as a word, however long: ASCII letters, perhaps with
// punctuation, none of them spelled out (capitals with vowels are read too).
// Breaking it would change how it sounds.
bool ordinary_word(const std::string &word) {
    bool letters = false;
    for (size_t i = 0; i < word.size();) {
        if (ascii_letter(word[i])) {
            size_t end = letter_run_end(word, i);
            if (spelled_letters(word.substr(i, end - i)) > 0) return false;
            letters = true;
            i = end;
        } else if (std::strchr(".,;:!?'\"-()", word[i])) {
            ++i;
        } else {
            return false;
        }
    }
    return letters;
}

}  // namespace

std::string break_long_words(const std::string &sentence) {
    std::string out;
    size_t start = 0;
    while (start <= sentence.size()) {
        size_t end = sentence.find(' ', start);
        if (end == std::string::npos) end = sentence.size();
        std::string word = sentence.substr(start, end - start);
        if (!out.empty() || start > 0) out += ' ';
        if (estimated_phonemes(word) <= kWordPhonemeBudget || ordinary_word(word)) {
            out += word;
        } else {
            std::string part;
            for (size_t i = 0; i < word.size();) {
                uint32_t cp;
                size_t len = utf8_decode(word, i, &cp);
                if (len == 0) len = 1;
                std::string longer = part + word.substr(i, len);
                if (!part.empty() && estimated_phonemes(longer) > kWordPhonemeBudget) {
                    out += part + ' ';
                    part = word.substr(i, len);
                } else {
                    part = longer;
                }
                i += len;
            }
            out += part;
        }
        start = end + 1;
    }
    return out;
}

std::vector<Request> plan_requests(const std::string &text) {
    std::vector<Request> requests;
    for (const std::string &paragraph : split_paragraphs(clean_text(text))) {
        for (const std::string &sentence : split_sentences(paragraph)) {
            std::vector<std::string> pieces;
            split_to_fit(break_long_words(sentence), 0, &pieces);
            for (size_t i = 0; i < pieces.size(); ++i) requests.push_back({pieces[i], i == 0});
        }
    }
    return requests;
}

}  // namespace textplan
