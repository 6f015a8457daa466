// Where a long text is cut into runs that one phonemizer call takes whole:
// after a sentence, else after a clause, else at a blank, and at worst
// between two UTF-8 characters, never inside one. And the words eSpeak NG
// would cut short, broken first so that none of them loses its end.
#ifndef ORVEL_TEXT_RUNS_H
#define ORVEL_TEXT_RUNS_H

#include <cstddef>

// The length of the run that starts the length bytes at text: all of them when
// they are at most max_bytes, else at most max_bytes and at least 1. A sentence
// or clause end is taken only in the second half of max_bytes, so that runs
// stay long; a blank or a character boundary anywhere.
size_t next_text_run(const char *text, size_t length, size_t max_bytes);

// eSpeak NG keeps about 200 phonemes of one word and silently drops the rest:
// a word it spells letter by letter ("xkcd...", a run of Runic or Khmer
// letters) or a long number loses its end. Such words are broken with spaces
// into parts estimated at no more than this.
constexpr int WORD_PHONEME_BUDGET = 150;

// An upper estimate of the phonemes eSpeak NG makes of text[0, length).
int estimated_phonemes(const char *text, size_t length);

// Copies text[0, length) to out with a space inside every word estimated above
// WORD_PHONEME_BUDGET, between characters, so that each part fits it; words
// eSpeak NG reads as words, however long, stay whole. Every part holds at least
// one character, so out_capacity of 2 * length + 1 always suffices. Returns the
// bytes written before the terminating NUL, or 0 when out_capacity is smaller.
size_t break_long_words(const char *text, size_t length, char *out, size_t out_capacity);

#endif
