// eSpeak NG, loaded at run time: text to IPA code points.
#ifndef ORVEL_PHONEMIZE_H
#define ORVEL_PHONEMIZE_H

#include <cstdint>

#include "orvel.h"

constexpr int PHONEMIZE_TEXT_SIZE = ORVEL_MAX_TEXT_BYTES + 1;  // the text and a NUL

// Loads and initialises eSpeak NG with its data path (null: its default).
// 0 on success or when already initialised; -1 after one diagnostic line.
int phonemize_init(const char *espeak_data_path);

// Terminates and unloads eSpeak NG. Does nothing when it is not initialised.
void phonemize_terminate();

// Phonemizes text with the named eSpeak NG voice into at most capacity IPA code
// points (language-switch groups and zero-width characters dropped). Every
// clause after the first that adds code points is preceded by one space, and a
// clause that eSpeak NG closed at , . ? ! ; : (or the ellipsis, fullwidth and
// ideographic forms of them) ends with that ASCII character. Returns the
// number stored, or -1 after one diagnostic line.
int phonemize_text(const char *voice_name, const char *text, int32_t *codepoints, int capacity);

// The clause loop under phonemize_text: selects the voice, prepares the text
// and calls visit with each non-empty clause eSpeak NG returns and the
// punctuation that closed it (0 for none). eSpeak NG 1.51 drops the end of a
// clause of about 300 words or 1,000 phonemes without a word, so a longer
// clause is spoken in pieces broken at blanks; a break reads as a space
// between two clauses without punctuation. 0, or -1 after one diagnostic line.
using ClauseVisitor = void (*)(const char *phonemes, int32_t punctuation, void *context);
int phonemize_each_clause(const char *voice_name, const char *text, ClauseVisitor visit, void *context);

// What phonemize_text does with each clause: decodes its UTF-8 into code
// points, dropping "(" ... ")" groups and zero-width characters, and appends
// them at codepoints[*count] while there is room, preceded by a space when
// *count is not 0 and followed by the punctuation when it is not 0 (both only
// when the clause adds anything). Internal; exposed so benchmarks can time it
// apart from eSpeak NG.
void phonemize_append_clause(const char *phonemes, int32_t punctuation, int32_t *codepoints, int capacity,
                             int *count);

#endif
