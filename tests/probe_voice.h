// Reading back the probe test voices (tools/make_test_voices.py): their
// waveform carries the inputs synthesis passed to the model, so a test can
// check the ids, their count, the scales and the speaker exactly.
//
// After the library's peak normalisation the samples are
//
//     [32767, len, sid, noise*1000, length*1000, noise_w*1000, id_0 ... id_(N-1)]
//
// where len is the "input_lengths" value, sid the "sid" value (-1 when the
// voice has no "sid" input, or probe_multi_default_sid ran without it; a
// probe_multi run without "sid" fails in ONNX Runtime), each scale is
// rounded half to even to an integer number of thousandths, and the ids are
// the whole "input" tensor. Every value is clipped to [-32766, 32766]; ids
// 0..255, counts up to 4096 and scales in [-10, 10] come back exactly.
#ifndef ORVEL_TESTS_PROBE_VOICE_H
#define ORVEL_TESTS_PROBE_VOICE_H

#include <cmath>
#include <cstdint>
#include <vector>

constexpr int16_t kProbeReference = 32767;  // first sample: the peak
constexpr int32_t kProbeHeaderSamples = 6;  // reference, len, sid, three scales
constexpr int64_t kProbeNoSid = -1;         // sid when none was fed
constexpr float kProbeScaleResolution = 1000.0f;

struct ProbeReading {
    int64_t n = 0;                    // the "input_lengths" value
    int64_t sid = kProbeNoSid;        // the "sid" value, or kProbeNoSid
    int32_t scales_milli[3] = {};     // noise scale, length scale, noise width, in thousandths
    float scales[3] = {};             // the same as floats (scales_milli / 1000)
    std::vector<int64_t> ids;         // the "input" tensor, in order
};

// Decodes a probe voice's normalised output. Returns false when the samples
// cannot be a probe output (too short, or the reference sample is missing).
inline bool decode_probe(const int16_t *samples, int32_t count, ProbeReading *out) {
    if (samples == nullptr || out == nullptr || count < kProbeHeaderSamples) return false;
    if (samples[0] != kProbeReference) return false;
    out->n = samples[1];
    out->sid = samples[2];
    for (int i = 0; i < 3; ++i) {
        out->scales_milli[i] = samples[3 + i];
        out->scales[i] = static_cast<float>(samples[3 + i]) / kProbeScaleResolution;
    }
    out->ids.assign(samples + kProbeHeaderSamples, samples + count);
    return true;
}

// Decodes the output of a request spoken in several runs of the model: each
// run's echo in order. A run starts at the reference sample, which no other
// value reaches (they are clipped to 32766).
inline bool decode_probe_runs(const int16_t *samples, int32_t count, std::vector<ProbeReading> *out) {
    if (samples == nullptr || out == nullptr) return false;
    out->clear();
    for (int32_t start = 0; start < count;) {
        int32_t end = start + 1;
        while (end < count && samples[end] != kProbeReference) ++end;
        ProbeReading reading;
        if (!decode_probe(samples + start, end - start, &reading)) return false;
        out->push_back(reading);
        start = end;
    }
    return !out->empty();
}

// The thousandths a probe voice reports for a scale the library passed, for
// exact comparisons: round half to even, as the model's Round does.
inline int32_t probe_scale_milli(float scale) {
    return static_cast<int32_t>(std::nearbyint(scale * kProbeScaleResolution));
}

// The phoneme-id map every test voice shares: one id per code point. Kept
// equal to the generator's map; the generator refuses to run when they differ.
struct ProbePhonemeId {
    int32_t codepoint;
    int64_t id;
};

inline constexpr ProbePhonemeId kProbePhonemeIds[] = {
    {0x005F, 0},  // "_"
    {0x005E, 1},  // "^"
    {0x0024, 2},  // "$"
    {0x0020, 3},  // " "
    {0x0021, 4},  // "!"
    {0x0022, 5},  // "\""
    {0x0027, 6},  // "'"
    {0x0028, 7},  // "("
    {0x0029, 8},  // ")"
    {0x002C, 9},  // ","
    {0x002D, 10},  // "-"
    {0x002E, 11},  // "."
    {0x003A, 12},  // ":"
    {0x003B, 13},  // ";"
    {0x003F, 14},  // "?"
    {0x0061, 15},  // "a"
    {0x0062, 16},  // "b"
    {0x0063, 17},  // "c"
    {0x0064, 18},  // "d"
    {0x0065, 19},  // "e"
    {0x0066, 20},  // "f"
    {0x0067, 21},  // "g"
    {0x0068, 22},  // "h"
    {0x0069, 23},  // "i"
    {0x006A, 24},  // "j"
    {0x006B, 25},  // "k"
    {0x006C, 26},  // "l"
    {0x006D, 27},  // "m"
    {0x006E, 28},  // "n"
    {0x006F, 29},  // "o"
    {0x0070, 30},  // "p"
    {0x0071, 31},  // "q"
    {0x0072, 32},  // "r"
    {0x0073, 33},  // "s"
    {0x0074, 34},  // "t"
    {0x0075, 35},  // "u"
    {0x0076, 36},  // "v"
    {0x0077, 37},  // "w"
    {0x0078, 38},  // "x"
    {0x0079, 39},  // "y"
    {0x007A, 40},  // "z"
    {0x0041, 41},  // "A"
    {0x0042, 42},  // "B"
    {0x0043, 43},  // "C"
    {0x0044, 44},  // "D"
    {0x0045, 45},  // "E"
    {0x0046, 46},  // "F"
    {0x0047, 47},  // "G"
    {0x0048, 48},  // "H"
    {0x0049, 49},  // "I"
    {0x004A, 50},  // "J"
    {0x004B, 51},  // "K"
    {0x004C, 52},  // "L"
    {0x004D, 53},  // "M"
    {0x004E, 54},  // "N"
    {0x004F, 55},  // "O"
    {0x0050, 56},  // "P"
    {0x0051, 57},  // "Q"
    {0x0052, 58},  // "R"
    {0x0053, 59},  // "S"
    {0x0054, 60},  // "T"
    {0x0055, 61},  // "U"
    {0x0056, 62},  // "V"
    {0x0057, 63},  // "W"
    {0x0058, 64},  // "X"
    {0x0059, 65},  // "Y"
    {0x005A, 66},  // "Z"
    {0x0030, 67},  // "0"
    {0x0031, 68},  // "1"
    {0x0032, 69},  // "2"
    {0x0033, 70},  // "3"
    {0x0034, 71},  // "4"
    {0x0035, 72},  // "5"
    {0x0036, 73},  // "6"
    {0x0037, 74},  // "7"
    {0x0038, 75},  // "8"
    {0x0039, 76},  // "9"
    {0x0259, 77},  // "\u0259"
    {0x026A, 78},  // "\u026a"
    {0x028A, 79},  // "\u028a"
    {0x025B, 80},  // "\u025b"
    {0x00E6, 81},  // "\u00e6"
    {0x0251, 82},  // "\u0251"
    {0x0254, 83},  // "\u0254"
    {0x028C, 84},  // "\u028c"
    {0x025C, 85},  // "\u025c"
    {0x025A, 86},  // "\u025a"
    {0x0250, 87},  // "\u0250"
    {0x0279, 88},  // "\u0279"
    {0x027E, 89},  // "\u027e"
    {0x0283, 90},  // "\u0283"
    {0x0292, 91},  // "\u0292"
    {0x03B8, 92},  // "\u03b8"
    {0x00F0, 93},  // "\u00f0"
    {0x014B, 94},  // "\u014b"
    {0x0261, 95},  // "\u0261"
    {0x0294, 96},  // "\u0294"
    {0x02C8, 97},  // "\u02c8"
    {0x02CC, 98},  // "\u02cc"
    {0x02D0, 99},  // "\u02d0"
    {0x1D7B, 100},  // "\u1d7b"
    {0x026C, 101},  // "\u026c"
    {0x02B2, 102},  // "\u02b2"
    {0x0252, 103},  // "\u0252"
    {0x025D, 104},  // "\u025d"
    {0x026B, 105},  // "\u026b"
    {0x028D, 106},  // "\u028d"
    {0x0263, 107},  // "\u0263"
    {0x03C7, 108},  // "\u03c7"
    {0x00E7, 109},  // "\u00e7"
    {0x0272, 110},  // "\u0272"
    {0x028E, 111},  // "\u028e"
    {0x0281, 112},  // "\u0281"
    {0x0280, 113},  // "\u0280"
    {0x0255, 114},  // "\u0255"
    {0x0291, 115},  // "\u0291"
    {0x0268, 116},  // "\u0268"
    {0x0289, 117},  // "\u0289"
    {0x026F, 118},  // "\u026f"
    {0x0264, 119},  // "\u0264"
    {0x00F8, 120},  // "\u00f8"
    {0x0153, 121},  // "\u0153"
    {0x0275, 122},  // "\u0275"
    {0x028F, 123},  // "\u028f"
    {0x0258, 124},  // "\u0258"
    {0x025E, 125},  // "\u025e"
    {0x0276, 126},  // "\u0276"
    {0x02B0, 127},  // "\u02b0"
    {0x02B7, 128},  // "\u02b7"
    {0x02D1, 129},  // "\u02d1"
    {0x0266, 130},  // "\u0266"
    {0x0270, 131},  // "\u0270"
    {0x028B, 132},  // "\u028b"
    {0x026D, 133},  // "\u026d"
    {0x0273, 134},  // "\u0273"
    {0x0282, 135},  // "\u0282"
    {0x0290, 136},  // "\u0290"
    {0x027B, 137},  // "\u027b"
    {0x03B2, 138},  // "\u03b2"
    {0x0278, 139},  // "\u0278"
    {0x0303, 140},  // "\u0303"
    {0x0329, 141},  // "\u0329"
    {0x032A, 142},  // "\u032a"
    {0x0361, 143},  // "\u0361"
    {0x203F, 144},  // "\u203f"
};

// The id of a code point in the test voices' map, or -1 when it has none.
inline int64_t probe_phoneme_id(int32_t codepoint) {
    for (const ProbePhonemeId &row : kProbePhonemeIds)
        if (row.codepoint == codepoint) return row.id;
    return -1;
}

#endif
