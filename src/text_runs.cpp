#include "text_runs.h"

#include <cctype>
#include <cstdint>
#include <cstring>

#include "utf8.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

bool ends_sentence(char c) { return c == '.' || c == '!' || c == '?'; }

bool is_wide_sentence_end(const char *c) {
    const unsigned char *u = reinterpret_cast<const unsigned char *>(c);
    return (u[0] == 0xE3 && u[1] == 0x80 && u[2] == 0x82) ||                  // U+3002
           (u[0] == 0xEF && u[1] == 0xBC && (u[2] == 0x81 || u[2] == 0x9F));  // U+FF01, U+FF1F
}

bool ends_clause(char c) { return c == ',' || c == ';' || c == ':'; }

// The last cut in (floor, limit] that follows a blank whose previous byte
// passes `closes` (any byte when closes is null); 0 when there is none.
size_t last_cut(const char *text, size_t floor, size_t limit, bool (*closes)(char)) {
    for (size_t cut = limit; cut > floor; --cut) {
        if (!is_blank(text[cut - 1])) continue;
        if (!closes || (cut >= 2 && closes(text[cut - 2]))) return cut;
    }
    return 0;
}

}  // namespace

size_t next_text_run(const char *text, size_t length, size_t max_bytes) {
    if (length <= max_bytes) return length;
    if (max_bytes == 0) return length < 1 ? length : 1;
    const size_t half = max_bytes / 2;
    // A paragraph break counts as a sentence end, and so do the ideographic
    // and fullwidth full stop, exclamation and question marks, which need no
    // blank after them.
    for (size_t cut = max_bytes; cut > half && cut >= 3; --cut) {
        if (text[cut - 1] == '\n' && text[cut - 2] == '\n') return cut;
        if (is_wide_sentence_end(text + cut - 3)) return cut;
    }
    if (size_t cut = last_cut(text, half, max_bytes, ends_sentence)) return cut;
    if (size_t cut = last_cut(text, half, max_bytes, ends_clause)) return cut;
    if (size_t cut = last_cut(text, 0, max_bytes, nullptr)) return cut;
    // No blank at all: between characters, the byte at the cut not being a
    // UTF-8 continuation byte.
    for (size_t cut = max_bytes; cut > 0; --cut)
        if ((static_cast<unsigned char>(text[cut]) & 0xC0) != 0x80) return cut;
    return max_bytes;  // only continuation bytes: not UTF-8, any cut will do
}

// -- words eSpeak NG would cut -------------------------------------------------

namespace {

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

bool ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The end of the run of ASCII letters at s[i], apostrophes between letters
// included ("don't" is one word to eSpeak NG).
size_t letter_run_end(const char *s, size_t n, size_t i) {
    while (i < n && (ascii_letter(s[i]) || (s[i] == '\'' && i + 1 < n && ascii_letter(s[i + 1]) && i > 0 &&
                                            ascii_letter(s[i - 1]))))
        ++i;
    return i;
}

// How many letters of a run eSpeak NG spells out rather than reads: all of
// them without a vowel ("xkcd", "www"), else those before the first vowel
// unless English words can start with them ("str", "sch"): "bwa" is "b" and
// "wa", "wwwa" 33 phonemes for four letters.
size_t spelled_letters(const char *run, size_t n) {
    static const char *const kOnsets[] = {"bl", "br", "ch", "cl", "cr", "dr", "dw", "fl", "fr", "gh", "gl",
                                          "gn", "gr", "kl", "kn", "kr", "ph", "pl", "pr", "rh", "sc", "sh",
                                          "sk", "sl", "sm", "sn", "sp", "sq", "st", "sw", "th", "tr", "tw",
                                          "wh", "wr", "chr", "phr", "sch", "scr", "shr", "sph", "spl", "spr",
                                          "str", "thr"};
    char onset[4];
    size_t count = 0;
    for (size_t i = 0; i < n; ++i) {
        if (run[i] == '\'') continue;
        char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(run[i])));
        if (std::strchr("aeiouy", lower)) {
            if (count < 2) return 0;
            if (count <= 3) {
                onset[count] = '\0';
                for (const char *known : kOnsets)
                    if (std::strcmp(onset, known) == 0) return 0;
            }
            return count;
        }
        if (count < 3) onset[count] = lower;
        ++count;
    }
    return count;  // no vowel
}

size_t decode_at(const char *s, size_t n, size_t i, uint32_t *cp) {
    return orvel_utf8::decode(reinterpret_cast<const unsigned char *>(s) + i, n - i, cp);
}

// A word eSpeak NG reads as a word, however long: ASCII letters, perhaps with
// punctuation, none of them spelled out (capitals with vowels are read too).
// Breaking it would change how it sounds.
bool ordinary_word(const char *w, size_t n) {
    bool letters = false;
    for (size_t i = 0; i < n;) {
        if (ascii_letter(w[i])) {
            size_t end = letter_run_end(w, n, i);
            if (spelled_letters(w + i, end - i) > 0) return false;
            letters = true;
            i = end;
        } else if (std::strchr(".,;:!?'\"-()", w[i])) {
            ++i;
        } else {
            return false;
        }
    }
    return letters;
}

}  // namespace

// From what eSpeak NG does with each kind of character: an ordinary word comes
// to about 2 phonemes a letter, but letters it spells out ("xkcd", "IBM", the
// "ww" of "wwa") up to 10 each ("double-u"), a digit up to 13 ("7777777" is
// read as a number), a symbol is read as its name ("*" "asterisk"). Beyond
// ASCII a character costs what the measured table says: a letter the voice
// cannot read is spelled by its name ("Thai character ko kai"), up to 45.
int estimated_phonemes(const char *s, size_t n) {
    int total = 0;
    size_t i = 0;
    while (i < n) {
        size_t word_end = i;
        while (word_end < n && !is_blank(s[word_end])) ++word_end;
        bool lower = false;  // capitals alone are spelled ("NASA" may be)
        for (size_t k = i; k < word_end; ++k) lower = lower || (s[k] >= 'a' && s[k] <= 'z');
        while (i < word_end) {
            if (ascii_letter(s[i])) {
                size_t run_end = letter_run_end(s, word_end, i);
                int apostrophes = 0;
                for (size_t k = i; k < run_end; ++k) apostrophes += s[k] == '\'';
                int letters = static_cast<int>(run_end - i) - apostrophes;
                int spelled = lower ? static_cast<int>(spelled_letters(s + i, run_end - i)) : letters;
                total += 10 * spelled + 2 * (letters - spelled) + 3 * apostrophes;
                i = run_end;
                continue;
            }
            uint32_t cp = 0;
            size_t len = decode_at(s, word_end, i, &cp);
            if (len == 0) len = 1, cp = 0xFFFD;
            i += len;
            if (cp < 0x80) {
                if (cp >= '0' && cp <= '9') {
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
        if (i < n) {
            total += 1;  // the word break
            ++i;
        }
    }
    return total;
}

size_t break_long_words(const char *text, size_t length, char *out, size_t out_capacity) {
    if (out_capacity < 2 * length + 1) return 0;
    size_t o = 0;
    for (size_t start = 0; start < length;) {
        if (is_blank(text[start])) {
            out[o++] = text[start++];
            continue;
        }
        size_t end = start;
        while (end < length && !is_blank(text[end])) ++end;
        const char *word = text + start;
        const size_t n = end - start;
        if (estimated_phonemes(word, n) <= WORD_PHONEME_BUDGET || ordinary_word(word, n)) {
            std::memcpy(out + o, word, n);
            o += n;
        } else {
            // Greedy parts: a character joins the part while the part stays within budget.
            size_t part = 0;
            for (size_t i = 0; i < n;) {
                uint32_t cp;
                size_t len = decode_at(word, n, i, &cp);
                if (len == 0) len = 1;
                if (i > part && estimated_phonemes(word + part, i + len - part) > WORD_PHONEME_BUDGET) {
                    std::memcpy(out + o, word + part, i - part);
                    o += i - part;
                    out[o++] = ' ';
                    part = i;
                }
                i += len;
            }
            std::memcpy(out + o, word + part, n - part);
            o += n - part;
        }
        start = end;
    }
    out[o] = '\0';
    return o;
}
