// Phoneme code points to the model's id sequence: "^", "_", then each known
// phoneme followed by "_", then "$", every marker taken from the voice's own map.
#include "phoneme_ids.h"

namespace {

constexpr int32_t START_MARKER = '^';
constexpr int32_t PAD_MARKER = '_';
constexpr int32_t END_MARKER = '$';

// Appends ids while there is room; whatever does not fit is dropped.
void append_ids(const int64_t *ids, int count, int64_t *out_ids, int capacity, int *stored) {
    for (int i = 0; i < count && *stored < capacity; ++i) out_ids[(*stored)++] = ids[i];
}

void append_marker(int32_t marker, const ModelConfig *config, int64_t *out_ids, int capacity, int *stored) {
    int64_t ids[MAX_IDS_PER_PHONEME];
    int count = lookup_phoneme_ids(config, marker, ids, MAX_IDS_PER_PHONEME);
    append_ids(ids, count, out_ids, capacity, stored);
}

}  // namespace

int phonemes_to_ids(const int32_t *codepoints, int num_codepoints, const ModelConfig *config,
                    int64_t *out_ids, int capacity) {
    if (capacity <= 0) return 0;
    int stored = 0;
    append_marker(START_MARKER, config, out_ids, capacity, &stored);
    append_marker(PAD_MARKER, config, out_ids, capacity, &stored);
    // Once the output is full nothing more can be stored, so the rest of the
    // phonemes need not be looked up.
    for (int i = 0; i < num_codepoints && stored < capacity; ++i) {
        int64_t ids[MAX_IDS_PER_PHONEME];
        int count = lookup_phoneme_ids(config, codepoints[i], ids, MAX_IDS_PER_PHONEME);
        if (count == 0) continue;  // unknown phonemes leave no trace, not even a pad
        append_ids(ids, count, out_ids, capacity, &stored);
        append_marker(PAD_MARKER, config, out_ids, capacity, &stored);
    }
    append_marker(END_MARKER, config, out_ids, capacity, &stored);
    return stored;
}
