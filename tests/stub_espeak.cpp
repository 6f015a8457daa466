// A scripted stand-in for eSpeak NG: the four entry points the library uses,
// returning clause strings a test chose, plus control functions for the test.
// Built as libespeak-ng.so.1 here and as espeak-ng.dll for the Wine tests.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if defined(_WIN32)
#define STUB_API extern "C" __declspec(dllexport)
#else
#define STUB_API extern "C" __attribute__((visibility("default")))
#endif

namespace {
std::vector<std::string> g_clauses;
std::vector<int> g_offsets;  // where each call leaves the pointer; empty: one byte on
size_t g_next = 0;
int g_initialize_options = -1;
std::string g_initialize_path = "<none>";
int g_voice_result = 0;
int g_voice_calls = 0;
std::string g_voice_name;
bool g_scripted_by_file = false;  // the file's clauses answer every text anew
std::string g_text_seen;
int g_phoneme_calls = 0;
int g_terminate_calls = 0;
}  // namespace

namespace {
// A program run on its own (orvel-say) cannot call stub_set_clauses: the
// clauses then come from the file $STUB_ESPEAK_SCRIPT, one a line, read in
// binary so that UTF-8 arrives unchanged whatever the code page; every text
// spoken gets them all.
void read_script() {
    const char *script = std::getenv("STUB_ESPEAK_SCRIPT");
    std::FILE *file = script ? std::fopen(script, "rb") : nullptr;
    if (!file) return;
    g_clauses.clear();
    g_offsets.clear();
    g_next = 0;
    std::string line;
    for (int c; (c = std::fgetc(file)) != EOF;) {
        if (c == '\n') {
            g_clauses.push_back(line);
            line.clear();
        } else if (c != '\r') {
            line += static_cast<char>(c);
        }
    }
    if (!line.empty()) g_clauses.push_back(line);
    std::fclose(file);
    g_scripted_by_file = true;
}
}  // namespace

STUB_API int espeak_Initialize(int, int, const char *path, int options) {
    g_initialize_path = path ? path : "<null>";
    g_initialize_options = options;
    read_script();
    // The library loads the stub inside its own init, so a test scripts this
    // result through the environment.
    const char *scripted = std::getenv("STUB_ESPEAK_INIT_RESULT");
    return scripted ? std::atoi(scripted) : 22050;
}

STUB_API int espeak_SetVoiceByName(const char *name) {
    ++g_voice_calls;
    g_voice_name = name ? name : "";
    return g_voice_result;
}

namespace {
const char *next_clause(const void **textptr, const char *text_start) {
    if (g_next >= g_clauses.size()) {
        *textptr = nullptr;
        return "";
    }
    const size_t call = g_next;
    const char *result = g_clauses[g_next++].c_str();
    if (call < g_offsets.size())
        *textptr = g_offsets[call] < 0 ? nullptr : text_start + g_offsets[call];
    else if (g_next >= g_clauses.size())
        *textptr = nullptr;
    else if (**reinterpret_cast<const char *const *>(textptr))
        *textptr = static_cast<const char *>(*textptr) + 1;
    return result;
}
}  // namespace

// Each call returns the next scripted clause and advances the text pointer by
// one byte, or to the scripted offset from the text's start; after the last
// clause (or at a negative offset) the pointer becomes null, as eSpeak NG does.
STUB_API const char *espeak_TextToPhonemes(const void **textptr, int, int) {
    static const char *text_start = nullptr;
    static const void *left = nullptr;  // where the last call left the pointer
    if (g_phoneme_calls++ == 0 || g_next == 0) {
        g_text_seen = static_cast<const char *>(*textptr);
        text_start = static_cast<const char *>(*textptr);
    } else if (*textptr != left) {
        // A text started anew within one script: the pieces are joined by "|".
        g_text_seen += "|";
        g_text_seen += static_cast<const char *>(*textptr);
    }
    const char *result = next_clause(textptr, text_start);
    if (g_scripted_by_file && g_next >= g_clauses.size()) g_next = 0;
    left = *textptr;
    return result;
}

#ifndef STUB_NO_TERMINATE
STUB_API int espeak_Terminate() {
    ++g_terminate_calls;
    return 0;
}
#endif

STUB_API void stub_set_clauses(const char *const *clauses, int count) {
    g_clauses.assign(clauses, clauses + count);
    g_offsets.clear();
    g_next = 0;
    g_phoneme_calls = 0;
    g_scripted_by_file = false;
}
STUB_API void stub_set_offsets(const int *offsets, int count) { g_offsets.assign(offsets, offsets + count); }
STUB_API void stub_set_voice_result(int result) { g_voice_result = result; }
STUB_API int stub_initialize_options() { return g_initialize_options; }
STUB_API const char *stub_initialize_path() { return g_initialize_path.c_str(); }
STUB_API const char *stub_voice_name() { return g_voice_name.c_str(); }
STUB_API const char *stub_text_seen() { return g_text_seen.c_str(); }
STUB_API int stub_phoneme_calls() { return g_phoneme_calls; }
STUB_API int stub_terminate_calls() { return g_terminate_calls; }
STUB_API int stub_voice_calls() { return g_voice_calls; }
