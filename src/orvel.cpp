// The engine: exported functions, global state, voice slots and synthesis.
#include "orvel.h"

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio.h"
#include "espeak_data.h"
#include "json_parse.h"
#include "orvel_internal.h"
#include "phoneme_ids.h"
#include "phonemize.h"
#include "platform.h"
#include "text_runs.h"

#ifndef ORVEL_VERSION_STRING
#error "ORVEL_VERSION_STRING must come from the build"
#endif

thread_local char g_error[ERROR_SIZE];
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

// Held for the whole of every exported call that touches shared state: the
// voice slots, ONNX Runtime's objects and eSpeak NG are process-wide.
class ApiLock {
public:
    ApiLock() { platform_lock(); }
    ~ApiLock() { platform_unlock(); }
    ApiLock(const ApiLock &) = delete;
    ApiLock &operator=(const ApiLock &) = delete;
};

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

// A voice id is valid when it is 0..7 and its slot holds a voice.
VoiceSlot *find_voice(int voice_id) {
    if (static_cast<unsigned>(voice_id) >= static_cast<unsigned>(MAX_VOICES)) return nullptr;
    VoiceSlot *slot = &g_voices[voice_id];
    return slot->loaded ? slot : nullptr;
}

// Everything one request creates in ONNX Runtime, released in a fixed order on
// every path out of synthesize().
struct RequestValues {
    OrtValue *output = nullptr;
    OrtValue *input = nullptr;
    OrtValue *input_lengths = nullptr;
    OrtValue *scales = nullptr;
    OrtValue *sid = nullptr;
    OrtTensorTypeAndShapeInfo *output_info = nullptr;
    int64_t *dims = nullptr;

    RequestValues() = default;
    RequestValues(const RequestValues &) = delete;
    RequestValues &operator=(const RequestValues &) = delete;
    ~RequestValues() {
        std::free(dims);
        g_ort->ReleaseTensorTypeAndShapeInfo(output_info);
        g_ort->ReleaseValue(output);
        g_ort->ReleaseValue(input);
        g_ort->ReleaseValue(input_lengths);
        g_ort->ReleaseValue(scales);
        g_ort->ReleaseValue(sid);
    }
};

// Greater-than test that sends 0, negatives and NaN to the configured value.
float chosen_scale(float override_value, float configured) {
    return override_value > 0.0f ? override_value : configured;
}

// Checks the model's output before anything is read from it and returns the
// sample count n, or -1 with a recorded message.
int64_t output_sample_count(RequestValues *values) {
    if (check_status(g_ort->GetTensorTypeAndShape(values->output, &values->output_info)) != 0) return -1;
    ONNXTensorElementDataType type;
    if (check_status(g_ort->GetTensorElementType(values->output_info, &type)) != 0) return -1;
    if (type != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT) {
        set_error("Model output \"output\" has element type %d, expected float (1)", static_cast<int>(type));
        return -1;
    }
    size_t dim_count = 0;
    if (check_status(g_ort->GetDimensionsCount(values->output_info, &dim_count)) != 0) return -1;
    if (dim_count == 0) {
        set_error("Model output \"output\" has no dimension, expected a shape ending in the sample count");
        return -1;
    }
    values->dims = static_cast<int64_t *>(std::malloc(dim_count * sizeof(int64_t)));
    if (!values->dims) {
        set_error("Failed to allocate output shape (%zu dimensions)", dim_count);
        return -1;
    }
    if (check_status(g_ort->GetDimensions(values->output_info, values->dims, dim_count)) != 0) return -1;
    int64_t n = values->dims[dim_count - 1];
    if (n < 0) {
        set_error("Model output \"output\" has a negative last dimension (%lld), expected the sample count",
                  static_cast<long long>(n));
        return -1;
    }
    size_t elements = 0;
    if (check_status(g_ort->GetTensorShapeElementCount(values->output_info, &elements)) != 0) return -1;
    if (static_cast<uint64_t>(n) > elements) {
        set_error("Model output \"output\" holds %zu elements, fewer than the %lld samples its last dimension says",
                  elements, static_cast<long long>(n));
        return -1;
    }
    if (n > INT32_MAX) {
        set_error("Model output \"output\" has %lld samples, more than the %d one request can return",
                  static_cast<long long>(n), INT32_MAX);
        return -1;
    }
    return n;
}

}  // namespace

// Peak-normalises n float samples into a new 16-bit buffer (non-null even for
// n == 0). All arithmetic in 32-bit float, one division for the scale.
int16_t *normalise_samples(const float *data, int64_t n) {
    // The peak of the finite samples: an infinite one would scale everything
    // else to silence. Infinities then clip to full scale and NaN gives 0.
    float peak = 0.01f;
    bool any_finite = false;
    for (int64_t i = 0; i < n; ++i) {
        if (!std::isfinite(data[i])) continue;
        any_finite = true;
        float magnitude = std::fabs(data[i]);
        if (magnitude > peak) peak = magnitude;
    }
    if (n > 0 && !any_finite) {
        set_error("Model output has no finite sample (%lld samples)", static_cast<long long>(n));
        return nullptr;
    }
    size_t bytes = n > 0 ? static_cast<size_t>(n) * sizeof(int16_t) : 1;
    int16_t *samples = static_cast<int16_t *>(std::malloc(bytes));
    if (!samples) {
        set_error("Failed to allocate audio buffer (%lld samples)", static_cast<long long>(n));
        return nullptr;
    }
    const float scale = 32767.0f / peak;
    for (int64_t i = 0; i < n; ++i) {
        float v = data[i] * scale;
        if (v != v) {
            samples[i] = 0;
        } else if (v > 32767.0f) {
            samples[i] = 32767;
        } else {
            if (v < -32768.0f) v = -32768.0f;
            samples[i] = static_cast<int16_t>(v);
        }
    }
    return samples;
}

namespace {

// One run of the model: code points to ids, the session, normalised samples.
int run_piece(VoiceSlot *slot, const int32_t *codepoints, int num_codepoints, int16_t **out_samples,
              int32_t *out_count) {
    *out_samples = nullptr;
    *out_count = 0;
    const ModelConfig &config = slot->config;
    std::fprintf(stderr, "[orvel] Phonemes: %d codepoints\n", num_codepoints);

    int64_t ids[MAX_PHONEME_IDS];
    int num_ids = phonemes_to_ids(codepoints, num_codepoints, &config, ids, MAX_PHONEME_IDS);
    if (num_ids < 1) {
        set_error("Phoneme ID conversion failed");
        return -1;
    }
    std::fprintf(stderr, "[orvel] Phoneme IDs: %d\n", num_ids);

    // The tensors wrap this storage without copying: it must outlive them, which
    // the guard below (declared after it) ensures.
    int64_t id_count = num_ids;
    float scales[3] = {chosen_scale(slot->noise_override, config.noise_scale),
                       chosen_scale(slot->speed_override, config.length_scale),
                       chosen_scale(slot->noise_w_override, config.noise_w)};
    int64_t speaker = slot->speaker_id;
    const int64_t input_shape[2] = {1, id_count};
    const int64_t lengths_shape[1] = {1};
    const int64_t scales_shape[1] = {3};
    const int64_t sid_shape[1] = {1};
    RequestValues values;

    if (check_status(g_ort->CreateTensorWithDataAsOrtValue(g_memory_info, ids, sizeof(int64_t) * num_ids,
                                                           input_shape, 2, ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64,
                                                           &values.input)) != 0 ||
        check_status(g_ort->CreateTensorWithDataAsOrtValue(g_memory_info, &id_count, sizeof id_count,
                                                           lengths_shape, 1, ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64,
                                                           &values.input_lengths)) != 0 ||
        check_status(g_ort->CreateTensorWithDataAsOrtValue(g_memory_info, scales, sizeof scales, scales_shape,
                                                           1, ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT,
                                                           &values.scales)) != 0)
        return -1;
    size_t input_count = 3;
    if (slot->speaker_id >= 0 && config.num_speakers >= 2) {
        if (check_status(g_ort->CreateTensorWithDataAsOrtValue(g_memory_info, &speaker, sizeof speaker, sid_shape,
                                                               1, ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64,
                                                               &values.sid)) != 0)
            return -1;
        input_count = 4;
    }
    std::fprintf(stderr, "[orvel] Running ONNX inference (noise=%.3f, speed=%.3f, nw=%.3f)...\n",
                 static_cast<double>(scales[0]), static_cast<double>(scales[1]), static_cast<double>(scales[2]));

    const char *const input_names[4] = {"input", "input_lengths", "scales", "sid"};
    const OrtValue *const inputs[4] = {values.input, values.input_lengths, values.scales, values.sid};
    const char *const output_names[1] = {"output"};
    if (check_status(g_ort->Run(slot->session, nullptr, input_names, inputs, input_count, output_names, 1,
                                &values.output)) != 0)
        return -1;
    void *data = nullptr;
    if (check_status(g_ort->GetTensorMutableData(values.output, &data)) != 0) return -1;
    int64_t n = output_sample_count(&values);
    if (n < 0) return -1;
    std::fprintf(stderr, "[orvel] Generated %lld audio samples (%.2f seconds @ %dHz)\n", static_cast<long long>(n),
                 static_cast<double>(n) / config.sample_rate, config.sample_rate);

    int16_t *samples = normalise_samples(static_cast<const float *>(data), n);
    if (!samples) return -1;
    *out_samples = samples;
    *out_count = static_cast<int32_t>(n);
    return 0;
}

// eSpeak NG gives at most about 1,000 phonemes a clause, and longer clauses
// are spoken in halves: a clause's code points fit this with room to spare.
constexpr int MAX_CLAUSE_CODEPOINTS = 4 * MAX_CODEPOINTS;

// A request spoken piece by piece: clauses are gathered into a piece while its
// ids fit one run of the model, each piece is run and normalised on its own,
// as the tools join sentences, and the audio is joined in order.
struct PieceBuilder {
    VoiceSlot *slot;
    int32_t piece[MAX_CODEPOINTS];
    int count;
    int32_t clause[MAX_CLAUSE_CODEPOINTS];
    int16_t *audio;
    size_t audio_count;
    size_t audio_capacity;
    int spoken;   // pieces run
    int failed;   // a message is recorded
};

int append_audio(PieceBuilder *b, const int16_t *samples, int32_t count) {
    if (b->audio_count + static_cast<size_t>(count) > static_cast<size_t>(INT32_MAX)) {
        set_error("Audio too long for one request (more than %d samples)", INT32_MAX);
        return -1;
    }
    size_t needed = b->audio_count + static_cast<size_t>(count);
    if (needed > b->audio_capacity) {
        size_t capacity = b->audio_capacity ? b->audio_capacity : 65536;
        while (capacity < needed) capacity *= 2;
        void *grown = std::realloc(b->audio, capacity * sizeof(int16_t));
        if (!grown) {
            set_error("Failed to allocate audio buffer (%zu samples)", capacity);
            return -1;
        }
        b->audio = static_cast<int16_t *>(grown);
        b->audio_capacity = capacity;
    }
    if (count > 0) std::memcpy(b->audio + b->audio_count, samples, static_cast<size_t>(count) * sizeof(int16_t));
    b->audio_count = needed;
    return 0;
}

void flush_piece(PieceBuilder *b) {
    if (b->failed || b->count == 0) return;
    int16_t *samples = nullptr;
    int32_t count = 0;
    if (run_piece(b->slot, b->piece, b->count, &samples, &count) != 0 || append_audio(b, samples, count) != 0)
        b->failed = 1;
    std::free(samples);
    b->count = 0;
    ++b->spoken;
}

bool fits(const PieceBuilder *b, const int32_t *codepoints, int n) {
    return phonemes_id_count(codepoints, n, &b->slot->config) <= MAX_PHONEME_IDS;
}

// Adds clause[0, n) to the piece, flushing the piece first when the clause
// does not fit beside it; a clause too long for a piece of its own is cut,
// at a space where one fits.
void add_clause(PieceBuilder *b, int32_t *clause, int n) {
    while (n > 0 && !b->failed) {
        if (b->count > 0 && b->count + 1 + n <= MAX_CODEPOINTS) {
            b->piece[b->count] = ' ';
            std::memcpy(b->piece + b->count + 1, clause, static_cast<size_t>(n) * sizeof(int32_t));
            if (fits(b, b->piece, b->count + 1 + n)) {
                b->count += 1 + n;
                return;
            }
        }
        flush_piece(b);
        if (b->failed) return;
        if (n <= MAX_CODEPOINTS && fits(b, clause, n)) {
            std::memcpy(b->piece, clause, static_cast<size_t>(n) * sizeof(int32_t));
            b->count = n;
            return;
        }
        int take = n < MAX_CODEPOINTS ? n : MAX_CODEPOINTS;
        while (take > 1 && !fits(b, clause, take)) take = take * 7 / 8;
        int cut = take;
        while (cut > take / 2 && clause[cut] != ' ') --cut;
        if (clause[cut] != ' ') cut = take;
        std::memcpy(b->piece, clause, static_cast<size_t>(cut) * sizeof(int32_t));
        b->count = cut;
        flush_piece(b);
        if (cut < n && clause[cut] == ' ') ++cut;
        clause += cut;
        n -= cut;
    }
}

void on_clause(const char *phonemes, int32_t punctuation, void *context) {
    PieceBuilder *b = static_cast<PieceBuilder *>(context);
    if (b->failed) return;
    int n = 0;
    phonemize_append_clause(phonemes, punctuation, b->clause, MAX_CLAUSE_CODEPOINTS, &n);
    add_clause(b, b->clause, n);
}

struct BuilderGuard {
    PieceBuilder *builder;
    ~BuilderGuard() {
        if (builder) std::free(builder->audio);
        std::free(builder);
    }
};

// Speaks the whole text, whatever its length: runs that fit the phonemizer,
// cut between sentences where possible, with no word eSpeak NG would cut
// short, and pieces that fit the model.
int synthesize(VoiceSlot *slot, const char *text, int16_t **out_samples, int32_t *out_count) {
    *out_samples = nullptr;
    *out_count = 0;
    BuilderGuard guard{static_cast<PieceBuilder *>(std::calloc(1, sizeof(PieceBuilder)))};
    PieceBuilder *b = guard.builder;
    if (!b) {
        set_error("Failed to allocate the request's working memory");
        return -1;
    }
    b->slot = slot;
    const size_t length = std::strlen(text);
    // A run is at most half the phonemizer's text, so that the spaces that
    // break words eSpeak NG would cut short always find room.
    char run[PHONEMIZE_TEXT_SIZE];
    static_assert(2 * ((PHONEMIZE_TEXT_SIZE - 1) / 2) + 1 <= PHONEMIZE_TEXT_SIZE, "a broken run must fit");
    for (size_t at = 0; at < length && !b->failed;) {
        size_t n = next_text_run(text + at, length - at, (PHONEMIZE_TEXT_SIZE - 1) / 2);
        break_long_words(text + at, n, run, sizeof run);
        at += n;
        if (phonemize_each_clause(slot->config.voice, run, on_clause, b) != 0) {
            set_error("eSpeak NG voice \"%s\" could not be selected (by name or by language)", slot->config.voice);
            return -1;
        }
    }
    flush_piece(b);
    if (b->failed) return -1;
    if (b->spoken == 0) {
        set_error("Phonemization failed for text");
        return -1;
    }
    if (!b->audio && !(b->audio = static_cast<int16_t *>(std::malloc(1)))) {
        set_error("Failed to allocate audio buffer (0 samples)");
        return -1;
    }
    *out_samples = b->audio;
    *out_count = static_cast<int32_t>(b->audio_count);
    b->audio = nullptr;  // the host's now
    return 0;
}

}  // namespace

extern "C" {

ORVEL_API const char *orvel_version(void) { return ORVEL_VERSION_STRING; }

ORVEL_API const char *orvel_get_error(void) { return g_error[0] ? g_error : nullptr; }

ORVEL_API int orvel_init(const char *espeak_data_path) {
    ApiLock lock;
    clear_error();
    if (g_initialized) {
        set_error("Already initialized");
        return -1;
    }
    for (VoiceSlot &slot : g_voices) reset_slot(&slot);

    // eSpeak NG would read its default data instead, and the log would name
    // a folder that was never read.
    if (espeak_data_path && !espeak_data_path_exists(espeak_data_path)) {
        if (espeak_data_path[0])
            set_error("espeak-ng data folder not found: %s", espeak_data_path);
        else
            set_error("espeak-ng data path is empty (NULL gives eSpeak NG's default)");
        return -1;
    }

    // Without a path eSpeak NG takes $ESPEAK_DATA_PATH when it is set: name that.
    char shown_path[PATH_SIZE + 32];
    const char *from_environment = std::getenv("ESPEAK_DATA_PATH");
    if (espeak_data_path)
        std::snprintf(shown_path, sizeof shown_path, "%s", espeak_data_path);
    else if (from_environment && from_environment[0])
        std::snprintf(shown_path, sizeof shown_path, "ESPEAK_DATA_PATH=%s", from_environment);
    else
        std::snprintf(shown_path, sizeof shown_path, "(default)");
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
    ApiLock lock;
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

ORVEL_API int orvel_load_voice(const char *model_path, const char *config_path) {
    ApiLock lock;
    clear_error();
    if (!g_initialized) {
        set_error("Not initialized \xE2\x80\x94 call orvel_init() first");
        return -1;
    }
    if (!model_path) {
        set_error("model_path is NULL");
        return -1;
    }
    int id = 0;
    while (id < MAX_VOICES && g_voices[id].loaded) ++id;
    if (id == MAX_VOICES) {
        set_error("Maximum voices (%d) already loaded", MAX_VOICES);
        return -1;
    }
    VoiceSlot *slot = &g_voices[id];
    reset_slot(slot);

    // A cut path would name a different file: refuse it instead.
    size_t model_len = std::strlen(model_path);
    if (model_len >= PATH_SIZE) {
        set_error("model_path is too long (%zu bytes, at most %d)", model_len, PATH_SIZE - 1);
        return -1;
    }
    char derived_config[PATH_SIZE];
    if (!config_path) {
        int len = std::snprintf(derived_config, sizeof derived_config, "%s.json", model_path);
        if (len < 0 || len >= PATH_SIZE) {
            set_error("Config path (model_path + \".json\") is too long (%zu bytes, at most %d)", model_len + 5,
                      PATH_SIZE - 1);
            return -1;
        }
        config_path = derived_config;
    }

    if (platform_is_irregular_file(config_path)) {
        set_error("Config is not a regular file: %s", config_path);
        return -1;
    }
    if (platform_is_irregular_file(model_path)) {
        set_error("Model is not a regular file: %s", model_path);
        return -1;
    }
    if (parse_model_config(config_path, &slot->config) != 0) {
        set_error("Failed to parse config: %s", config_path);
        return -1;
    }
    // A rate outside what audio ever uses is a broken configuration: 0 or a
    // negative rate would make a WAV header no player reads, a huge one
    // nonsense durations.
    if (slot->config.sample_rate < MIN_SAMPLE_RATE || slot->config.sample_rate > MAX_SAMPLE_RATE) {
        set_error("Config audio.sample_rate is %d Hz, expected %d to %d: %s", slot->config.sample_rate,
                  MIN_SAMPLE_RATE, MAX_SAMPLE_RATE, config_path);
        return -1;
    }
    if (slot->config.num_phonemes == 0) {
        set_error("Config has no phoneme_id_map rows: %s", config_path);
        return -1;
    }
    if (slot->config.rows_beyond_capacity > 0) {
        set_error("Config has %d phoneme_id_map rows, more than the %d a voice may have: %s",
                  slot->config.num_phonemes + slot->config.rows_beyond_capacity, MAX_PHONEMES, config_path);
        return -1;
    }
    std::fprintf(stderr, "[orvel] Voice %d: voice=%s, sample_rate=%d, phonemes=%d\n", id,
                 slot->config.voice, slot->config.sample_rate, slot->config.num_phonemes);

    if (check_status(g_ort->CreateSessionOptions(&slot->session_options)) != 0) return -1;
    // Fixed options: no graph rewriting, no arena or memory patterns, so memory
    // follows each request and nothing is kept between them. Their statuses
    // change nothing about the load, so they are only released.
    OrtSessionOptions *options = slot->session_options;
    g_ort->ReleaseStatus(g_ort->SetSessionGraphOptimizationLevel(options, ORT_DISABLE_ALL));
    g_ort->ReleaseStatus(g_ort->DisableCpuMemArena(options));
    g_ort->ReleaseStatus(g_ort->DisableMemPattern(options));
    g_ort->ReleaseStatus(g_ort->DisableProfiling(options));

    std::fprintf(stderr, "[orvel] Loading ONNX model: %s\n", model_path);
    OrtPathChar wide_path[PATH_SIZE];
    const OrtPathChar *ort_path = platform_ort_path(model_path, wide_path, PATH_SIZE);
    if (!ort_path) {
        set_error("model_path cannot be converted to a wide-character path: %s", model_path);
        g_ort->ReleaseSessionOptions(slot->session_options);
        slot->session_options = nullptr;
        return -1;
    }
    if (check_status(g_ort->CreateSession(g_env, ort_path, options, &slot->session)) != 0) {
        g_ort->ReleaseSessionOptions(slot->session_options);
        slot->session_options = nullptr;
        slot->session = nullptr;
        return -1;
    }
    slot->loaded = 1;
    std::fprintf(stderr, "[orvel] Voice %d loaded successfully\n", id);
    return id;
}

ORVEL_API void orvel_unload_voice(int voice_id) {
    ApiLock lock;
    VoiceSlot *slot = find_voice(voice_id);
    if (!slot) return;
    if (slot->session) {
        g_ort->ReleaseSession(slot->session);
        slot->session = nullptr;
    }
    if (slot->session_options) {
        g_ort->ReleaseSessionOptions(slot->session_options);
        slot->session_options = nullptr;
    }
    slot->loaded = 0;
    std::fprintf(stderr, "[orvel] Voice %d unloaded\n", voice_id);
}

ORVEL_API int orvel_get_voice_sample_rate(int voice_id) {
    ApiLock lock;
    const VoiceSlot *slot = find_voice(voice_id);
    return slot ? slot->config.sample_rate : -1;
}

ORVEL_API int orvel_get_num_speakers(int voice_id) {
    ApiLock lock;
    const VoiceSlot *slot = find_voice(voice_id);
    if (!slot) return -1;
    return slot->config.num_speakers > 0 ? slot->config.num_speakers : 1;
}

ORVEL_API void orvel_set_speed(int voice_id, float length_scale) {
    ApiLock lock;
    if (!std::isfinite(length_scale)) return;
    if (VoiceSlot *slot = find_voice(voice_id)) slot->speed_override = length_scale;
}

ORVEL_API void orvel_set_speaker(int voice_id, int speaker_id) {
    ApiLock lock;
    if (VoiceSlot *slot = find_voice(voice_id)) slot->speaker_id = speaker_id;
}

ORVEL_API void orvel_set_noise(int voice_id, float noise_scale, float noise_w) {
    ApiLock lock;
    if (VoiceSlot *slot = find_voice(voice_id)) {
        if (std::isfinite(noise_scale)) slot->noise_override = noise_scale;
        if (std::isfinite(noise_w)) slot->noise_w_override = noise_w;
    }
}

ORVEL_API int orvel_speak_to_buffer(int voice_id, const char *text, int16_t **out_samples,
                                    int32_t *out_count) {
    ApiLock lock;
    clear_error();
    if (!g_initialized) {
        set_error("Not initialized");
        return -1;
    }
    VoiceSlot *slot = find_voice(voice_id);
    if (!slot) {
        set_error("Invalid voice_id: %d", voice_id);
        return -1;
    }
    if (!text || !text[0]) {
        set_error("Empty text");
        return -1;
    }
    if (!out_samples || !out_count) {
        set_error("NULL output pointers");
        return -1;
    }
    return synthesize(slot, text, out_samples, out_count);
}

ORVEL_API int orvel_speak_to_file(int voice_id, const char *text, const char *wav_path) {
    ApiLock lock;
    clear_error();
    if (!wav_path) {
        set_error("wav_path is NULL");
        return -1;
    }
    int16_t *samples = nullptr;
    int32_t count = 0;
    if (orvel_speak_to_buffer(voice_id, text, &samples, &count) != 0) return -1;

    int32_t sample_rate = g_voices[voice_id].config.sample_rate;
    int os_error = 0;
    int result = wav_write(wav_path, samples, static_cast<size_t>(count), sample_rate, &os_error);
    if (result != 0 && os_error != 0) {
        set_error("Failed to write WAV file: %s (%s)", wav_path, std::strerror(os_error));
    } else if (result != 0) {
        set_error("Failed to write WAV file: %s", wav_path);
    } else {
        std::fprintf(stderr, "[orvel] Wrote %s (%.2f seconds)\n", wav_path,
                     static_cast<double>(static_cast<float>(count) / static_cast<float>(sample_rate)));
    }
    std::free(samples);
    return result;
}

ORVEL_API void orvel_free_audio(int16_t *samples) { std::free(samples); }

}  // extern "C"
