// Phoneme code points to the model's framed id sequence.
#ifndef ORVEL_PHONEME_IDS_H
#define ORVEL_PHONEME_IDS_H

#include <cstdint>

#include "json_parse.h"

// Writes "^" "_" (phoneme "_")* "$" ids of the voice's map into out_ids, cut
// silently at capacity. Returns the number of ids stored (0..capacity).
int phonemes_to_ids(const int32_t *codepoints, int num_codepoints, const ModelConfig *config,
                    int64_t *out_ids, int capacity);

// How many ids phonemes_to_ids would write for these code points, framing
// included, were there no capacity.
int phonemes_id_count(const int32_t *codepoints, int num_codepoints, const ModelConfig *config);

#endif
