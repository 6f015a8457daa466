// Fuzzes wav_read_float with arbitrary file contents and checks what it
// returns: the value range, the samples against the bytes, silence past the
// end of a short file, and that a failure hands out no buffer. Every buffer is
// freed, so LeakSanitizer checks each failure path for what it must release.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio.h"

namespace {

// Inputs whose header claims more sample data than this are skipped. Beyond
// the few kilobytes a fuzz input holds, a larger claim only pads the same code
// paths with more silence, while costing a large allocation and a memset per run.
constexpr uint32_t MAX_CLAIMED_DATA_BYTES = 64u << 10;

char g_path[4096];
int g_fd = -1;

void remove_scratch() { unlink(g_path); }

// One scratch file per process, removed at exit. TMPDIR may point at a
// RAM-backed folder: creating and truncating a disk file costs more than the
// read under test.
const char *scratch_path() {
    if (g_path[0] == '\0') {
        const char *dir = std::getenv("TMPDIR");
        if (!dir || !*dir) dir = "/tmp";
        std::snprintf(g_path, sizeof g_path, "%s/orvel-fuzz-wav-XXXXXX", dir);
        const int fd = mkstemp(g_path);
        if (fd < 0) {
            std::perror("mkstemp");
            std::abort();
        }
        g_fd = fd;
        std::atexit(remove_scratch);
    }
    return g_path;
}

uint32_t le(const uint8_t *p, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

void fail(const char *what, size_t index) {
    std::fprintf(stderr, "fuzz_wav invariant broken: %s (index %zu)\n", what, index);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size >= 44 && le(data + 40, 4) > MAX_CLAIMED_DATA_BYTES) return 0;

    // Rewritten in place through one descriptor kept open for the whole run.
    const char *path = scratch_path();
    if (pwrite(g_fd, data, size, 0) != static_cast<ssize_t>(size) || ftruncate(g_fd, static_cast<off_t>(size)) != 0) {
        std::perror(path);
        std::abort();
    }

    float *samples = nullptr;
    size_t frames = 0;
    int32_t rate = 0;
    const int rc = wav_read_float(path, &samples, &frames, &rate);

    if (rc != 0) {
        if (rc != -1) fail("result neither 0 nor -1", 0);
        if (samples) fail("buffer handed out on failure", 0);
        return 0;
    }

    // Success needs a whole header naming 16-bit PCM with at least one channel.
    if (size < 44 || std::memcmp(data, "RIFF", 4) != 0 || std::memcmp(data + 8, "WAVE", 4) != 0)
        fail("accepted a file without a WAV header", 0);
    const uint32_t channels = le(data + 22, 2);
    if (le(data + 20, 2) != 1 || le(data + 34, 2) != 16 || channels == 0) fail("accepted a non-16-bit PCM header", 0);
    if (!samples) fail("success without a buffer", 0);
    if (static_cast<uint32_t>(rate) != le(data + 24, 4)) fail("sample rate differs from the header", 0);
    if (frames != le(data + 40, 4) / 2 / channels) fail("frame count differs from the header", 0);

    for (size_t i = 0; i < frames; ++i) {
        const float v = samples[i];
        if (!(v >= -1.0f && v < 1.0f)) fail("sample outside [-1, 1)", i);
        const size_t at = 44 + i * channels * 2;
        // The first channel's sample when the file holds it whole, else silence.
        const int16_t expected = at + 2 <= size ? static_cast<int16_t>(le(data + at, 2)) : 0;
        if (v != static_cast<float>(expected) / 32768.0f) fail("sample differs from the file's bytes", i);
    }

    std::free(samples);
    return 0;
}
