// Soak: many init/load/speak/unload/shutdown cycles, then many requests on one
// voice, through the public API of the shared library. Prints the resident
// memory after a warm-up and at the end of each phase and fails when it grew by
// more than a bound (plus eSpeak NG's known loss per cycle in the cycles
// phase). Leaks are for valgrind or LeakSanitizer to report.
//
//   orvel_soak <voice.onnx> <cycles> <requests> <max growth KiB, or -1 for no check> [warm-up requests]
//
// With a warm-up count the requests phase measures the requests after that
// many, and prints the resident size every tenth of them: a voice's benchmark
// shows where glibc's heap settles and whether anything grows after.
#include <malloc.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "orvel.h"

namespace {

// Resident set size in KiB, from /proc/self/statm.
long resident_kib() {
    FILE *f = std::fopen("/proc/self/statm", "r");
    if (!f) return -1;
    long size = 0, resident = 0;
    int got = std::fscanf(f, "%ld %ld", &size, &resident);
    std::fclose(f);
    return got == 2 ? resident * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}

// Bytes the allocator has handed out and not had back (every arena), in KiB:
// what a leak or a growing cache raises, whatever the resident size does.
// Blocks freed into glibc's per-thread cache (up to 7 of each size up to
// 1,032 bytes, about 235 KiB a thread) count as in use too, so requests of new
// lengths raise it a little until that cache is full; with
// GLIBC_TUNABLES=glibc.malloc.tcache_count=0 it counts live blocks only.
long heap_in_use_kib() {
    struct mallinfo2 info = mallinfo2();
    return static_cast<long>((info.uordblks + info.hblkhd) / 1024);
}

// Texts of different lengths, so buffers of different sizes come and go.
const char *const kTexts[] = {
    "Hello world.",
    "The quick brown fox jumps over the lazy dog, twice, and then once more.",
    "One.",
    "A somewhat longer sentence, with a few clauses; it keeps the phonemizer and the model busy for a while.",
};
constexpr int kTextCount = sizeof kTexts / sizeof kTexts[0];

bool speak_once(int voice, int i) {
    int16_t *samples = nullptr;
    int32_t count = 0;
    int result = orvel_speak_to_buffer(voice, kTexts[i % kTextCount], &samples, &count);
    orvel_free_audio(samples);
    if (result != 0 || count <= 0) {
        std::fprintf(stdout, "request %d failed: %s\n", i, orvel_get_error() ? orvel_get_error() : "?");
        return false;
    }
    return true;
}

// eSpeak NG 1.51 loses about 4.4 KiB at every initialise/terminate/unload
// (blocks in its static pointers that espeak_Terminate never frees; see
// tests/valgrind.supp), so the cycles phase may grow by this much per cycle.
constexpr long kEspeakLossPerCycleKib = 5;

// The first tenth of a phase (at least one round) is warm-up: allocator pools,
// ONNX Runtime's and eSpeak NG's one-time tables.
int warm_up(int rounds) { return rounds / 10 > 0 ? rounds / 10 : 1; }

bool check_growth(const char *phase, long before, long after, long max_growth, int rounds) {
    std::printf("%s: RSS after warm-up %ld KiB, at the end %ld KiB, growth %ld KiB (%.2f KiB per round over %d)\n",
                phase, before, after, after - before, rounds > 0 ? static_cast<double>(after - before) / rounds : 0.0,
                rounds);
    if (max_growth >= 0 && after - before > max_growth) {
        std::printf("%s: growth above the bound of %ld KiB\n", phase, max_growth);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr, "usage: %s <voice.onnx> <cycles> <requests> <max growth KiB or -1> [warm-up requests]\n",
                     argv[0]);
        return 2;
    }
    const char *model = argv[1];
    const int cycles = std::atoi(argv[2]);
    const int requests = std::atoi(argv[3]);
    const long max_growth = std::atol(argv[4]);
    const int warm_requests = argc == 6 ? std::atoi(argv[5]) : -1;
    bool ok = true;

    long before = -1;
    for (int i = 0; i < cycles && ok; ++i) {
        if (i == warm_up(cycles)) before = resident_kib();
        int voice = -1;
        ok = orvel_init(nullptr) == 0 && (voice = orvel_load_voice(model, nullptr)) >= 0 && speak_once(voice, i);
        if (!ok) std::printf("cycle %d failed: %s\n", i, orvel_get_error() ? orvel_get_error() : "?");
        orvel_unload_voice(voice);
        orvel_shutdown();
    }
    if (ok && cycles > 0) {
        if (before < 0) before = resident_kib();
        const int measured = cycles - warm_up(cycles);
        ok = check_growth("cycles", before, resident_kib(),
                          max_growth < 0 ? -1 : max_growth + measured * kEspeakLossPerCycleKib, measured);
    }

    if (ok && requests > 0) {
        int voice = -1;
        ok = orvel_init(nullptr) == 0 && (voice = orvel_load_voice(model, nullptr)) >= 0;
        const int warm = warm_requests >= 0 ? warm_requests : warm_up(requests);
        const int total = warm_requests >= 0 ? warm + requests : requests;
        const int tenth = requests / 10 > 0 ? requests / 10 : 1;
        before = resident_kib();
        for (int i = 0; i < total && ok; ++i) {
            if (i == warm) before = resident_kib();
            if (warm_requests >= 0 && i >= warm && (i - warm) % tenth == 0)
                std::printf("requests: RSS after %d %ld KiB, heap in use %ld KiB\n", i - warm, resident_kib(),
                            heap_in_use_kib());
            ok = speak_once(voice, i);
        }
        if (ok && warm_requests >= 0)
            std::printf("requests: RSS after %d %ld KiB, heap in use %ld KiB\n", total - warm, resident_kib(),
                        heap_in_use_kib());
        if (ok) ok = check_growth("requests", before, resident_kib(), max_growth, total - warm);
        orvel_shutdown();
    }
    std::printf("%d cycles, %d requests: %s\n", cycles, requests, ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}
