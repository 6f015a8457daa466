// The 44-byte header of a 16-bit mono PCM WAV file and the byte order of its
// samples, written by the library and by the tools. Header-only and free of
// the library's state, so tools include it without linking anything.
#ifndef ORVEL_WAV_HEADER_H
#define ORVEL_WAV_HEADER_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace orvel_wav {

constexpr unsigned kHeaderBytes = 44;

// The RIFF size field is 32 bits and counts 36 header bytes besides the data;
// the data of 16-bit samples stays even.
constexpr uint64_t kMaxDataBytes = (0xFFFFFFFFull - 36) & ~1ull;

inline void put_le16(unsigned char *p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v & 0xFF);
    p[1] = static_cast<unsigned char>((v >> 8) & 0xFF);
}

inline void put_le32(unsigned char *p, uint32_t v) {
    put_le16(p, v & 0xFFFF);
    put_le16(p + 2, v >> 16);
}

// Fills h with the header for data_bytes of samples at sample_rate Hz.
inline void fill_header(unsigned char h[kHeaderBytes], uint32_t data_bytes, uint32_t sample_rate) {
    std::memcpy(h + 0, "RIFF", 4);
    put_le32(h + 4, data_bytes + 36);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    put_le32(h + 16, 16);
    put_le16(h + 20, 1);                // PCM
    put_le16(h + 22, 1);                // mono
    put_le32(h + 24, sample_rate);
    put_le32(h + 28, sample_rate * 2);  // byte rate, wraps like the other 32-bit fields
    put_le16(h + 32, 2);                // block align
    put_le16(h + 34, 16);               // bits per sample
    std::memcpy(h + 36, "data", 4);
    put_le32(h + 40, data_bytes);
}

// The size fields of a stream whose length is not known when its header goes
// out: both at their largest, which players read as "until the end".
constexpr uint32_t kUnknownSize = 0xFFFFFFFFu;

inline void fill_stream_header(unsigned char h[kHeaderBytes], uint32_t sample_rate) {
    fill_header(h, 0, sample_rate);
    put_le32(h + 4, kUnknownSize);
    put_le32(h + 40, kUnknownSize);
}

// Writes count samples into out (2 * count bytes) as 16-bit little-endian,
// the order of WAV data and of the tools' raw PCM, whatever the host's.
inline void put_samples(unsigned char *out, const int16_t *samples, size_t count) {
    for (size_t i = 0; i < count; ++i) put_le16(out + 2 * i, static_cast<uint16_t>(samples[i]));
}

}  // namespace orvel_wav

#endif
