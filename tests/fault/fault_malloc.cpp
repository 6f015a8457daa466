#include "fault_malloc.h"

#include <cstdio>
#include <cstdlib>

extern "C" void *__real_malloc(size_t size);
extern "C" void __real_free(void *block);

namespace {

// Blocks handed out by the wrapper; free() of anything else (memory from a
// shared library freed by our code) passes through uncounted. The tests hold
// only a handful of blocks at a time.
constexpr int kMaxLive = 4096;
void *g_live[kMaxLive];
size_t g_live_count = 0;

int g_fail_at = 0;
int g_seen = 0;
bool g_failed = false;

void remember(void *block) {
    for (void *&slot : g_live)
        if (!slot) {
            slot = block;
            ++g_live_count;
            return;
        }
    std::fprintf(stderr, "fault_malloc: more than %d live blocks\n", kMaxLive);
    std::abort();
}

void forget(void *block) {
    for (void *&slot : g_live)
        if (slot == block) {
            slot = nullptr;
            --g_live_count;
            return;
        }
}

}  // namespace

extern "C" void *__wrap_malloc(size_t size) {
    ++g_seen;
    if (g_fail_at > 0 && g_seen == g_fail_at) {
        g_fail_at = 0;
        g_failed = true;
        return nullptr;
    }
    void *block = __real_malloc(size);
    if (block) remember(block);
    return block;
}

extern "C" void __wrap_free(void *block) {
    if (block) forget(block);
    __real_free(block);
}

namespace fault {

void fail_nth_malloc(int n) {
    g_fail_at = n;
    g_seen = 0;
    g_failed = false;
}

bool failure_happened() { return g_failed; }

int mallocs_since_armed() { return g_seen; }

size_t live_blocks() { return g_live_count; }

}  // namespace fault
