// 16-bit PCM WAV files with the canonical 44-byte header.
#ifndef ORVEL_AUDIO_H
#define ORVEL_AUDIO_H

#include <cstddef>
#include <cstdint>

// Writes count mono samples at sample_rate to path. 0 when the whole file was
// written and closed; -1 (with one diagnostic line, the partial file removed)
// otherwise, with the system's errno for the failure in *os_error when given
// (0 when the failure was not the system's).
int wav_write(const char *path, const int16_t *samples, size_t count, int32_t sample_rate,
              int *os_error = nullptr);

// Reads a 16-bit PCM WAV file's first channel as floats in [-1, 1).
// On success returns 0 and *out_samples is a malloc'ed buffer the caller frees.
// On failure returns -1; *out_frames and *out_sample_rate may already be set.
int wav_read_float(const char *path, float **out_samples, size_t *out_frames, int32_t *out_sample_rate);

#endif
