// The engine: exported functions, global state, voice slots and synthesis.
#include "orvel.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio.h"
#include "json_parse.h"
#include "orvel_internal.h"
#include "phoneme_ids.h"
#include "phonemize.h"

#ifndef ORVEL_VERSION_STRING
#error "ORVEL_VERSION_STRING must come from the build"
#endif

char g_error[ERROR_SIZE];
int32_t g_initialized = 0;
const OrtApi *g_ort = nullptr;
OrtEnv *g_env = nullptr;
OrtMemoryInfo *g_memory_info = nullptr;
VoiceSlot g_voices[MAX_VOICES];

void set_error(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(g_error, sizeof g_error, format, args);
    va_end(args);
    std::fprintf(stderr, "[orvel] ERROR: %s\n", g_error);
}

namespace {

void clear_error() { g_error[0] = '\0'; }

// Records a failed ONNX Runtime status and releases it. Returns -1 for a
// failure, 0 for a null (successful) status.
int check_status(OrtStatus *status) {
    if (!status) return 0;
    set_error("ONNX Runtime: %s", g_ort->GetErrorMessage(status));
    g_ort->ReleaseStatus(status);
    return -1;
}

void reset_slot(VoiceSlot *slot) {
    std::memset(slot, 0, sizeof *slot);
    slot->speaker_id = -1;
}

}  // namespace

extern "C" {

ORVEL_API const char *orvel_version(void) { return ORVEL_VERSION_STRING; }

ORVEL_API const char *orvel_get_error(void) { return g_error[0] ? g_error : nullptr; }

ORVEL_API int orvel_init(const char *espeak_data_path) {
    clear_error();
    if (g_initialized) {
        set_error("Already initialized");
        return -1;
    }
    for (VoiceSlot &slot : g_voices) reset_slot(&slot);

    const char *shown_path = espeak_data_path ? espeak_data_path : "(default)";
    if (phonemize_init(espeak_data_path) != 0) {
        set_error("Failed to initialize espeak-ng (data path: %s)", shown_path);
        return -1;
    }
    g_ort = OrtGetApiBase()->GetApi(ORT_API_VERSION_USED);
    if (!g_ort) {
        set_error("Failed to get ONNX Runtime API");
        return -1;
    }
    // An environment left by an init that failed later on is reused, not leaked.
    if (!g_env && check_status(g_ort->CreateEnv(ORT_LOGGING_LEVEL_WARNING, "talmerin-orvel", &g_env)) != 0)
        return -1;
    if (check_status(g_ort->CreateCpuMemoryInfo(OrtArenaAllocator, OrtMemTypeDefault, &g_memory_info)) != 0)
        return -1;

    g_initialized = 1;
    std::fprintf(stderr, "[orvel] Initialized (espeak data: %s)\n", shown_path);
    return 0;
}

ORVEL_API void orvel_shutdown(void) {
    for (int i = 0; i < MAX_VOICES; ++i)
        if (g_voices[i].loaded) orvel_unload_voice(i);
    if (g_memory_info) {
        g_ort->ReleaseMemoryInfo(g_memory_info);
        g_memory_info = nullptr;
    }
    if (g_env) {
        g_ort->ReleaseEnv(g_env);
        g_env = nullptr;
    }
    phonemize_terminate();
    g_ort = nullptr;
    g_initialized = 0;
    std::fprintf(stderr, "[orvel] Shut down\n");
}

ORVEL_API int orvel_load_voice(const char *, const char *) {
    clear_error();
    if (!g_initialized) set_error("Not initialized \xE2\x80\x94 call orvel_init() first");
    else set_error("Voice loading is not available yet");
    return -1;
}

ORVEL_API void orvel_unload_voice(int) {}

ORVEL_API int orvel_get_voice_sample_rate(int) { return -1; }

ORVEL_API int orvel_get_num_speakers(int) { return -1; }

ORVEL_API void orvel_set_speed(int, float) {}

ORVEL_API void orvel_set_speaker(int, int) {}

ORVEL_API void orvel_set_noise(int, float, float) {}

ORVEL_API int orvel_speak_to_buffer(int voice_id, const char *, int16_t **, int32_t *) {
    clear_error();
    if (!g_initialized) set_error("Not initialized");
    else set_error("Invalid voice_id: %d", voice_id);
    return -1;
}

ORVEL_API int orvel_speak_to_file(int voice_id, const char *text, const char *wav_path) {
    clear_error();
    if (!wav_path) {
        set_error("wav_path is NULL");
        return -1;
    }
    int16_t *samples = nullptr;
    int32_t count = 0;
    orvel_speak_to_buffer(voice_id, text, &samples, &count);
    return -1;
}

ORVEL_API void orvel_free_audio(int16_t *samples) { std::free(samples); }

}  // extern "C"
