// Benchmarks of one request, stage by stage, against ONNX Runtime's own Run.
//
//   orvel_bench --voices DIR [--quick] [--wav PATH] [Google Benchmark flags]
//
// Stages are timed by calling the library's internal functions in the order
// synthesize() calls them. The overhead, optimisation and memory benchmarks
// take their own clock readings and report medians as counters, so slow
// neighbours on the machine hit both sides of each comparison alike.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "audio.h"
#include "orvel.h"
#include "orvel_internal.h"
#include "phoneme_ids.h"
#include "phonemize.h"
#include "texts.h"

namespace {

using SetVoiceByNameFn = int (*)(const char *name);

struct Options {
    bool quick = false;
    std::string voices;
    std::string wav = "bench-out.wav";
} g_options;

SetVoiceByNameFn espeak_set_voice = nullptr;

int g_conv_voice = -1;   // bench_conv through the library
int g_probe_voice = -1;  // probe, for the long memory run
std::string g_conv_path;

double now_ms() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

[[noreturn]] void fail(const char *what) {
    const char *error = orvel_get_error();
    std::fprintf(stdout, "orvel_bench: %s%s%s\n", what, error ? ": " : "", error ? error : "");
    std::exit(1);
}

void check(OrtStatus *status, const char *what) {
    if (!status) return;
    std::fprintf(stdout, "orvel_bench: %s: %s\n", what, g_ort->GetErrorMessage(status));
    std::exit(1);
}

// ---------------------------------------------------------------------------
// Sessions outside the library
// ---------------------------------------------------------------------------

enum class SessionKind {
    Library,   // the options orvel_load_voice sets, call for call
    FullOpt,   // the same, but with every graph optimisation on
    Arena,     // the library's, but with the arena and memory patterns left on
    Defaults,  // ONNX Runtime's defaults: all optimisations, arena, memory patterns
};

OrtSession *open_session(SessionKind kind, OrtSessionOptions **out_options) {
    OrtSessionOptions *options = nullptr;
    check(g_ort->CreateSessionOptions(&options), "CreateSessionOptions");
    if (kind != SessionKind::Defaults) {
        g_ort->ReleaseStatus(g_ort->SetSessionGraphOptimizationLevel(
            options, kind == SessionKind::FullOpt ? ORT_ENABLE_ALL : ORT_DISABLE_ALL));
        if (kind != SessionKind::Arena) {
            g_ort->ReleaseStatus(g_ort->DisableCpuMemArena(options));
            g_ort->ReleaseStatus(g_ort->DisableMemPattern(options));
        }
        g_ort->ReleaseStatus(g_ort->DisableProfiling(options));
    }
    OrtSession *session = nullptr;
    check(g_ort->CreateSession(g_env, g_conv_path.c_str(), options, &session), "CreateSession");
    *out_options = options;
    return session;
}

// ---------------------------------------------------------------------------
// One text's request, prepared once: the clauses eSpeak NG returns, the code
// points, the ids and the tensors the library would build from them.
// ---------------------------------------------------------------------------

// One clause as the library reports it: its phonemes and closing punctuation.
struct Clause {
    std::string phonemes;
    int32_t punctuation;
};

struct Prepared {
    const BenchText *text = nullptr;
    std::vector<Clause> clauses;
    std::vector<int32_t> codepoints;
    std::vector<int64_t> ids;
    int64_t id_count = 0;
    float scales[3] = {0, 0, 0};
    OrtValue *input = nullptr;
    OrtValue *input_lengths = nullptr;
    OrtValue *scales_value = nullptr;
    int64_t samples = 0;
};

std::vector<Prepared> g_prepared;

constexpr int64_t kSamplesPerId = 256;  // bench_conv's upsampling

// The quick pass leaves out every model run of the long text (seconds each).
bool skipped_in_quick(const Prepared &p) { return g_options.quick && p.text->words > 100; }

const ModelConfig &conv_config() { return g_voices[g_conv_voice].config; }

void keep_clause(const char *phonemes, int32_t punctuation, void *context) {
    static_cast<std::vector<Clause> *>(context)->push_back(Clause{phonemes, punctuation});
}

void skip_clause(const char *, int32_t, void *) {}

// The library's own clause loop, keeping every clause eSpeak NG returns, in
// order, or (out null) only timing eSpeak NG's part.
void espeak_clauses(const char *text, std::vector<Clause> *out) {
    if (phonemize_each_clause(conv_config().voice, text, out ? keep_clause : skip_clause, out) != 0)
        fail("phonemize_each_clause");
}

int decode_clauses(const Prepared &p, int32_t *codepoints) {
    int count = 0;
    for (const Clause &clause : p.clauses)
        phonemize_append_clause(clause.phonemes.c_str(), clause.punctuation, codepoints, MAX_CODEPOINTS, &count);
    return count;
}

const char *const kInputNames[3] = {"input", "input_lengths", "scales"};
const char *const kOutputNames[1] = {"output"};

OrtValue *run(OrtSession *session, const Prepared &p) {
    const OrtValue *const inputs[3] = {p.input, p.input_lengths, p.scales_value};
    OrtValue *output = nullptr;
    check(g_ort->Run(session, nullptr, kInputNames, inputs, 3, kOutputNames, 1, &output), "Run");
    return output;
}

void prepare(const BenchText &text, Prepared *p) {
    p->text = &text;
    const ModelConfig &config = conv_config();
    if (espeak_set_voice(config.voice) != 0) fail("espeak_SetVoiceByName");
    espeak_clauses(text.text, &p->clauses);
    p->codepoints.resize(MAX_CODEPOINTS);
    p->codepoints.resize(static_cast<size_t>(decode_clauses(*p, p->codepoints.data())));

    // The clause path must give what the library's phonemize_text gives.
    std::vector<int32_t> reference(MAX_CODEPOINTS);
    int n = phonemize_text(config.voice, text.text, reference.data(), MAX_CODEPOINTS);
    reference.resize(n > 0 ? static_cast<size_t>(n) : 0);
    if (reference != p->codepoints) fail("clause decoding differs from phonemize_text");

    p->ids.resize(MAX_PHONEME_IDS);
    int ids = phonemes_to_ids(p->codepoints.data(), static_cast<int>(p->codepoints.size()), &config,
                              p->ids.data(), MAX_PHONEME_IDS);
    p->ids.resize(static_cast<size_t>(ids));
    p->id_count = ids;
    // The configured scales, as the library chooses them without overrides.
    p->scales[0] = config.noise_scale;
    p->scales[1] = config.length_scale;
    p->scales[2] = config.noise_w;
    const int64_t input_shape[2] = {1, p->id_count};
    const int64_t one[1] = {1};
    const int64_t three[1] = {3};
    check(g_ort->CreateTensorWithDataAsOrtValue(g_memory_info, p->ids.data(), sizeof(int64_t) * p->ids.size(),
                                                input_shape, 2, ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64, &p->input),
          "input tensor");
    check(g_ort->CreateTensorWithDataAsOrtValue(g_memory_info, &p->id_count, sizeof p->id_count, one, 1,
                                                ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64, &p->input_lengths),
          "input_lengths tensor");
    check(g_ort->CreateTensorWithDataAsOrtValue(g_memory_info, p->scales, sizeof p->scales, three, 1,
                                                ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &p->scales_value),
          "scales tensor");
}

// The library's reading of the output, step for step (it is private to
// synthesize()), then the library's own normalisation.
int16_t *read_and_normalise(OrtValue *output, int64_t *out_n) {
    void *data = nullptr;
    check(g_ort->GetTensorMutableData(output, &data), "GetTensorMutableData");
    OrtTensorTypeAndShapeInfo *info = nullptr;
    check(g_ort->GetTensorTypeAndShape(output, &info), "GetTensorTypeAndShape");
    ONNXTensorElementDataType type;
    check(g_ort->GetTensorElementType(info, &type), "GetTensorElementType");
    size_t dim_count = 0;
    check(g_ort->GetDimensionsCount(info, &dim_count), "GetDimensionsCount");
    int64_t *dims = static_cast<int64_t *>(std::malloc(dim_count * sizeof(int64_t)));
    check(g_ort->GetDimensions(info, dims, dim_count), "GetDimensions");
    size_t elements = 0;
    check(g_ort->GetTensorShapeElementCount(info, &elements), "GetTensorShapeElementCount");
    int64_t n = dims[dim_count - 1];
    std::free(dims);
    g_ort->ReleaseTensorTypeAndShapeInfo(info);

    int16_t *samples = normalise_samples(static_cast<const float *>(data), n);
    *out_n = n;
    return samples;
}

// ---------------------------------------------------------------------------
// Stages of one request
// ---------------------------------------------------------------------------

void BM_SetVoice(benchmark::State &state, const Prepared *p) {
    for (auto _ : state) benchmark::DoNotOptimize(espeak_set_voice(conv_config().voice));
    (void)p;
}

void BM_Espeak(benchmark::State &state, const Prepared *p) {
    espeak_set_voice(conv_config().voice);
    for (auto _ : state) espeak_clauses(p->text->text, nullptr);
    state.counters["clauses"] = static_cast<double>(p->clauses.size());
}

void BM_DecodeFilter(benchmark::State &state, const Prepared *p) {
    std::vector<int32_t> codepoints(MAX_CODEPOINTS);
    for (auto _ : state) {
        benchmark::DoNotOptimize(decode_clauses(*p, codepoints.data()));
        benchmark::ClobberMemory();
    }
    state.counters["codepoints"] = static_cast<double>(p->codepoints.size());
}

void BM_Ids(benchmark::State &state, const Prepared *p) {
    std::vector<int64_t> ids(MAX_PHONEME_IDS);
    for (auto _ : state) {
        benchmark::DoNotOptimize(phonemes_to_ids(p->codepoints.data(), static_cast<int>(p->codepoints.size()),
                                                 &conv_config(), ids.data(), MAX_PHONEME_IDS));
        benchmark::ClobberMemory();
    }
    state.counters["ids"] = static_cast<double>(p->id_count);
}

void BM_Tensors(benchmark::State &state, const Prepared *p) {
    std::vector<int64_t> ids = p->ids;
    int64_t count = p->id_count;
    float scales[3] = {p->scales[0], p->scales[1], p->scales[2]};
    const int64_t input_shape[2] = {1, count};
    const int64_t one[1] = {1};
    const int64_t three[1] = {3};
    for (auto _ : state) {
        OrtValue *a = nullptr, *b = nullptr, *c = nullptr;
        check(g_ort->CreateTensorWithDataAsOrtValue(g_memory_info, ids.data(), sizeof(int64_t) * ids.size(),
                                                    input_shape, 2, ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64, &a),
              "tensor");
        check(g_ort->CreateTensorWithDataAsOrtValue(g_memory_info, &count, sizeof count, one, 1,
                                                    ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64, &b),
              "tensor");
        check(g_ort->CreateTensorWithDataAsOrtValue(g_memory_info, scales, sizeof scales, three, 1,
                                                    ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &c),
              "tensor");
        g_ort->ReleaseValue(a);
        g_ort->ReleaseValue(b);
        g_ort->ReleaseValue(c);
    }
}

void BM_Run(benchmark::State &state, const Prepared *p) {
    OrtSession *session = g_voices[g_conv_voice].session;  // the library's own session
    for (auto _ : state) g_ort->ReleaseValue(run(session, *p));
    state.counters["samples"] = static_cast<double>(p->samples);
}

void BM_Normalise(benchmark::State &state, const Prepared *p) {
    // A waveform of the request's length, wrapped as ONNX Runtime would hand
    // it back: normalising does not care where the samples came from.
    std::vector<float> wave(static_cast<size_t>(p->samples));
    for (size_t i = 0; i < wave.size(); ++i) wave[i] = 0.9f * std::sin(0.0627f * static_cast<float>(i));
    const int64_t shape[3] = {1, 1, p->samples};
    OrtValue *output = nullptr;
    check(g_ort->CreateTensorWithDataAsOrtValue(g_memory_info, wave.data(), wave.size() * sizeof(float), shape, 3,
                                                ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &output),
          "waveform tensor");
    for (auto _ : state) {
        int64_t n = 0;
        int16_t *samples = read_and_normalise(output, &n);
        benchmark::DoNotOptimize(samples);
        std::free(samples);
    }
    g_ort->ReleaseValue(output);
}

void BM_Log(benchmark::State &state, const Prepared *p) {
    // The four progress lines of a request (standard error goes to /dev/null).
    for (auto _ : state) {
        std::fprintf(stderr, "[orvel] Phonemes: %d codepoints\n", static_cast<int>(p->codepoints.size()));
        std::fprintf(stderr, "[orvel] Phoneme IDs: %d\n", static_cast<int>(p->id_count));
        std::fprintf(stderr, "[orvel] Running ONNX inference (noise=%.3f, speed=%.3f, nw=%.3f)...\n",
                     static_cast<double>(p->scales[0]), static_cast<double>(p->scales[1]),
                     static_cast<double>(p->scales[2]));
        std::fprintf(stderr, "[orvel] Generated %lld audio samples (%.2f seconds @ %dHz)\n",
                     static_cast<long long>(p->samples), static_cast<double>(p->samples) / 22050, 22050);
    }
}

void BM_WavWrite(benchmark::State &state, const Prepared *p) {
    std::vector<int16_t> samples(static_cast<size_t>(p->samples), 1000);
    for (auto _ : state) {
        // A new file each time, as for a new request; overwriting one makes
        // ext4 flush the old blocks first, which is the disk's time, not ours.
        state.PauseTiming();
        std::remove(g_options.wav.c_str());
        state.ResumeTiming();
        if (wav_write(g_options.wav.c_str(), samples.data(), samples.size(), 22050) != 0) fail("wav_write");
    }
    std::remove(g_options.wav.c_str());
}

// eSpeak NG's clause loop, then our decoding and id encoding of its output,
// round after round, so the ratio compares times taken under the same load.
// The two fast steps are repeated per round so the clock's own cost vanishes.
void BM_DecodeIdsVsEspeak(benchmark::State &state, const Prepared *p) {
    constexpr int kRepeat = 64;
    std::vector<int32_t> codepoints(MAX_CODEPOINTS);
    std::vector<int64_t> ids(MAX_PHONEME_IDS);
    std::vector<double> espeak, decode, encode, ratio;
    espeak_set_voice(conv_config().voice);
    for (auto _ : state) {
        double t0 = now_ms();
        espeak_clauses(p->text->text, nullptr);
        double t1 = now_ms();
        for (int k = 0; k < kRepeat; ++k) {
            benchmark::DoNotOptimize(decode_clauses(*p, codepoints.data()));
            benchmark::ClobberMemory();
        }
        double t2 = now_ms();
        for (int k = 0; k < kRepeat; ++k) {
            benchmark::DoNotOptimize(phonemes_to_ids(p->codepoints.data(), static_cast<int>(p->codepoints.size()),
                                                     &conv_config(), ids.data(), MAX_PHONEME_IDS));
            benchmark::ClobberMemory();
        }
        double t3 = now_ms();
        espeak.push_back((t1 - t0) * 1000.0);
        decode.push_back((t2 - t1) * 1000.0 / kRepeat);
        encode.push_back((t3 - t2) * 1000.0 / kRepeat);
        ratio.push_back(100.0 * (decode.back() + encode.back()) / espeak.back());
        state.SetIterationTime((t1 - t0) / 1000.0);
    }
    state.counters["espeak_us"] = median(espeak);
    state.counters["decode_filter_us"] = median(decode);
    state.counters["ids_us"] = median(encode);
    state.counters["decode_ids_pct_of_espeak"] = median(ratio);
}

void BM_PhonemizeText(benchmark::State &state, const Prepared *p) {
    // The library's whole phonemizer call: voice selection, eSpeak NG, decoding.
    std::vector<int32_t> codepoints(MAX_CODEPOINTS);
    for (auto _ : state)
        benchmark::DoNotOptimize(phonemize_text(conv_config().voice, p->text->text, codepoints.data(),
                                                MAX_CODEPOINTS));
}

// ---------------------------------------------------------------------------
// Whole requests against the direct Run, interleaved pair by pair
// ---------------------------------------------------------------------------

// The library reaches ONNX Runtime only through g_ort: pointing it at a copy
// of the slots we declare, with Run wrapped in a clock, times the Run inside
// each request, so the time around it is measured free of Run's own noise.
decltype(OrtApi::Run) g_real_run = nullptr;
double g_last_run_ms = 0.0;
OrtApi g_timed_api;

OrtStatus *ORT_CALL timed_run_hook(OrtSession *session, const OrtRunOptions *run_options,
                                   const char *const *input_names, const OrtValue *const *inputs, size_t input_len,
                                   const char *const *output_names, size_t output_names_len, OrtValue **outputs) {
    double t0 = now_ms();
    OrtStatus *status =
        g_real_run(session, run_options, input_names, inputs, input_len, output_names, output_names_len, outputs);
    g_last_run_ms = now_ms() - t0;
    return status;
}

void hook_run() {
    std::memcpy(&g_timed_api, g_ort, sizeof g_timed_api);
    g_real_run = g_timed_api.Run;
    g_timed_api.Run = timed_run_hook;
    g_ort = &g_timed_api;
}

OrtSession *g_direct_session = nullptr;  // identical options to the library's
OrtSession *g_fullopt_session = nullptr;
OrtSession *g_arena_session = nullptr;
OrtSession *g_defaults_session = nullptr;

double timed_request(const Prepared *p, int32_t *count) {
    int16_t *samples = nullptr;
    double t0 = now_ms();
    int rc = orvel_speak_to_buffer(g_conv_voice, p->text->text, &samples, count);
    double t1 = now_ms();
    if (rc != 0) fail("orvel_speak_to_buffer");
    orvel_free_audio(samples);
    return t1 - t0;
}

double timed_run(OrtSession *session, const Prepared *p) {
    double t0 = now_ms();
    OrtValue *output = run(session, *p);
    double t1 = now_ms();
    g_ort->ReleaseValue(output);
    return t1 - t0;
}

void BM_Overhead(benchmark::State &state, const Prepared *p) {
    std::vector<double> request, direct, inside, around, diff;
    int32_t count = 0;
    timed_request(p, &count);  // first-touch costs out of the way
    timed_run(g_direct_session, p);
    bool request_first = true;
    for (auto _ : state) {
        double r, d, in;
        if (request_first) {
            r = timed_request(p, &count);
            in = g_last_run_ms;
            d = timed_run(g_direct_session, p);
        } else {
            d = timed_run(g_direct_session, p);
            r = timed_request(p, &count);
            in = g_last_run_ms;
        }
        request_first = !request_first;
        state.SetIterationTime(r / 1000.0);
        request.push_back(r);
        direct.push_back(d);
        inside.push_back(in);
        around.push_back(r - in);
        diff.push_back(r - d);
    }
    double audio_s = static_cast<double>(count) / conv_config().sample_rate;
    double run_ms = median(direct);
    state.counters["request_ms"] = median(request);
    state.counters["direct_run_ms"] = run_ms;
    state.counters["run_in_request_ms"] = median(inside);
    // Request time less the same Run: each request's time around its own Run.
    state.counters["overhead_ms"] = median(around);
    state.counters["overhead_pct"] = 100.0 * median(around) / run_ms;
    // Request time less the direct Run of the same pair: the same figure, but
    // carrying the noise of two separate Runs.
    state.counters["paired_overhead_ms"] = median(diff);
    state.counters["paired_overhead_pct"] = 100.0 * median(diff) / run_ms;
    // Rough standard error of that median (interquartile range / 1.35 / sqrt(n)
    // * 1.25): how far machine noise alone moves the figure.
    std::vector<double> sorted = diff;
    std::sort(sorted.begin(), sorted.end());
    double iqr = sorted[sorted.size() * 3 / 4] - sorted[sorted.size() / 4];
    state.counters["paired_overhead_pct_se"] =
        100.0 * 1.25 * iqr / 1.35 / std::sqrt(static_cast<double>(sorted.size())) / run_ms;
    state.counters["audio_s"] = audio_s;
    state.counters["rtf"] = median(request) / 1000.0 / audio_s;
    state.counters["ids"] = static_cast<double>(p->id_count);
}

void BM_Optimisation(benchmark::State &state, const Prepared *p) {
    std::vector<double> fixed, full, arena, defaults;
    timed_run(g_fullopt_session, p);
    timed_run(g_arena_session, p);
    timed_run(g_defaults_session, p);
    timed_run(g_direct_session, p);
    int turn = 0;
    for (auto _ : state) {
        // Rotate the order so no variant always runs right after another.
        for (int k = 0; k < 4; ++k) {
            switch ((turn + k) % 4) {
                case 0: fixed.push_back(timed_run(g_direct_session, p)); break;
                case 1: full.push_back(timed_run(g_fullopt_session, p)); break;
                case 2: arena.push_back(timed_run(g_arena_session, p)); break;
                default: defaults.push_back(timed_run(g_defaults_session, p)); break;
            }
        }
        ++turn;
        state.SetIterationTime(fixed.back() / 1000.0);
    }
    state.counters["library_options_ms"] = median(fixed);
    state.counters["full_optimisation_ms"] = median(full);
    state.counters["arena_ms"] = median(arena);
    state.counters["ort_defaults_ms"] = median(defaults);
    state.counters["full_vs_library_pct"] = 100.0 * (median(full) - median(fixed)) / median(fixed);
}

// ---------------------------------------------------------------------------
// Voice load and memory
// ---------------------------------------------------------------------------

void BM_VoiceLoad(benchmark::State &state) {
    std::vector<double> times;
    for (auto _ : state) {
        double t0 = now_ms();
        int id = orvel_load_voice(g_conv_path.c_str(), nullptr);
        double t1 = now_ms();
        if (id < 0) fail("orvel_load_voice");
        orvel_unload_voice(id);
        times.push_back(t1 - t0);
        state.SetIterationTime((t1 - t0) / 1000.0);
    }
    state.counters["voice_load_ms"] = median(times);
}

long resident_kb() {
    long pages_total = 0, pages_resident = 0;
    FILE *f = std::fopen("/proc/self/statm", "r");
    if (!f) return -1;
    if (std::fscanf(f, "%ld %ld", &pages_total, &pages_resident) != 2) pages_resident = -1;
    std::fclose(f);
    return pages_resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long heap_kb() {
    struct mallinfo2 info = mallinfo2();
    return static_cast<long>((info.uordblks + info.hblkhd) / 1024);
}

void release_session(OrtSession **session) {
    if (*session) g_ort->ReleaseSession(*session);
    *session = nullptr;
}

void BM_Memory(benchmark::State &state) {
    // The comparison sessions are done with; their arenas would only blur
    // the process's figures.
    release_session(&g_fullopt_session);
    release_session(&g_arena_session);
    release_session(&g_defaults_session);
    malloc_trim(0);
    const int warmup = g_options.quick ? 200 : 500;
    const int requests = static_cast<int>(state.range(0));
    const char *text = kTexts[1].text;
    auto speak = [&] {
        int16_t *samples = nullptr;
        int32_t count = 0;
        if (orvel_speak_to_buffer(g_probe_voice, text, &samples, &count) != 0) fail("probe request");
        orvel_free_audio(samples);
    };
    for (auto _ : state) {
        for (int i = 0; i < warmup; ++i) speak();
        long rss0 = resident_kb(), heap0 = heap_kb();
        long rss_max = rss0, heap_max = heap0;
        double t0 = now_ms();
        for (int i = 0; i < requests; ++i) {
            speak();
            if (i % 100 == 99) {
                rss_max = std::max(rss_max, resident_kb());
                heap_max = std::max(heap_max, heap_kb());
            }
        }
        double t1 = now_ms();
        long rss1 = resident_kb(), heap1 = heap_kb();
        state.SetIterationTime((t1 - t0) / 1000.0);
        state.counters["requests"] = requests;
        state.counters["warmup_requests"] = warmup;
        state.counters["rss_after_warmup_kb"] = static_cast<double>(rss0);
        state.counters["rss_growth_kb"] = static_cast<double>(rss1 - rss0);
        state.counters["rss_peak_growth_kb"] = static_cast<double>(rss_max - rss0);
        state.counters["heap_after_warmup_kb"] = static_cast<double>(heap0);
        state.counters["heap_growth_kb"] = static_cast<double>(heap1 - heap0);
        state.counters["heap_peak_growth_kb"] = static_cast<double>(heap_max - heap0);
        state.counters["request_ms"] = (t1 - t0) / requests;
    }
}

// eSpeak NG's voice selection alone, as often as the requests above make it:
// the library selects the voice before every request, so whatever eSpeak NG
// keeps per selection shows up in the request figures too.
void BM_MemoryEspeakSetVoice(benchmark::State &state) {
    const int warmup = g_options.quick ? 200 : 500;
    const int calls = static_cast<int>(state.range(0));
    const char *voice = g_voices[g_probe_voice].config.voice;
    for (auto _ : state) {
        for (int i = 0; i < warmup; ++i) espeak_set_voice(voice);
        long rss0 = resident_kb(), heap0 = heap_kb();
        double t0 = now_ms();
        for (int i = 0; i < calls; ++i) espeak_set_voice(voice);
        double t1 = now_ms();
        state.SetIterationTime((t1 - t0) / 1000.0);
        state.counters["calls"] = calls;
        state.counters["rss_growth_kb"] = static_cast<double>(resident_kb() - rss0);
        state.counters["heap_growth_kb"] = static_cast<double>(heap_kb() - heap0);
    }
}

// ---------------------------------------------------------------------------

void set_up() {
    if (orvel_init(nullptr) != 0) fail("orvel_init");
    // eSpeak NG is already loaded by the library: borrow its voice selection
    // without taking a second reference.
    void *espeak = dlopen("libespeak-ng.so.1", RTLD_NOW | RTLD_NOLOAD);
    if (!espeak) fail("eSpeak NG is not loaded");
    espeak_set_voice = reinterpret_cast<SetVoiceByNameFn>(dlsym(espeak, "espeak_SetVoiceByName"));
    dlclose(espeak);
    if (!espeak_set_voice) fail("eSpeak NG entry points");

    g_conv_path = g_options.voices + "/bench_conv.onnx";
    std::string probe = g_options.voices + "/probe.onnx";
    g_conv_voice = orvel_load_voice(g_conv_path.c_str(), nullptr);
    if (g_conv_voice < 0) fail("loading bench_conv");
    g_probe_voice = orvel_load_voice(probe.c_str(), nullptr);
    if (g_probe_voice < 0) fail("loading probe");

    OrtSessionOptions *o1, *o2, *o3, *o4;
    g_direct_session = open_session(SessionKind::Library, &o1);
    g_fullopt_session = open_session(SessionKind::FullOpt, &o2);
    g_arena_session = open_session(SessionKind::Arena, &o3);
    g_defaults_session = open_session(SessionKind::Defaults, &o4);
    hook_run();

    g_prepared.resize(sizeof kTexts / sizeof kTexts[0]);
    for (size_t i = 0; i < g_prepared.size(); ++i) {
        const BenchText &t = kTexts[i];
        int words = 1;
        for (const char *c = t.text; *c; ++c) words += *c == ' ';
        if (words != t.words) fail("a benchmark text has the wrong word count");
        Prepared &p = g_prepared[i];
        prepare(t, &p);
        p.samples = p.id_count * kSamplesPerId;
        if (!skipped_in_quick(p)) {
            // One real request: the voice must give the length it promises.
            int16_t *samples = nullptr;
            int32_t count = 0;
            if (orvel_speak_to_buffer(g_conv_voice, t.text, &samples, &count) != 0) fail("bench_conv request");
            orvel_free_audio(samples);
            if (count != p.samples) fail("bench_conv gave an unexpected sample count");
        }
        std::fprintf(stdout, "text %-5s: %d words, %zu code points, %lld ids, %.2f s of audio\n", t.key, t.words,
                     p.codepoints.size(), static_cast<long long>(p.id_count),
                     static_cast<double>(p.samples) / conv_config().sample_rate);
    }
    std::fflush(stdout);
}

void register_all() {
    const bool q = g_options.quick;
    const int reps = q ? 3 : 7;
    const double min_time = q ? 0.02 : 0.2;
    using Fn = void (*)(benchmark::State &, const Prepared *);
    struct Stage {
        const char *name;
        Fn fn;
    };
    const Stage stages[] = {
        {"set_voice", BM_SetVoice},     {"espeak", BM_Espeak},       {"decode_filter", BM_DecodeFilter},
        {"ids", BM_Ids},                {"tensors", BM_Tensors},     {"log", BM_Log},
        {"run", BM_Run},                {"normalise", BM_Normalise}, {"wav_write", BM_WavWrite},
        {"phonemize_text", BM_PhonemizeText},
    };
    for (const Prepared &p : g_prepared) {
        for (const Stage &s : stages) {
            if (s.fn == BM_Run && skipped_in_quick(p)) continue;
            std::string name = std::string("stage/") + s.name + "/" + p.text->key;
            auto *b = benchmark::RegisterBenchmark(name.c_str(), s.fn, &p)
                          ->Unit(benchmark::kMicrosecond)
                          ->UseRealTime()
                          ->Repetitions(reps)
                          ->ReportAggregatesOnly(true);
            if (s.fn == BM_Run) {
                b->Iterations(1)->Repetitions(q ? 3 : (p.text->words > 100 ? 3 : 9));
            } else {
                b->MinTime(min_time);
            }
        }
    }
    for (const Prepared &p : g_prepared) {
        int rounds = p.text->words > 100 ? (q ? 20 : 60) : (q ? 100 : 300);
        benchmark::RegisterBenchmark((std::string("decode_ids_vs_espeak/") + p.text->key).c_str(),
                                     BM_DecodeIdsVsEspeak, &p)
            ->Unit(benchmark::kMicrosecond)
            ->UseManualTime()
            ->Iterations(rounds);
    }
    for (const Prepared &p : g_prepared) {
        if (skipped_in_quick(p)) continue;
        int pairs = p.text->words > 100 ? 5 : p.text->words > 10 ? (q ? 9 : 40) : (q ? 15 : 60);
        benchmark::RegisterBenchmark((std::string("overhead/") + p.text->key).c_str(), BM_Overhead, &p)
            ->Unit(benchmark::kMillisecond)
            ->UseManualTime()
            ->Iterations(pairs);
    }
    for (const Prepared &p : g_prepared) {
        if (skipped_in_quick(p)) continue;
        int rounds = p.text->words > 100 ? 3 : (q ? 5 : 15);
        benchmark::RegisterBenchmark((std::string("optimisation/") + p.text->key).c_str(), BM_Optimisation, &p)
            ->Unit(benchmark::kMillisecond)
            ->UseManualTime()
            ->Iterations(rounds);
    }
    benchmark::RegisterBenchmark("voice_load/bench_conv", BM_VoiceLoad)
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(q ? 5 : 20);
    benchmark::RegisterBenchmark("memory/probe", BM_Memory)
        ->Arg(q ? 1000 : 10000)
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(1);
    benchmark::RegisterBenchmark("memory/espeak_set_voice", BM_MemoryEspeakSetVoice)
        ->Arg(q ? 1000 : 10000)
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(1);
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<char *> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            g_options.quick = true;
        } else if (std::strcmp(argv[i], "--voices") == 0 && i + 1 < argc) {
            g_options.voices = argv[++i];
        } else if (std::strcmp(argv[i], "--wav") == 0 && i + 1 < argc) {
            g_options.wav = argv[++i];
        } else {
            rest.push_back(argv[i]);
        }
    }
    if (g_options.voices.empty()) {
        std::fprintf(stdout, "usage: %s --voices DIR [--quick] [--wav PATH] [benchmark flags]\n", argv[0]);
        return 2;
    }
    // The library's progress lines would dominate the small stages: send
    // standard error to /dev/null, as a host that does not watch it would.
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) {
        dup2(devnull, 2);
        close(devnull);
    }
    set_up();
    register_all();
    int rest_count = static_cast<int>(rest.size());
    benchmark::Initialize(&rest_count, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    orvel_shutdown();
    return 0;
}
