// One UTF-8 codec for the library and the tools. The decoder is strict;
// callers decide what an invalid byte means to them (eSpeak NG reads it as
// Latin-1, the tools' planner as a Latin-1 character, the JSON reader refuses).
// Where text must be read as eSpeak NG reads it, whatever its bytes, the
// lenient functions below take their place.
#ifndef ORVEL_UTF8_H
#define ORVEL_UTF8_H

#include <cstddef>
#include <cstdint>

namespace orvel_utf8 {

// Decodes the character at p, of which n bytes may be read. Returns its length
// (1-4) with the code point in *cp, or 0 when p starts no well-formed
// character: a stray continuation byte, a truncated sequence, an overlong
// form, a surrogate or a value beyond U+10FFFF.
inline size_t decode(const unsigned char *p, size_t n, uint32_t *cp) {
    if (n == 0) return 0;
    const unsigned char b = p[0];
    if (b < 0x80) {
        *cp = b;
        return 1;
    }
    size_t len;
    uint32_t value, min;
    if ((b & 0xE0) == 0xC0) {
        len = 2, value = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        len = 3, value = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        len = 4, value = b & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (n < len) return 0;
    for (size_t k = 1; k < len; ++k) {
        if ((p[k] & 0xC0) != 0x80) return 0;
        value = (value << 6) | (p[k] & 0x3F);
    }
    if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *cp = value;
    return len;
}

// Lenient reading: the lead byte alone gives a sequence's length (C0-DF two
// bytes, E0-EF three, F0-F7 four; any other byte is one byte standing for
// itself), and values are folded without checks for overlong forms,
// surrogates or range.
inline size_t lead_length(unsigned char lead) {
    return lead >= 0xF0 && lead <= 0xF7 ? 4 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xC0 && lead <= 0xDF ? 2 : 1;
}

// The value of the n bytes at p (1 <= n <= lead_length(*p)): the lead byte's
// payload bits (the whole byte when it is one byte on its own), then the low
// six bits of each further byte, whatever those bytes are. A sequence cut
// short (n below its length) folds only the bytes it has.
inline uint32_t fold(const unsigned char *p, size_t n) {
    const unsigned char lead = p[0];
    const size_t len = lead_length(lead);
    uint32_t value = len == 1 ? lead : len == 2 ? lead & 0x1Fu : len == 3 ? lead & 0x0Fu : lead & 0x07u;
    for (size_t k = 1; k < n; ++k) value = (value << 6) | (p[k] & 0x3Fu);
    return value;
}

// The length of the sequence at p when all its continuation bytes follow its
// lead byte, else 1 (an invalid byte, or a lead byte whose sequence is cut,
// stands alone). Reads up to the first byte that is no continuation byte, so
// never past a NUL.
inline size_t lenient_length(const unsigned char *p) {
    const size_t len = lead_length(p[0]);
    for (size_t k = 1; k < len; ++k)
        if ((p[k] & 0xC0) != 0x80) return 1;
    return len;
}

// Writes cp (at most U+10FFFF) as UTF-8 into out, which holds 4 bytes;
// returns the length.
inline size_t encode(uint32_t cp, unsigned char *out) {
    if (cp < 0x80) {
        out[0] = static_cast<unsigned char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
        out[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
        out[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
    out[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    return 4;
}

}  // namespace orvel_utf8

#endif
