// One UTF-8 codec for the library and the tools. The decoder is strict;
// callers decide what an invalid byte means to them (eSpeak NG reads it as
// Latin-1, the tools' planner as a Latin-1 character, the JSON reader refuses).
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
