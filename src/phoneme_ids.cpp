// Phoneme code points to the model's id sequence: "^", "_", then each known
// phoneme followed by "_", then "$", every marker taken from the voice's own map.
#include "phoneme_ids.h"

namespace {

constexpr int32_t START_MARKER = '^';
constexpr int32_t PAD_MARKER = '_';
constexpr int32_t END_MARKER = '$';

// Each code point's first map row, found by hashing: a linear scan of the map
// per phoneme cost more than a tenth of eSpeak NG's own time on long texts.
// Built per request (a few hundred nanoseconds); answers exactly as
// lookup_phoneme_ids does.
class RowIndex {
public:
    explicit RowIndex(const ModelConfig *config) : config_(config) {
        for (int16_t &row : rows_) row = EMPTY;
        const int rows = config->num_phonemes < MAX_PHONEMES ? config->num_phonemes : MAX_PHONEMES;
        for (int i = 0; i < rows; ++i) {
            const int32_t codepoint = config->phonemes[i].codepoint;
            unsigned slot = home(codepoint);
            while (rows_[slot] != EMPTY && codepoints_[slot] != codepoint) slot = (slot + 1) & (SLOTS - 1);
            if (rows_[slot] != EMPTY) continue;  // an earlier row wins
            rows_[slot] = static_cast<int16_t>(i);
            codepoints_[slot] = codepoint;
        }
    }

    // The ids of codepoint's first row and their count (at most
    // MAX_IDS_PER_PHONEME); count 0 when the code point has no row.
    const int64_t *find(int32_t codepoint, int *count) const {
        for (unsigned slot = home(codepoint); rows_[slot] != EMPTY; slot = (slot + 1) & (SLOTS - 1)) {
            if (codepoints_[slot] != codepoint) continue;
            const PhonemeIdEntry &row = config_->phonemes[rows_[slot]];
            int n = row.num_ids < MAX_IDS_PER_PHONEME ? row.num_ids : MAX_IDS_PER_PHONEME;
            *count = n > 0 ? n : 0;
            return row.ids;
        }
        *count = 0;
        return nullptr;
    }

private:
    static constexpr int SLOT_BITS = 10;
    static constexpr int SLOTS = 1 << SLOT_BITS;  // at least twice MAX_PHONEMES: short probe chains
    static constexpr int16_t EMPTY = -1;
    static_assert(SLOTS >= 2 * MAX_PHONEMES, "index too small for the map");

    static unsigned home(int32_t codepoint) {
        return (static_cast<uint32_t>(codepoint) * 2654435761u) >> (32 - SLOT_BITS);
    }

    const ModelConfig *config_;
    int16_t rows_[SLOTS];
    int32_t codepoints_[SLOTS];
};

// Appends ids while there is room; whatever does not fit is dropped.
void append_ids(const int64_t *ids, int count, int64_t *out_ids, int capacity, int *stored) {
    for (int i = 0; i < count && *stored < capacity; ++i) out_ids[(*stored)++] = ids[i];
}

}  // namespace

int phonemes_to_ids(const int32_t *codepoints, int num_codepoints, const ModelConfig *config,
                    int64_t *out_ids, int capacity) {
    if (capacity <= 0) return 0;
    const RowIndex index(config);
    int pad_count = 0;
    const int64_t *pad = index.find(PAD_MARKER, &pad_count);
    int stored = 0;
    int count = 0;
    const int64_t *ids = index.find(START_MARKER, &count);
    append_ids(ids, count, out_ids, capacity, &stored);
    append_ids(pad, pad_count, out_ids, capacity, &stored);
    // Once the output is full nothing more can be stored, so the rest of the
    // phonemes need not be looked up.
    for (int i = 0; i < num_codepoints && stored < capacity; ++i) {
        ids = index.find(codepoints[i], &count);
        if (count == 0) continue;  // unknown phonemes leave no trace, not even a pad
        if (capacity - stored >= count + pad_count) {
            // Room for both: no per-id bound checks.
            for (int j = 0; j < count; ++j) out_ids[stored + j] = ids[j];
            stored += count;
            for (int j = 0; j < pad_count; ++j) out_ids[stored + j] = pad[j];
            stored += pad_count;
        } else {
            append_ids(ids, count, out_ids, capacity, &stored);
            append_ids(pad, pad_count, out_ids, capacity, &stored);
        }
    }
    ids = index.find(END_MARKER, &count);
    append_ids(ids, count, out_ids, capacity, &stored);
    return stored;
}

int phonemes_id_count(const int32_t *codepoints, int num_codepoints, const ModelConfig *config) {
    const RowIndex index(config);
    int pad_count = 0, count = 0;
    index.find(PAD_MARKER, &pad_count);
    index.find(START_MARKER, &count);
    int total = count + pad_count;
    for (int i = 0; i < num_codepoints; ++i) {
        index.find(codepoints[i], &count);
        if (count > 0) total += count + pad_count;
    }
    index.find(END_MARKER, &count);
    return total + count;
}
