// The engine's process-wide state, for the engine itself and its tests.
#ifndef ORVEL_INTERNAL_H
#define ORVEL_INTERNAL_H

#include <cstdint>

#include "json_parse.h"
#include "orvel.h"
#include "ort_api.h"

constexpr int MAX_VOICES = 8;
constexpr int ERROR_SIZE = 512;
constexpr int PATH_SIZE = 1024;           // configuration and model paths, NUL included
constexpr int MAX_CODEPOINTS = ORVEL_MAX_PHONEMES;   // phonemes of one request
constexpr int MAX_PHONEME_IDS = ORVEL_MAX_PHONEMES;  // ids of one request
constexpr int MIN_SAMPLE_RATE = 1000;     // a voice's audio.sample_rate, Hz
constexpr int MAX_SAMPLE_RATE = 384000;

struct VoiceSlot {
    int32_t loaded;
    OrtSession *session;
    OrtSessionOptions *session_options;
    ModelConfig config;
    float speed_override;
    int32_t speaker_id;
    float noise_override;
    float noise_w_override;
};

// The last recorded message of the calling thread: each thread reads its own
// calls' message, whatever other threads do meanwhile.
extern thread_local char g_error[ERROR_SIZE];
extern int32_t g_initialized;
extern const OrtApi *g_ort;
extern OrtEnv *g_env;
extern OrtMemoryInfo *g_memory_info;
extern VoiceSlot g_voices[MAX_VOICES];

#if defined(__MINGW32__)
// MinGW's libstdc++ selects the C99 printf family, which __MINGW_PRINTF_FORMAT
// names; plain "printf" would check against msvcrt's and reject %zu.
__attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)))
#elif defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void set_error(const char *format, ...);

// Peak-normalises n float samples into a new malloc'ed 16-bit buffer (non-null
// even for n == 0); null after recording a message when it cannot be allocated
// or when not one of the n samples is finite.
int16_t *normalise_samples(const float *data, int64_t n);

#endif
