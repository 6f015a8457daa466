#include "phonemize.h"

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "espeak_data.h"
#include "platform.h"
#include "utf8.h"

namespace {

// eSpeak NG's public interface, reduced to what we call.
constexpr int AUDIO_OUTPUT_SYNCHRONOUS = 2;
constexpr int ESPEAK_INITIALIZE_DONT_EXIT = 0x8000;
constexpr int ESPEAK_CHARS_AUTO = 0;
constexpr int ESPEAK_PHONEMES_IPA = 2;

constexpr int PATH_BUFFER_SIZE = 1024;
constexpr int PATH_COPY_MAX = 1004;

using InitializeFn = int (*)(int output, int buflength, const char *path, int options);
using SetVoiceByNameFn = int (*)(const char *name);

// eSpeak NG's voice description, for a selection by language.
struct EspeakVoice {
    const char *name;
    const char *languages;
    const char *identifier;
    unsigned char gender;
    unsigned char age;
    unsigned char variant;
    unsigned char xx1;
    int score;
    void *spare;
};
using SetVoiceByPropertiesFn = int (*)(EspeakVoice *voice_spec);
using GetCurrentVoiceFn = EspeakVoice *(*)();
using TextToPhonemesFn = const char *(*)(const void **textptr, int textmode, int phonememode);
using TerminateFn = int (*)();

LibraryHandle g_espeak_dll = nullptr;
InitializeFn p_espeak_Initialize = nullptr;
SetVoiceByNameFn p_espeak_SetVoiceByName = nullptr;
SetVoiceByPropertiesFn p_espeak_SetVoiceByProperties = nullptr;  // optional
GetCurrentVoiceFn p_espeak_GetCurrentVoice = nullptr;            // optional
TextToPhonemesFn p_espeak_TextToPhonemes = nullptr;
TerminateFn p_espeak_Terminate = nullptr;
int espeak_initialized = 0;

// The eSpeak NG voice selected last. eSpeak NG 1.51 keeps about 1.4 KB for
// every espeak_SetVoiceByName call until it is unloaded, so a long-running host
// would grow with each request: select a voice only when it changes.
char g_selected_voice[64] = {0};

// Names eSpeak NG refused by name and by language. Each failed selection costs
// it memory it never frees, so a refused name fails at once from then on.
constexpr int FAILED_VOICES = 8;
char g_failed_voices[FAILED_VOICES][64] = {};
int g_next_failed = 0;

bool failed_before(const char *name) {
    for (const char *failed : g_failed_voices)
        if (failed[0] && std::strncmp(failed, name, 64) == 0) return true;
    return false;
}

void remember_failure(const char *name) {
    if (std::strlen(name) >= 64) return;  // not kept: tried each time
    std::memcpy(g_failed_voices[g_next_failed], name, std::strlen(name) + 1);
    g_next_failed = (g_next_failed + 1) % FAILED_VOICES;
}

// Selects by name, else by language (eSpeak NG's voice files list language
// codes such as "en-gb" or "fr-fr" that are no voice name). 0 or -1.
int select_voice(const char *voice_name) {
    if (failed_before(voice_name)) return -1;
    if (p_espeak_SetVoiceByName(voice_name) == 0) return 0;
    // eSpeak NG matches languages by prefix ("no-such" selects Norwegian):
    // only a voice whose first language is exactly the code counts.
    if (p_espeak_SetVoiceByProperties && p_espeak_GetCurrentVoice && voice_name[0]) {
        EspeakVoice wanted{};
        wanted.languages = voice_name;
        if (p_espeak_SetVoiceByProperties(&wanted) == 0) {
            const EspeakVoice *current = p_espeak_GetCurrentVoice();
            // languages: a priority byte, then the code.
            if (current && current->languages && current->languages[0] &&
                platform_equal_ignoring_case(current->languages + 1, voice_name))
                return 0;
        }
    }
    remember_failure(voice_name);
    return -1;
}

template <typename Fn>
Fn find_entry(const char *name) {
    return reinterpret_cast<Fn>(platform_find_symbol(g_espeak_dll, name));
}

// Loads eSpeak NG from beside the data path's last component, else by bare
// name through the platform's search, and resolves the four entry points.
int load_espeak_dll(const char *espeak_data_path) {
    char path[PATH_BUFFER_SIZE] = {0};
    char *separator = nullptr;
    if (espeak_data_path) {
        std::strncpy(path, espeak_data_path, PATH_COPY_MAX);
        separator = std::strrchr(path, '\\');
        if (!separator) separator = std::strrchr(path, '/');
    }
    if (separator) {
        std::memcpy(separator + 1, ORVEL_ESPEAK_LIBRARY_NAME, sizeof(ORVEL_ESPEAK_LIBRARY_NAME));
        // Code is loaded from beside the data only where no one else could
        // have put it; otherwise the candidate fails silently like a missing one.
        LibraryHandle candidate = platform_is_private_file(path) ? platform_load_library(path) : nullptr;
        if (candidate) {
            // Hold exactly one reference: a second one would keep the library
            // mapped after terminate, and eSpeak NG 1.51 then deadlocks on re-init.
            if (g_espeak_dll) platform_free_library(g_espeak_dll);
            g_espeak_dll = candidate;
        }
    }
    if (!g_espeak_dll) {
        g_espeak_dll = platform_load_library(ORVEL_ESPEAK_LIBRARY_NAME);
        if (!g_espeak_dll) {
            std::fprintf(stderr, "Failed to load " ORVEL_ESPEAK_LIBRARY_NAME "\n");
            return -1;
        }
    }
    p_espeak_Initialize = find_entry<InitializeFn>("espeak_Initialize");
    p_espeak_SetVoiceByName = find_entry<SetVoiceByNameFn>("espeak_SetVoiceByName");
    p_espeak_TextToPhonemes = find_entry<TextToPhonemesFn>("espeak_TextToPhonemes");
    p_espeak_Terminate = find_entry<TerminateFn>("espeak_Terminate");
    p_espeak_SetVoiceByProperties = find_entry<SetVoiceByPropertiesFn>("espeak_SetVoiceByProperties");
    p_espeak_GetCurrentVoice = find_entry<GetCurrentVoiceFn>("espeak_GetCurrentVoice");
    if (!p_espeak_Initialize || !p_espeak_SetVoiceByName || !p_espeak_TextToPhonemes ||
        !p_espeak_Terminate) {
        std::fprintf(stderr, "Failed to resolve espeak-ng functions\n");
        platform_free_library(g_espeak_dll);
        g_espeak_dll = nullptr;
        return -1;
    }
    return 0;
}

void unload_espeak_dll() {
    platform_free_library(g_espeak_dll);
    g_espeak_dll = nullptr;
}

// Length of the UTF-8 sequence at p when it is complete (its lead byte and all
// continuation bytes present), else 1: an invalid byte stands alone, as
// eSpeak NG's Latin-1 fallback reads it. Never reads past a NUL.
size_t sequence_length(const unsigned char *p) { return orvel_utf8::lenient_length(p); }

// eSpeak NG 1.51 overflows a stack buffer (the host aborts with "stack
// smashing detected") on a word of about 168 bytes after an initial or a
// period, e.g. "x." followed by 166 letters. No real word comes near that, so
// a longer run without white space is broken by a space first. What counts is
// the bytes eSpeak NG will hold: after an invalid byte it reads the text as
// Latin-1, which doubles every byte from 0x80 up, so from there on those bytes
// count twice; a character whose case mapping is longer counts at that length.
constexpr size_t MAX_WORD_BYTES = 128;

// Two-byte characters whose case mapping is a three-byte one (swept over every
// code point with the C library's towlower/towupper): eSpeak NG holds a word in
// lower case, so Ⱥ and Ⱦ take 3 bytes of its buffer for 2 of ours. The
// upper-case growers are counted too, as eSpeak NG's tables may differ.
bool grows_when_case_mapped(int32_t cp) {
    switch (cp) {
    case 0x023A: case 0x023E: case 0x023F: case 0x0240: case 0x0250: case 0x0251: case 0x0252:
    case 0x025C: case 0x0261: case 0x0265: case 0x0266: case 0x026A: case 0x026B: case 0x026C:
    case 0x0271: case 0x027D: case 0x0282: case 0x0287: case 0x029D: case 0x029E:
        return true;
    default:
        return false;
    }
}

// eSpeak NG 1.51 also drops the rest of a clause silently (rc 0) once the
// clause holds about 300 words or about 1,000 of its internal phonemes:
// 30 x "1234567" in one clause spoke 19 of the numbers, 300 x "a" 299 of the
// letters, and 300 "|" (silent, but still words) took the words after them.
// The words are bounded here, before eSpeak NG reads the text: a clause is
// broken into pieces of at most this many characters other than blanks, each
// spoken on its own (a word needs one). The phonemes per character differ too
// much between scripts and voices (an English voice spells a Thai letter in
// about 14 phonemes, a Russian voice reads a Cyrillic one as one) for a bound
// that would not also break ordinary clauses, so those are checked on what
// eSpeak NG returns instead (see MAX_CLAUSE_CODEPOINTS).
constexpr size_t MAX_PIECE_CHARACTERS = 250;

// The blanks that separate words here (and that eSpeak NG skips between them).
bool is_ascii_blank(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Whether a blank after c ends an eSpeak NG clause for certain. A period
// does not before a word in lower case, so it is only a preferred place to break.
bool ends_clause(unsigned char c) { return c == ',' || c == ';' || c == ':' || c == '!' || c == '?'; }

// Copies text into buffer (capacity bytes with the NUL), cut at the end of the
// last whole character that fits (a cut sequence would be read as Latin-1),
// with over-long words broken by a space and over-long clauses broken into
// pieces: the blank between two pieces becomes a NUL. Returns the length.
size_t prepare_text(const char *text, char *buffer, size_t capacity) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    size_t n = 0, word = 0;
    bool latin1 = false;
    // Characters in the piece, and since its last blank and its last blank
    // after a period; where those blanks are (buffer index + 1, 0 for none).
    size_t piece = 0, since_blank = 0, since_period = 0;
    size_t last_blank = 0, last_period = 0;
    unsigned char before = 0;  // the byte before this character
    while (*p) {
        size_t len = sequence_length(p);
        if (len == 1 && *p >= 0x80) latin1 = true;
        size_t weight = len;
        if (latin1)
            for (size_t i = 0; i < len; ++i) weight += p[i] >= 0x80;
        else if (len == 2 && grows_when_case_mapped(static_cast<int32_t>(orvel_utf8::fold(p, 2))))
            weight = 3;
        bool blank = is_ascii_blank(*p);
        if (blank) {
            word = 0;
        } else if (word + weight > MAX_WORD_BYTES) {
            if (n + 1 > capacity - 1) break;
            buffer[n++] = ' ';
            word = 0;
            last_blank = n;
            since_blank = 0;
        }
        if (n + len > capacity - 1) break;
        if (blank) {
            if (ends_clause(before)) piece = 0, last_period = 0;
            if (before == '.') last_period = n + 1, since_period = 0;
            last_blank = n + 1;
            since_blank = 0;
        } else if (piece + 1 > MAX_PIECE_CHARACTERS && (last_period || last_blank)) {
            if (last_period) {
                buffer[last_period - 1] = '\0';
                piece = since_period;
                if (last_blank == last_period) last_blank = 0;
                last_period = 0;
            } else {
                buffer[last_blank - 1] = '\0';
                piece = since_blank;
                last_blank = 0;
            }
        }
        std::memcpy(buffer + n, p, len);
        n += len;
        p += len;
        before = p[-1];
        if (!blank) {
            word += weight;
            ++piece, ++since_blank, ++since_period;
        }
    }
    buffer[n] = '\0';
    return n;
}

// Appends the code points of one clause, dropping "(" ... ")" language groups
// and zero-width characters, then its closing punctuation. A clause that adds
// anything after earlier ones is set apart from them by one space, so the last
// word of one clause never touches the first of the next. Never reads past the
// string's NUL.
void append_clause(const char *phonemes, int32_t punctuation, int32_t *codepoints, int capacity, int *count) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(phonemes);
    bool in_group = false;
    bool separate = *count > 0;
    bool added = false;
    while (*p) {
        // What eSpeak NG hands back is read as leniently as it was written:
        // the lead byte says how many bytes follow, up to the NUL.
        size_t want = orvel_utf8::lead_length(*p), n = 1;
        while (n < want && p[n]) ++n;
        const int32_t cp = static_cast<int32_t>(orvel_utf8::fold(p, n));
        p += n;

        if (in_group) {
            if (cp == ')') in_group = false;
            continue;
        }
        if (cp == '(') {
            in_group = true;
            continue;
        }
        if (cp == 0x200D || cp == 0xFEFF) continue;
        if (!added && separate && *count < capacity) codepoints[(*count)++] = ' ';
        added = true;
        if (*count < capacity) codepoints[(*count)++] = cp;
    }
    if (added && punctuation && *count < capacity) codepoints[(*count)++] = punctuation;
}

// The start of the character that ends just before end (not before begin):
// eSpeak NG reads one character past a clause, and the pointer it leaves is
// after that character. An invalid byte is a character of its own, as
// eSpeak NG's Latin-1 fallback reads it.
const char *previous_character(const char *begin, const char *end) {
    if (end <= begin) return begin;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(end);
    if (p[-1] < 0x80) return end - 1;
    for (int back = 2; back <= 4 && end - back >= begin; ++back) {
        unsigned char lead = p[-back];
        if ((lead & 0xC0) == 0x80) continue;
        size_t len = sequence_length(p - back);
        return len == static_cast<size_t>(back) ? end - back : end - 1;
    }
    return end - 1;
}

// Whether p points into [begin, end], compared as addresses: a pointer from a
// misbehaving library may belong to no array of ours.
bool within(const void *p, const char *begin, const char *end) {
    auto at = reinterpret_cast<uintptr_t>(p);
    return at >= reinterpret_cast<uintptr_t>(begin) && at <= reinterpret_cast<uintptr_t>(end);
}

// Code point of the well-formed UTF-8 character [c, c + len), or -1.
int32_t decode_character(const unsigned char *c, size_t len) {
    if (len == 1) return c[0] < 0x80 ? c[0] : -1;
    return static_cast<int32_t>(orvel_utf8::fold(c, len));
}

// White space as Unicode defines it (what Python's str.isspace accepts, so
// tools that prepare training data can apply the same rule).
bool is_blank(int32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x20) || cp == 0x85 || cp == 0xA0 ||
           cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

// The punctuation that closed a clause: the last non-blank character of the
// text it was read from, when it is one of , . ? ! ; : or their ellipsis,
// fullwidth and ideographic forms (given as ASCII); else 0.
int32_t closing_punctuation(const char *begin, const char *end) {
    while (end > begin) {
        const char *last = previous_character(begin, end);
        int32_t cp = decode_character(reinterpret_cast<const unsigned char *>(last), static_cast<size_t>(end - last));
        if (is_blank(cp)) {
            end = last;
            continue;
        }
        switch (cp) {
        case ',': case '.': case '?': case '!': case ';': case ':': return cp;
        case 0x2026: return '.';  // …
        case 0x3002: return '.';  // 。
        case 0xFF0E: return '.';  // ．
        case 0xFF0C: return ',';  // ，
        case 0xFF1F: return '?';  // ？
        case 0xFF01: return '!';  // ！
        case 0xFF1B: return ';';  // ；
        case 0xFF1A: return ':';  // ：
        default: return 0;
        }
    }
    return 0;
}

// A clause that comes back with this many code points may have been cut by
// eSpeak NG's phoneme limit: it is spoken again in two halves. Measured, a cut
// clause returned at least 1,132 code points (Greek letters spelled by an
// English voice; 1,472 for numbers), and 583 after 240 quotes, which are
// silent but take eSpeak NG's phonemes (brackets too). Ordinary clauses stay
// below: a piece of 250 characters of prose gives about 300.
constexpr int MAX_CLAUSE_CODEPOINTS = 400;

bool may_be_cut(const char *phonemes) {
    int n = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(phonemes); *p; ++p)
        if ((*p & 0xC0) != 0x80 && ++n >= MAX_CLAUSE_CODEPOINTS) return true;
    return false;
}

// A blank in (begin, end) nearest to its middle, or null: both sides of it
// are shorter than the whole.
char *middle_blank(char *begin, char *end) {
    char *middle = begin + (end - begin) / 2;
    for (char *before = middle, *after = middle; before > begin + 1 || after < end;) {
        if (after < end && after > begin && is_ascii_blank(*after)) return after;
        if (before > begin + 1 && is_ascii_blank(*--before)) return before;
        if (after < end) ++after;
    }
    return nullptr;
}

// How often a clause is halved at most: 2^12 pieces would be single words.
constexpr int MAX_HALVINGS = 12;

// Speaks [begin, end) of the prepared text as a text of its own (a NUL stands
// at end meanwhile). Runs until eSpeak NG sets the pointer to null, not until
// the NUL: it holds one look-ahead character, so a one-character last clause
// is still inside. That character also belongs to the next clause: a clause's
// text runs from the character before the pointer of the call before to the
// character before the pointer after it (or the end).
void speak_range(char *begin, char *end, ClauseVisitor visit, void *context, int halvings = 0) {
    const char kept = *end;
    *end = '\0';
    const void *cursor = begin;
    char *clause_start = begin;
    int calls_at_end = 0;
    while (cursor) {
        // A pointer outside the text is not followed, and one call at the NUL
        // releases a held character: guards against a misbehaving library.
        if (!within(cursor, begin, end)) break;
        if (*static_cast<const char *>(cursor) == '\0' && ++calls_at_end > 2) break;
        const char *phonemes = p_espeak_TextToPhonemes(&cursor, ESPEAK_CHARS_AUTO, ESPEAK_PHONEMES_IPA);
        const char *after = static_cast<const char *>(cursor);
        char *clause_end = end;
        if (after && within(after, begin, end))
            clause_end = after > clause_start ? begin + (previous_character(clause_start, after) - begin)
                                              : clause_start;
        char *half = phonemes && halvings < MAX_HALVINGS && may_be_cut(phonemes)
                         ? middle_blank(clause_start, clause_end)
                         : nullptr;
        if (half) {
            // Done again in halves: eSpeak NG first lets go of the character
            // it read ahead (one call at a NUL), then the text goes on after
            // the clause as a new one.
            if (after && within(after, begin, end)) {
                char *at = begin + (after - begin);
                const char held = *at;
                *at = '\0';
                p_espeak_TextToPhonemes(&cursor, ESPEAK_CHARS_AUTO, ESPEAK_PHONEMES_IPA);
                *at = held;
            }
            speak_range(clause_start, half, visit, context, halvings + 1);
            speak_range(half, clause_end, visit, context, halvings + 1);
            cursor = clause_end < end ? clause_end : nullptr;
            calls_at_end = 0;
        } else if (phonemes && *phonemes) {
            visit(phonemes, closing_punctuation(clause_start, clause_end), context);
        }
        if (clause_end > clause_start) clause_start = clause_end;
    }
    *end = kept;
}

// eSpeak NG's initialise sets the process's LC_CTYPE (to C.UTF-8) and never
// sets it back, though its phonemes do not depend on it (measured with several
// scripts under C, C.UTF-8 and de_DE.UTF-8): the host's locale is kept, every
// category, as setlocale names it for LC_ALL, and set again when it changed.
struct HostLocale {
    char name[1024];
    bool kept;
};

void keep_host_locale(HostLocale *host) {
    const char *name = std::setlocale(LC_ALL, nullptr);
    host->kept = name && std::strlen(name) < sizeof host->name;
    if (host->kept) std::memcpy(host->name, name, std::strlen(name) + 1);
}

void restore_host_locale(const HostLocale *host) {
    if (!host->kept) return;
    const char *now = std::setlocale(LC_ALL, nullptr);
    if (!now || std::strcmp(now, host->name) != 0) std::setlocale(LC_ALL, host->name);
}

}  // namespace

void phonemize_append_clause(const char *phonemes, int32_t punctuation, int32_t *codepoints, int capacity,
                             int *count) {
    append_clause(phonemes, punctuation, codepoints, capacity, count);
}

int phonemize_init(const char *espeak_data_path) {
    if (espeak_initialized) return 0;
    if (espeak_data_check(espeak_data_path) != 0) return -1;
    if (load_espeak_dll(espeak_data_path) != 0) return -1;
    HostLocale host;
    keep_host_locale(&host);
    // DONT_EXIT: without it eSpeak NG calls exit() inside the host on bad data.
    int result = p_espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, espeak_data_path,
                                     ESPEAK_INITIALIZE_DONT_EXIT);
    // 1.51 reports a failure as 0 (never negative). Its fifo thread is still
    // running then: terminate and unload, or a later initialise deadlocks.
    if (result < 1) {
        std::fprintf(stderr, "Failed to initialize espeak-ng (code %d)\n", result);
        p_espeak_Terminate();
        unload_espeak_dll();
        restore_host_locale(&host);
        return -1;
    }
    restore_host_locale(&host);
    espeak_initialized = 1;
    return 0;
}

void phonemize_terminate() {
    if (!espeak_initialized) return;
    p_espeak_Terminate();
    unload_espeak_dll();
    g_selected_voice[0] = '\0';
    std::memset(g_failed_voices, 0, sizeof g_failed_voices);
    g_next_failed = 0;
    espeak_initialized = 0;
}

int phonemize_each_clause(const char *voice_name, const char *text, ClauseVisitor visit, void *context) {
    if (!espeak_initialized) {
        std::fprintf(stderr, "espeak-ng not initialized\n");
        return -1;
    }
    if (!g_selected_voice[0] || std::strncmp(g_selected_voice, voice_name, sizeof g_selected_voice) != 0) {
        g_selected_voice[0] = '\0';
        if (select_voice(voice_name) != 0) {
            std::fprintf(stderr, "Failed to set espeak voice: %s\n", voice_name);
            return -1;
        }
        // Names that do not fit are not remembered, so they are selected every time.
        if (std::strlen(voice_name) < sizeof g_selected_voice)
            std::memcpy(g_selected_voice, voice_name, std::strlen(voice_name) + 1);
    }
    char buffer[PHONEMIZE_TEXT_SIZE];
    size_t len = prepare_text(text, buffer, sizeof buffer);
    // The pieces, one after another, each ended by its NUL.
    for (char *piece = buffer; piece < buffer + len; piece += std::strlen(piece) + 1)
        if (*piece) speak_range(piece, piece + std::strlen(piece), visit, context);
    return 0;
}

namespace {
struct Collected {
    int32_t *codepoints;
    int capacity;
    int count;
};
void collect_clause(const char *phonemes, int32_t punctuation, void *context) {
    Collected *c = static_cast<Collected *>(context);
    append_clause(phonemes, punctuation, c->codepoints, c->capacity, &c->count);
}
}  // namespace

int phonemize_text(const char *voice_name, const char *text, int32_t *codepoints, int capacity) {
    Collected collected{codepoints, capacity, 0};
    if (phonemize_each_clause(voice_name, text, collect_clause, &collected) != 0) return -1;
    return collected.count;
}
