// Voice configuration: the record, its tolerant JSON reader and the map lookup.
#ifndef ORVEL_JSON_PARSE_H
#define ORVEL_JSON_PARSE_H

#include <cstdint>

constexpr int MAX_PHONEMES = 512;          // rows of the phoneme-id map
constexpr int MAX_IDS_PER_PHONEME = 8;     // ids in one row
constexpr int VOICE_NAME_SIZE = 64;        // eSpeak NG voice name, NUL included

struct PhonemeIdEntry {
    int32_t codepoint;
    int64_t ids[MAX_IDS_PER_PHONEME];
    int32_t num_ids;
};

struct ModelConfig {
    char voice[VOICE_NAME_SIZE];
    float noise_scale;
    float length_scale;
    float noise_w;
    int32_t sample_rate;
    PhonemeIdEntry phonemes[MAX_PHONEMES];
    int32_t num_phonemes;
    int32_t rows_beyond_capacity;  // map rows not kept: more than MAX_PHONEMES
    int32_t num_speakers;
};

// Decodes the JSON string at p (which must be a quotation mark) into buf
// (NUL-terminated, at most buf_size - 1 bytes; buf may be null to only pass
// over it). Returns the position after the closing quote, the end of the text
// for an unclosed string, or null when p is not at a quotation mark.
const char *parse_string(const char *p, char *buf, int buf_size);

// Reads the number at p (blanks skipped) with strtof into *out (0.0 when
// nothing converts) and returns where the bare value ends. Never null.
const char *parse_float(const char *p, float *out);

// Passes over the value at p (blanks skipped). Returns the position after it,
// or null when it cannot be passed over.
const char *skip_value(const char *p);

// Fills *config from the JSON file at path, starting from the defaults.
// 0 when the file was read and begins with an object (whatever follows), else -1.
int parse_model_config(const char *path, ModelConfig *config);

// Copies at most max_ids ids of the first map row for codepoint into out_ids.
// Returns the number copied, 0 when the code point has no row.
int lookup_phoneme_ids(const ModelConfig *config, int32_t codepoint, int64_t *out_ids, int max_ids);

#endif
