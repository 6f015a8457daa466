// Fuzzes the whole request path: arbitrary bytes as text through the real
// eSpeak NG, the id encoder, ONNX Runtime and normalisation, with the probe
// voice, which echoes the ids it was given. Checks the result contract and what
// the probe saw. Initialised once per process; every buffer is freed, so
// LeakSanitizer sees each request's failure paths.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../tests/probe_voice.h"
#include "orvel.h"

namespace {

constexpr int32_t kMaxIds = ORVEL_MAX_PHONEMES;  // ids of one request
constexpr int64_t kStart = 1, kPad = 0, kEnd = 2;  // the test voices' markers
constexpr int64_t kLargestId = 199;

int g_voice = -1;

void fail(const char *what, long long value) {
    std::fprintf(stderr, "fuzz_request invariant broken: %s (%lld)\n", what, value);
    std::abort();
}

void set_up() {
    if (orvel_init(nullptr) != 0) fail("orvel_init failed", 0);
    g_voice = orvel_load_voice(ORVEL_TEST_VOICES_DIR "/probe.onnx", nullptr);
    if (g_voice < 0) fail("cannot load the probe voice", g_voice);
}

bool has_message(const char *expected) {
    const char *e = orvel_get_error();
    return e && std::strcmp(e, expected) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (g_voice < 0) set_up();
    // The text ends at the first NUL, as a C string does.
    const std::string text(reinterpret_cast<const char *>(data), size);

    int16_t *samples = nullptr;
    int32_t count = -1;
    const int result = orvel_speak_to_buffer(g_voice, text.c_str(), &samples, &count);

    if (result != 0) {
        if (result != -1) fail("result neither 0 nor -1", result);
        if (text.c_str()[0] == '\0') {
            if (!has_message("Empty text")) fail("empty text without its message", 0);
            if (samples != nullptr || count != -1) fail("out-parameters touched for a rejected text", count);
            return 0;
        }
        if (samples != nullptr || count != 0) fail("failed synthesis left out-parameters set", count);
        // Text that yields no phonemes is the only way a good voice fails.
        if (!has_message("Phonemization failed for text")) fail("unexpected failure message", 0);
        return 0;
    }

    if (orvel_get_error() != nullptr) fail("success with a recorded message", 0);
    if (samples == nullptr) fail("success without a buffer", 0);
    // A long text is spoken in several runs of the model, each echoed whole.
    std::vector<ProbeReading> runs;
    if (!decode_probe_runs(samples, count, &runs)) fail("output is not the probe's echo", count);
    for (const ProbeReading &probe : runs) {
        const size_t n = probe.ids.size();
        if (probe.n != static_cast<int64_t>(n)) fail("input_lengths differs from the id count", probe.n);
        if (n < 3 || n > static_cast<size_t>(kMaxIds)) fail("id count out of range", static_cast<long long>(n));
        if (probe.ids[0] != kStart || probe.ids[1] != kPad) fail("ids do not start with ^ _", probe.ids[0]);
        // Nothing is cut at capacity any more: the end marker is always last.
        if (probe.ids[n - 1] != kEnd) fail("ids do not end with $", probe.ids[n - 1]);
        for (size_t i = 0; i < n; ++i)
            if (probe.ids[i] < 0 || probe.ids[i] > kLargestId) fail("id outside the map", probe.ids[i]);
        // Every phoneme is followed by a pad: ids alternate with pads.
        for (size_t i = 1; i + 1 < n; i += 2)
            if (probe.ids[i] != kPad) fail("phoneme not followed by a pad", static_cast<long long>(i));
    }
    orvel_free_audio(samples);
    return 0;
}
