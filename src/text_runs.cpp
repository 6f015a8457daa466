#include "text_runs.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

bool ends_sentence(char c) { return c == '.' || c == '!' || c == '?'; }

bool is_wide_sentence_end(const char *c) {
    const unsigned char *u = reinterpret_cast<const unsigned char *>(c);
    return (u[0] == 0xE3 && u[1] == 0x80 && u[2] == 0x82) ||                  // U+3002
           (u[0] == 0xEF && u[1] == 0xBC && (u[2] == 0x81 || u[2] == 0x9F));  // U+FF01, U+FF1F
}

bool ends_clause(char c) { return c == ',' || c == ';' || c == ':'; }

// The last cut in (floor, limit] that follows a blank whose previous byte
// passes `closes` (any byte when closes is null); 0 when there is none.
size_t last_cut(const char *text, size_t floor, size_t limit, bool (*closes)(char)) {
    for (size_t cut = limit; cut > floor; --cut) {
        if (!is_blank(text[cut - 1])) continue;
        if (!closes || (cut >= 2 && closes(text[cut - 2]))) return cut;
    }
    return 0;
}

}  // namespace

size_t next_text_run(const char *text, size_t length, size_t max_bytes) {
    if (length <= max_bytes) return length;
    if (max_bytes == 0) return length < 1 ? length : 1;
    const size_t half = max_bytes / 2;
    // A paragraph break counts as a sentence end, and so do the ideographic
    // and fullwidth full stop, exclamation and question marks, which need no
    // blank after them.
    for (size_t cut = max_bytes; cut > half && cut >= 3; --cut) {
        if (text[cut - 1] == '\n' && text[cut - 2] == '\n') return cut;
        if (is_wide_sentence_end(text + cut - 3)) return cut;
    }
    if (size_t cut = last_cut(text, half, max_bytes, ends_sentence)) return cut;
    if (size_t cut = last_cut(text, half, max_bytes, ends_clause)) return cut;
    if (size_t cut = last_cut(text, 0, max_bytes, nullptr)) return cut;
    // No blank at all: between characters, the byte at the cut not being a
    // UTF-8 continuation byte.
    for (size_t cut = max_bytes; cut > 0; --cut)
        if ((static_cast<unsigned char>(text[cut]) & 0xC0) != 0x80) return cut;
    return max_bytes;  // only continuation bytes: not UTF-8, any cut will do
}
