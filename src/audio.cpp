#include "audio.h"
#include "platform.h"
#include "wav_header.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t WAV_HEADER_SIZE = orvel_wav::kHeaderBytes;
constexpr uint64_t WAV_MAX_DATA_BYTES = orvel_wav::kMaxDataBytes;

// Samples are converted through this many bytes at a time, so the file is
// little-endian on any host without a second heap buffer.
constexpr size_t WAV_WRITE_CHUNK = 8192;

uint32_t get_u16(const unsigned char *p) { return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8); }

uint32_t get_u32(const unsigned char *p) { return get_u16(p) | (get_u16(p + 2) << 16); }

void fill_header(unsigned char *h, uint32_t data_bytes, int32_t sample_rate) {
    orvel_wav::fill_header(h, data_bytes, static_cast<uint32_t>(sample_rate));
}

// Writes the samples little-endian; false as soon as one write falls short.
bool write_samples(FILE *f, const int16_t *samples, size_t count) {
    unsigned char buf[WAV_WRITE_CHUNK];
    size_t done = 0;
    while (done < count) {
        size_t n = count - done;
        if (n > WAV_WRITE_CHUNK / 2) n = WAV_WRITE_CHUNK / 2;
        orvel_wav::put_samples(buf, samples + done, n);
        if (std::fwrite(buf, 2, n, f) != n) return false;
        done += n;
    }
    return true;
}

}  // namespace

int wav_write(const char *path, const int16_t *samples, size_t count, int32_t sample_rate, int *os_error) {
    if (os_error) *os_error = 0;
    // The size fields are 32 bits wide; a larger file would get a wrapped,
    // lying header, so refuse it before creating anything.
    if (count > WAV_MAX_DATA_BYTES / 2) {
        std::fprintf(stderr, "Too many samples for a WAV file: %s (%zu samples)\n", path, count);
        return -1;
    }

    errno = 0;
    FILE *f = std::fopen(path, "wb");
    if (!f) {
        if (os_error) *os_error = errno;
        std::fprintf(stderr, "Cannot create WAV file: %s\n", path);
        return -1;
    }
    // Only a file we created may be removed on failure, never a device such as /dev/full.
    const bool regular = platform_is_regular_file(path);

    unsigned char header[WAV_HEADER_SIZE];
    fill_header(header, static_cast<uint32_t>(count * 2), sample_rate);

    // The first failing call's errno is the reason reported.
    int reason = 0;
    bool ok = std::fwrite(header, 1, WAV_HEADER_SIZE, f) == WAV_HEADER_SIZE;
    if (ok) ok = write_samples(f, samples, count);
    // Buffered data reaches the disk only here, so a full disk shows up in the flush or the close.
    if (ok) ok = std::fflush(f) == 0;
    if (!ok) reason = errno;
    if (std::fclose(f) != 0 && ok) {
        ok = false;
        reason = errno;
    }

    if (!ok) {
        if (os_error) *os_error = reason;
        std::fprintf(stderr, "Failed to write WAV file data: %s\n", path);
        if (regular) std::remove(path);
        return -1;
    }
    return 0;
}

int wav_read_float(const char *path, float **out_samples, size_t *out_frames, int32_t *out_sample_rate) {
    FILE *f = std::fopen(path, "rb");
    if (!f) {
        std::fprintf(stderr, "Cannot open WAV file: %s\n", path);
        return -1;
    }

    unsigned char h[WAV_HEADER_SIZE];
    if (std::fread(h, 1, WAV_HEADER_SIZE, f) != WAV_HEADER_SIZE) {
        std::fprintf(stderr, "Failed to read WAV header: %s\n", path);
        std::fclose(f);
        return -1;
    }

    if (std::memcmp(h, "RIFF", 4) != 0 || std::memcmp(h + 8, "WAVE", 4) != 0) {
        std::fprintf(stderr, "Not a WAV file: %s\n", path);
        std::fclose(f);
        return -1;
    }

    const uint32_t format = get_u16(h + 20);
    if (format != 1) {
        std::fprintf(stderr, "Not PCM WAV: %s (format=%d)\n", path, static_cast<int>(format));
        std::fclose(f);
        return -1;
    }

    const uint32_t channels = get_u16(h + 22);
    const uint32_t sample_rate = get_u32(h + 24);
    const uint32_t bits = get_u16(h + 34);
    const uint32_t data_bytes = get_u32(h + 40);

    // Both feed divisors of the frame count below.
    if (channels == 0 || bits < 8) {
        std::fprintf(stderr, "Invalid WAV format: %s (channels=%u, bits=%u)\n", path, static_cast<unsigned>(channels),
                     static_cast<unsigned>(bits));
        std::fclose(f);
        return -1;
    }

    const uint32_t frames = data_bytes / (bits / 8) / channels;
    *out_sample_rate = static_cast<int32_t>(sample_rate);
    *out_frames = frames;

    // At least one entry, so an empty file still gives the caller a buffer to free.
    const size_t float_count = frames > 0 ? frames : 1;
    float *out = float_count <= SIZE_MAX / sizeof(float)
                     ? static_cast<float *>(std::malloc(float_count * sizeof(float)))
                     : nullptr;
    if (!out) {
        std::fclose(f);
        return -1;
    }

    if (bits != 16) {
        std::fprintf(stderr, "Unsupported bits per sample: %d\n", static_cast<int>(bits));
        std::free(out);
        std::fclose(f);
        return -1;
    }

    // channels * frames * 2 <= data_bytes, so neither product can overflow.
    const size_t items = static_cast<size_t>(channels) * frames;
    unsigned char *raw = static_cast<unsigned char *>(std::malloc(items > 0 ? items * 2 : 1));
    if (!raw) {
        std::free(out);
        std::fclose(f);
        return -1;
    }
    const size_t got = std::fread(raw, 2, items, f);
    // A file cut short reads as silence past its end (a half sample included).
    std::memset(raw + got * 2, 0, (items - got) * 2);

    constexpr float scale = 1.0f / 32768.0f;
    for (size_t i = 0; i < frames; ++i) {
        const unsigned char *p = raw + i * channels * 2;
        const int16_t s = static_cast<int16_t>(static_cast<uint16_t>(get_u16(p)));
        out[i] = static_cast<float>(s) * scale;
    }

    std::free(raw);
    *out_samples = out;
    std::fclose(f);
    return 0;
}
