// Where a long text is cut into runs that one phonemizer call takes whole:
// after a sentence, else after a clause, else at a blank, and at worst
// between two UTF-8 characters, never inside one.
#ifndef ORVEL_TEXT_RUNS_H
#define ORVEL_TEXT_RUNS_H

#include <cstddef>

// The length of the run that starts the length bytes at text: all of them when
// they are at most max_bytes, else at most max_bytes and at least 1. A sentence
// or clause end is taken only in the second half of max_bytes, so that runs
// stay long; a blank or a character boundary anywhere.
size_t next_text_run(const char *text, size_t length, size_t max_bytes);

#endif
