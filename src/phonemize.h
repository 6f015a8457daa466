// eSpeak NG, loaded at run time: text to IPA code points.
#ifndef ORVEL_PHONEMIZE_H
#define ORVEL_PHONEMIZE_H

#include <cstdint>

constexpr int PHONEMIZE_TEXT_SIZE = 8192;  // text buffer: 8191 bytes and a NUL

// Loads and initialises eSpeak NG with its data path (null: its default).
// 0 on success or when already initialised; -1 after one diagnostic line.
int phonemize_init(const char *espeak_data_path);

// Terminates and unloads eSpeak NG. Does nothing when it is not initialised.
void phonemize_terminate();

// Phonemizes text with the named eSpeak NG voice into at most capacity IPA code
// points (language-switch groups and zero-width characters dropped). Returns
// the number stored, or -1 after one diagnostic line.
int phonemize_text(const char *voice_name, const char *text, int32_t *codepoints, int capacity);

// What phonemize_text does with each clause eSpeak NG returns: decodes its
// UTF-8 into code points, dropping "(" ... ")" groups and zero-width
// characters, and appends them at codepoints[*count] while there is room.
// Internal; exposed so benchmarks can time it apart from eSpeak NG.
void phonemize_append_clause(const char *phonemes, int32_t *codepoints, int capacity, int *count);

#endif
