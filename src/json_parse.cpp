// Voice configuration reader: a single-pass, non-validating JSON scanner that
// keeps the few values the engine needs and stops quietly where the text stops
// making sense, keeping whatever it stored up to there.
#include "json_parse.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"
#include "utf8.h"

namespace {

// Deep enough for any real configuration, shallow enough for any stack.
constexpr int MAX_SKIP_DEPTH = 256;

constexpr int TOP_NAME_SIZE = 128;
constexpr int SECTION_NAME_SIZE = 64;
constexpr int MAP_NAME_SIZE = 16;

// The four JSON blanks; vertical tab and form feed are deliberately not among them.
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// What ends a bare value. This is isspace() of the "C" locale spelled out,
// because eSpeak NG switches the process locale at run time and a UTF-8
// locale must not turn bytes from 0x80 up into delimiters.
bool is_delimiter(char c) {
    switch (c) {
    case '\0': case ',': case ']': case '}':
    case ' ': case '\t': case '\n': case '\r': case '\v': case '\f':
        return true;
    default:
        return false;
    }
}

const char *skip_blanks(const char *p) {
    while (is_blank(*p)) ++p;
    return p;
}

const char *scan_bare_value(const char *p) {
    while (!is_delimiter(*p)) ++p;
    return p;
}

// Stores a k-byte character only when it fits together with the final NUL;
// one that does not fit is dropped so a later, shorter one may still go in.
void store_bytes(char *buf, int buf_size, int *n, const unsigned char *bytes, int k) {
    if (!buf || *n + k > buf_size - 1) return;
    std::memcpy(buf + *n, bytes, static_cast<size_t>(k));
    *n += k;
}

// Encodes a \u value; surrogates are not paired. strtoul wraps a signed
// escape such as \u-001 past 0xFFFF: such a value has always been written as
// the three bytes of its low 16 bits with the lead byte 0xFF (the low byte of
// 0xE0 | v >> 12), and keeps those bytes.
int encode_escape(unsigned long v, unsigned char *out) {
    const int k = static_cast<int>(orvel_utf8::encode(static_cast<uint32_t>(v & 0xFFFF), out));
    if (v > 0xFFFF) out[0] = 0xFF;
    return k;
}

const char *skip_value_at(const char *p, int depth);

// The members of an object (close '}') or the elements of an array (close
// ']') being passed over; p is just past the opening bracket.
const char *skip_items(const char *p, int depth, char close) {
    for (;;) {
        const char *start = p;
        if (close == '}') {
            p = parse_string(skip_blanks(p), nullptr, 0);
            if (!p) return nullptr;
            p = skip_blanks(p);
            if (*p == ':') ++p;
        }
        p = skip_value_at(p, depth + 1);
        if (!p) return nullptr;
        if (!*p) return p;
        p = skip_blanks(p);
        if (*p == ',') {
            ++p;
            if (!*p) return p;
        } else if (*p == close) {
            return p + 1;
        } else if (p == start) {
            // A vertical tab, form feed or stray '}' where an element should
            // be: nothing was consumed, and going round again would never end.
            // (A member always consumes its name's quotation mark.)
            return nullptr;
        }
    }
}

const char *skip_value_at(const char *p, int depth) {
    if (!*p) return p;
    p = skip_blanks(p);
    if (!*p) return p;
    if (*p == '"') return parse_string(p, nullptr, 0);
    if (*p != '{' && *p != '[') return scan_bare_value(p);

    if (depth >= MAX_SKIP_DEPTH) return nullptr;
    const char close = *p == '{' ? '}' : ']';
    ++p;
    if (!*p) return p;
    p = skip_blanks(p);
    if (*p == close) return p + 1;
    if (!*p) return p;
    return skip_items(p, depth, close);
}

// The first code point of a map member's name, by its lead byte alone. The
// buffer is zeroed before each name, so a sequence cut short reads zeros.
int32_t first_codepoint(const char *name) {
    const unsigned char *b = reinterpret_cast<const unsigned char *>(name);
    return static_cast<int32_t>(orvel_utf8::fold(b, orvel_utf8::lead_length(b[0])));
}

// strtol at p, saturated to 32 bits (long is 64 bits on some platforms).
int32_t read_int32(const char *p) {
    long v = std::strtol(p, nullptr, 10);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

enum class Section { top, espeak, inference, audio, phoneme_id_map };

const char *read_object(const char *p, ModelConfig *config, Section section);

// One "phoneme_id_map" member: a row of at most eight ids. Returns where the
// member loop goes on, or null when the reading stops.
const char *read_map_row(const char *p, ModelConfig *config, const char *name) {
    if (config->num_phonemes >= MAX_PHONEMES) {
        ++config->rows_beyond_capacity;
        return skip_value_at(p, 0);
    }
    PhonemeIdEntry *row = &config->phonemes[config->num_phonemes];
    row->codepoint = first_codepoint(name);
    row->num_ids = 0;

    // The row counts from here on, whatever follows.
    ++config->num_phonemes;
    p = skip_blanks(p);
    if (*p != '[') return nullptr;
    p = skip_blanks(p + 1);
    if (!*p) return nullptr;
    if (*p == ']') return p + 1;
    for (;;) {
        p = skip_blanks(p);
        // Any element stores a number: strtoll gives 0 for a string, null or nothing.
        if (row->num_ids < MAX_IDS_PER_PHONEME) row->ids[row->num_ids++] = std::strtoll(p, nullptr, 10);
        while (*p && *p != ',' && *p != ']') ++p;
        if (*p == ']') return p + 1;
        if (!*p) return nullptr;
        ++p;
        if (!*p) return nullptr;
    }
}

// Handles one member's value; p is at the value (blanks skipped). Returns
// where the member loop goes on, or null when the reading stops.
const char *read_member_value(const char *p, ModelConfig *config, Section section, const char *name) {
    switch (section) {
    case Section::top: {
        Section inner = Section::top;
        if (std::strcmp(name, "espeak") == 0) inner = Section::espeak;
        else if (std::strcmp(name, "inference") == 0) inner = Section::inference;
        else if (std::strcmp(name, "audio") == 0) inner = Section::audio;
        else if (std::strcmp(name, "phoneme_id_map") == 0) inner = Section::phoneme_id_map;
        if (inner != Section::top && *p == '{') return read_object(p, config, inner);
        if (std::strcmp(name, "num_speakers") == 0) {
            config->num_speakers = read_int32(p);
            return scan_bare_value(p);
        }
        return skip_value_at(p, 0);
    }
    case Section::espeak:
        if (std::strcmp(name, "voice") == 0) return parse_string(p, config->voice, VOICE_NAME_SIZE);
        return skip_value_at(p, 0);
    case Section::inference:
        if (std::strcmp(name, "noise_scale") == 0) return parse_float(p, &config->noise_scale);
        if (std::strcmp(name, "length_scale") == 0) return parse_float(p, &config->length_scale);
        if (std::strcmp(name, "noise_w") == 0) return parse_float(p, &config->noise_w);
        return skip_value_at(p, 0);
    case Section::audio:
        if (std::strcmp(name, "sample_rate") == 0) {
            config->sample_rate = read_int32(p);
            return scan_bare_value(p);
        }
        return skip_value_at(p, 0);
    case Section::phoneme_id_map:
        return read_map_row(p, config, name);
    }
    return nullptr;
}

// The member loop of the top-level object and of each section; p is at the
// '{'. Returns the position after the closing '}', or null when the reading stops.
const char *read_object(const char *p, ModelConfig *config, Section section) {
    char name[TOP_NAME_SIZE];
    const int name_size = section == Section::top              ? TOP_NAME_SIZE
                          : section == Section::phoneme_id_map ? MAP_NAME_SIZE
                                                               : SECTION_NAME_SIZE;
    ++p;
    if (!*p) return nullptr;
    for (;;) {
        p = skip_blanks(p);
        if (*p == '}') return p + 1;
        std::memset(name, 0, sizeof name);
        p = parse_string(p, name, name_size);
        if (!p) return nullptr;
        p = skip_blanks(p);
        if (*p == ':') ++p;  // a missing colon is tolerated
        p = skip_blanks(p);
        p = read_member_value(p, config, section, name);
        if (!p || !*p) return nullptr;
        p = skip_blanks(p);
        if (*p == ',') {  // a missing comma is tolerated too
            ++p;
            if (!*p) return nullptr;
        }
    }
}

void set_defaults(ModelConfig *config) {
    std::memset(config, 0, sizeof *config);
    std::strcpy(config->voice, "en-us");
    config->noise_scale = 0.667f;
    config->length_scale = 1.0f;
    config->noise_w = 0.8f;
    config->sample_rate = 22050;
}

// The whole file as one NUL-terminated text, or null (with a diagnostic
// where there is something to say).
char *read_text(const char *path) {
    FILE *file = std::fopen(path, "rb");
    if (!file) {
        std::fprintf(stderr, "Cannot open config: %s\n", path);
        return nullptr;
    }
    long size = -1;
    if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
    // LONG_MAX is no size: it is what some file systems report for a folder.
    if (size < 0 || size == LONG_MAX || std::fseek(file, 0, SEEK_SET) != 0) {
        std::fprintf(stderr, "Cannot measure config: %s\n", path);
        std::fclose(file);
        return nullptr;
    }
    char *text = static_cast<char *>(std::malloc(static_cast<size_t>(size) + 1));
    if (!text) {
        std::fclose(file);
        return nullptr;
    }
    size_t got = std::fread(text, 1, static_cast<size_t>(size), file);
    std::fclose(file);
    if (got != static_cast<size_t>(size)) {
        std::fprintf(stderr, "Cannot read config: %s\n", path);
        std::free(text);
        return nullptr;
    }
    text[size] = '\0';
    return text;
}

}  // namespace

const char *parse_string(const char *p, char *buf, int buf_size) {
    if (*p != '"') return nullptr;
    ++p;
    if (buf && buf_size < 1) buf = nullptr;  // no room even for the NUL
    int n = 0;
    while (*p && *p != '"') {
        unsigned char bytes[3];
        int k = 1;
        if (*p != '\\') {
            bytes[0] = static_cast<unsigned char>(*p++);
        } else if (!p[1]) {
            ++p;  // a trailing backslash ends the string with the text
            break;
        } else if (p[1] == 'u') {
            // Four bytes whatever they are, a quotation mark included, but
            // never past the end of the text.
            char hex[5] = {0, 0, 0, 0, 0};
            p += 2;
            for (int i = 0; i < 4 && *p; ++i) hex[i] = *p++;
            k = encode_escape(std::strtoul(hex, nullptr, 16), bytes);
        } else {
            char c = p[1];
            bytes[0] = static_cast<unsigned char>(c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c);
            p += 2;
        }
        store_bytes(buf, buf_size, &n, bytes, k);
    }
    if (buf) buf[n] = '\0';
    return *p == '"' ? p + 1 : p;
}

const char *parse_float(const char *p, float *out) {
    p = skip_blanks(p);
    *out = platform_strtof_c_locale(p);
    return scan_bare_value(p);
}

const char *skip_value(const char *p) { return skip_value_at(p, 0); }

int parse_model_config(const char *path, ModelConfig *config) {
    set_defaults(config);
    char *text = read_text(path);
    if (!text) return -1;
    const char *p = skip_blanks(text);
    if (*p != '{') {
        std::free(text);
        return -1;
    }
    read_object(p, config, Section::top);
    std::free(text);
    return 0;
}

int lookup_phoneme_ids(const ModelConfig *config, int32_t codepoint, int64_t *out_ids, int max_ids) {
    const int rows = config->num_phonemes < MAX_PHONEMES ? config->num_phonemes : MAX_PHONEMES;
    for (int i = 0; i < rows; ++i) {
        const PhonemeIdEntry &row = config->phonemes[i];
        if (row.codepoint != codepoint) continue;
        int n = row.num_ids < max_ids ? row.num_ids : max_ids;
        if (n > MAX_IDS_PER_PHONEME) n = MAX_IDS_PER_PHONEME;
        if (n < 0) n = 0;
        for (int j = 0; j < n; ++j) out_ids[j] = row.ids[j];
        return n;
    }
    return 0;
}
