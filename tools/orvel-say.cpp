// orvel-say: speaks text with a talmerin-orvel voice into a WAV file or raw PCM.
//
// Uses only the public C API (orvel.h). Long texts are split into requests the
// library can take whole, spoken in order and written out as each finishes.
#include "orvel.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#if defined(_WIN32)
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  ifndef NOMINMAX
#    define NOMINMAX
#  endif
#  include <windows.h>
#  include <fcntl.h>
#  include <io.h>
#  define isatty _isatty
#  define fileno _fileno
#else
#  include <csignal>
#  include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

enum ExitCode {
    EXIT_OK = 0,
    EXIT_USAGE = 2,   // bad option, unreadable or empty text, no voice given
    EXIT_INIT = 3,    // orvel_init failed (eSpeak NG or ONNX Runtime)
    EXIT_VOICE = 4,   // orvel_load_voice failed
    EXIT_SYNTH = 5,   // a request failed, or nothing could be spoken
    EXIT_OUTPUT = 6,  // the WAV file or standard output could not be written
};

const char *const kBundledVoice = "orvel-en-us.onnx";
const char *const kInstalledVoiceDir = "share/talmerin-orvel/voices";

// Each request is spoken on its own, so the pause that would follow a sentence
// inside one request is lost at a request's end; this puts back a short pause,
// about what a reader leaves between sentences.
constexpr double kDefaultSentenceSilenceMs = 200.0;
constexpr double kMaxSentenceSilenceMs = 60000.0;

// Request budget. One request takes at most 8191 bytes and 4096 phoneme ids,
// and every phoneme costs two ids (itself and a pad), so about 2046 phonemes.
// The tool cannot see phoneme counts, so it estimates them from the text (see
// estimated_phonemes) and keeps each request under half of the real capacity:
// an estimate off by a factor of two still loses nothing. Text of ordinary
// words estimates at about 2 phonemes per letter, so a request holds about 450
// characters of prose and most sentences go whole. The byte limit, a quarter of
// the library's, only matters for scripts the estimate treats as cheap.
constexpr int kRequestPhonemeBudget = 1000;
constexpr size_t kRequestByteBudget = 2000;

// A WAV file's RIFF size field is 32 bits and counts 36 header bytes as well.
constexpr uint64_t kMaxWavDataBytes = 0xFFFFFFFFull - 36 - 1;  // kept even

struct Params {
    std::string model;        // empty: the bundled voice
    std::string config;       // empty: model + ".json"
    std::string output;       // WAV path
    std::string text_file;    // empty: arguments or standard input
    std::string espeak_data;  // empty: eSpeak NG's default
    bool raw = false;
    float speed = 0.0f;       // 0: the voice's configured value
    float noise = 0.0f;
    float noise_w = 0.0f;
    int speaker = -1;         // -1: the voice's default
    double sentence_silence_ms = kDefaultSentenceSilenceMs;
    std::vector<std::string> text_args;
};

void message(const char *format, ...) {
    std::fputs("orvel-say: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

// The library's message for the last failed call, or a fallback.
const char *library_error() {
    const char *error = orvel_get_error();
    return error && *error ? error : "no details from the library";
}

// ---------------------------------------------------------------------------
// Locating the bundled voice

fs::path executable_path(const char *argv0) {
    std::error_code ec;
#if defined(_WIN32)
    char buffer[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    if (length > 0 && length < MAX_PATH) return fs::path(std::string(buffer, length));
#elif defined(__linux__)
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec && !self.empty()) return self;
#endif
    // Elsewhere: argv[0] when it names a path; a bare name came from PATH and
    // gives no location.
    if (argv0 && std::strpbrk(argv0, "/\\")) {
        fs::path path = fs::absolute(argv0, ec);
        if (!ec) return path;
    }
    return {};
}

std::vector<fs::path> bundled_voice_candidates(const char *argv0) {
    std::vector<fs::path> candidates;
    fs::path exe = executable_path(argv0);
    if (!exe.empty()) candidates.push_back(exe.parent_path() / ".." / kInstalledVoiceDir / kBundledVoice);
#ifdef ORVEL_SOURCE_VOICES_DIR
    candidates.push_back(fs::path(ORVEL_SOURCE_VOICES_DIR) / kBundledVoice);
#endif
    return candidates;
}

std::string find_bundled_voice(const char *argv0) {
    for (const fs::path &candidate : bundled_voice_candidates(argv0)) {
        std::error_code ec;
        if (fs::is_regular_file(candidate, ec)) return candidate.lexically_normal().string();
    }
    return {};
}

// ---------------------------------------------------------------------------
// Command line

void print_help(const char *argv0) {
    std::string bundled = find_bundled_voice(argv0);
    std::printf(
        "usage: orvel-say [options] [TEXT...]\n"
        "\n"
        "Speaks UTF-8 text with a talmerin-orvel voice. The text comes from the arguments,\n"
        "from -f FILE, or else from standard input. Long texts are split at paragraphs,\n"
        "sentences and words, spoken in full and written out as they are spoken.\n"
        "\n"
        "options:\n"
        "  -h, --help                show this help and exit\n"
        "      --version             print the library version and exit\n"
        "  -m, --model FILE.onnx     voice model (default: %s)\n"
        "  -c, --config FILE.json    voice configuration (default: the model path + \".json\")\n"
        "  -f, --file FILE           read the text from FILE, \"-\" for standard input\n"
        "                            (default: the arguments, else standard input)\n"
        "  -o, --output FILE.wav     write a 16-bit mono WAV file (at most 4 GB)\n"
        "      --raw                 write signed 16-bit little-endian mono PCM at the voice's\n"
        "                            sample rate to standard output instead\n"
        "      --speed X             length scale, larger is slower (default: the voice's own)\n"
        "      --speaker N           speaker of a multi-speaker voice (default: the voice's own)\n"
        "      --noise X             noise scale (default: the voice's own)\n"
        "      --noise-w X           noise width (default: the voice's own)\n"
        "      --sentence-silence MS silence between sentences in milliseconds (default: %g)\n"
        "      --espeak-data DIR     eSpeak NG data folder (default: eSpeak NG's own)\n"
        "\n"
        "One of -o and --raw is required.\n"
        "\n"
        "exit codes:\n"
        "  0  success\n"
        "  2  usage or input: a bad option, unreadable or empty text, no voice\n"
        "  3  the library could not start (eSpeak NG or ONNX Runtime)\n"
        "  4  the voice could not be loaded\n"
        "  5  synthesis failed, or no part of the text could be spoken\n"
        "  6  the output could not be written\n",
        bundled.empty() ? "the bundled voice, none installed" : bundled.c_str(),
        kDefaultSentenceSilenceMs);
}

bool parse_float(const char *text, float *out) {
    errno = 0;
    char *end = nullptr;
    double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(value) || value <= 0.0 || value > 1e6)
        return false;
    *out = static_cast<float>(value);
    return true;
}

bool parse_int(const char *text, int *out) {
    errno = 0;
    char *end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value < 0 || value > 1000000) return false;
    *out = static_cast<int>(value);
    return true;
}

// Returns EXIT_OK to go on, -1 after --help or --version, or EXIT_USAGE.
int parse_args(int argc, char **argv, Params *params) {
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (options_done || arg.empty() || arg[0] != '-' || arg == "-") {
            params->text_args.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            print_help(argv[0]);
            return -1;
        }
        if (arg == "--version") {
            std::printf("orvel-say %s\n", orvel_version());
            return -1;
        }
        if (arg == "--raw") {
            params->raw = true;
            continue;
        }
        // The remaining options take a value, as "--opt VALUE" or "--opt=VALUE".
        std::string name = arg, value;
        bool have_value = false;
        size_t equals = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
            have_value = true;
        }
        static const char *const kValued[] = {"-m", "--model", "-c", "--config", "-o", "--output", "-f", "--file",
                                              "--speed", "--speaker", "--noise", "--noise-w", "--sentence-silence",
                                              "--espeak-data"};
        bool known = false;
        for (const char *option : kValued) known = known || name == option;
        if (!known) {
            message("unknown option '%s' (see --help)", arg.c_str());
            return EXIT_USAGE;
        }
        if (!have_value) {
            if (i + 1 >= argc) {
                message("option '%s' needs a value (see --help)", name.c_str());
                return EXIT_USAGE;
            }
            value = argv[++i];
        }
        bool ok = true;
        if (name == "-m" || name == "--model") {
            params->model = value;
        } else if (name == "-c" || name == "--config") {
            params->config = value;
        } else if (name == "-o" || name == "--output") {
            params->output = value;
        } else if (name == "-f" || name == "--file") {
            params->text_file = value;
        } else if (name == "--espeak-data") {
            params->espeak_data = value;
        } else if (name == "--speed") {
            ok = parse_float(value.c_str(), &params->speed);
        } else if (name == "--noise") {
            ok = parse_float(value.c_str(), &params->noise);
        } else if (name == "--noise-w") {
            ok = parse_float(value.c_str(), &params->noise_w);
        } else if (name == "--speaker") {
            ok = parse_int(value.c_str(), &params->speaker);
        } else {  // --sentence-silence
            errno = 0;
            char *end = nullptr;
            double ms = std::strtod(value.c_str(), &end);
            ok = end != value.c_str() && *end == '\0' && errno == 0 && ms >= 0.0 && ms <= kMaxSentenceSilenceMs;
            params->sentence_silence_ms = ms;
        }
        if (!ok || (value.empty() && name != "--espeak-data")) {
            message("bad value '%s' for %s (see --help)", value.c_str(), name.c_str());
            return EXIT_USAGE;
        }
    }
    if (params->raw == !params->output.empty()) {
        message(params->raw ? "give either -o FILE.wav or --raw, not both"
                            : "no output: give -o FILE.wav, or --raw for PCM on standard output");
        return EXIT_USAGE;
    }
    if (!params->text_file.empty() && !params->text_args.empty()) {
        message("give the text either as arguments or with -f, not both");
        return EXIT_USAGE;
    }
    return EXIT_OK;
}

// ---------------------------------------------------------------------------
// Text

bool read_stream(std::FILE *file, std::string *out) {
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) out->append(buffer, n);
    return !std::ferror(file);
}

int read_text(const Params &params, std::string *text) {
    if (!params.text_args.empty()) {
        for (size_t i = 0; i < params.text_args.size(); ++i) {
            if (i) *text += ' ';
            *text += params.text_args[i];
        }
        return EXIT_OK;
    }
    if (params.text_file.empty() || params.text_file == "-") {
#if defined(_WIN32)
        _setmode(_fileno(stdin), _O_BINARY);
#endif
        if (!read_stream(stdin, text)) {
            message("cannot read standard input: %s", std::strerror(errno));
            return EXIT_USAGE;
        }
        return EXIT_OK;
    }
    std::error_code ec;
    if (fs::is_directory(params.text_file, ec)) {
        message("cannot read '%s': it is a directory", params.text_file.c_str());
        return EXIT_USAGE;
    }
    std::FILE *file = std::fopen(params.text_file.c_str(), "rb");
    if (!file) {
        message("cannot open '%s': %s", params.text_file.c_str(), std::strerror(errno));
        return EXIT_USAGE;
    }
    bool ok = read_stream(file, text);
    int saved = errno;
    std::fclose(file);
    if (!ok) {
        message("cannot read '%s': %s", params.text_file.c_str(), std::strerror(saved));
        return EXIT_USAGE;
    }
    return EXIT_OK;
}

// Decodes one UTF-8 character at s[i]; returns its length, or 0 for a byte
// that starts no valid sequence (overlong forms and surrogates included).
size_t utf8_decode(const std::string &s, size_t i, uint32_t *cp) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s.data()) + i;
    size_t left = s.size() - i;
    unsigned char b = p[0];
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
    if (left < len) return 0;
    for (size_t k = 1; k < len; ++k) {
        if ((p[k] & 0xC0) != 0x80) return 0;
        value = (value << 6) | (p[k] & 0x3F);
    }
    if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *cp = value;
    return len;
}

void utf8_append(uint32_t cp, std::string *out) {
    if (cp < 0x80) {
        *out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out += static_cast<char>(0xC0 | (cp >> 6));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out += static_cast<char>(0xE0 | (cp >> 12));
        *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (cp >> 18));
        *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Makes the text valid UTF-8 with "\n" line ends: bytes that are not UTF-8 are
// read as Latin-1 (the usual other encoding of a text file), control
// characters, NUL among them (it would end a request early), become spaces,
// and a leading byte-order mark goes.
std::string clean_text(const std::string &raw) {
    std::string out;
    out.reserve(raw.size());
    size_t i = raw.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (i < raw.size()) {
        uint32_t cp;
        size_t len = utf8_decode(raw, i, &cp);
        if (len == 0) {
            cp = static_cast<unsigned char>(raw[i]);
            len = 1;
        }
        i += len;
        if (cp == '\r') {
            if (i < raw.size() && raw[i] == '\n') ++i;
            out += '\n';
        } else if (cp == '\n') {
            out += '\n';
        } else if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0)) {
            out += ' ';
        } else {
            utf8_append(cp, &out);
        }
    }
    return out;
}

// Paragraphs are separated by blank lines; inside one, line breaks and runs of
// spaces become single spaces.
std::vector<std::string> split_paragraphs(const std::string &text) {
    std::vector<std::string> paragraphs;
    std::string current;
    bool space = false;
    int newlines = 0;
    for (char c : text) {
        if (c == ' ' || c == '\n') {
            space = true;
            newlines += c == '\n';
            continue;
        }
        if (newlines >= 2 && !current.empty()) {
            paragraphs.push_back(current);
            current.clear();
        } else if (space && !current.empty()) {
            current += ' ';
        }
        space = false;
        newlines = 0;
        current += c;
    }
    if (!current.empty()) paragraphs.push_back(current);
    return paragraphs;
}

bool ends_with_abbreviation(const std::string &s, size_t dot) {
    size_t start = s.rfind(' ', dot);
    start = start == std::string::npos ? 0 : start + 1;
    std::string word = s.substr(start, dot - start);
    if (word.size() == 1 && std::isalpha(static_cast<unsigned char>(word[0]))) return true;  // an initial
    static const char *const kAbbreviations[] = {"Mr", "Mrs", "Ms", "Dr", "Prof", "St", "Jr", "Sr", "vs", "e.g",
                                                 "i.e", "cf", "Mt", "No", "Fig"};
    for (const char *a : kAbbreviations) {
        if (word == a) return true;
    }
    return false;
}

// Sentence ends: ".", "!" or "?" (with closing quotes and brackets after them)
// before a space and a word that does not start in lower case, or a full-width
// "。", "！", "？" anywhere.
std::vector<std::string> split_sentences(const std::string &paragraph) {
    std::vector<std::string> sentences;
    size_t start = 0, i = 0;
    auto emit = [&](size_t end) {
        std::string s = paragraph.substr(start, end - start);
        while (!s.empty() && s.front() == ' ') s.erase(0, 1);
        while (!s.empty() && s.back() == ' ') s.pop_back();
        if (!s.empty()) sentences.push_back(s);
        start = end;
    };
    while (i < paragraph.size()) {
        if (paragraph.compare(i, 3, "\xE3\x80\x82") == 0 || paragraph.compare(i, 3, "\xEF\xBC\x81") == 0 ||
            paragraph.compare(i, 3, "\xEF\xBC\x9F") == 0) {
            i += 3;
            emit(i);
            continue;
        }
        char c = paragraph[i];
        if (c != '.' && c != '!' && c != '?') {
            ++i;
            continue;
        }
        size_t first = i;
        while (i < paragraph.size() && (paragraph[i] == '.' || paragraph[i] == '!' || paragraph[i] == '?')) ++i;
        static const char *const kClosers[] = {")", "]", "}", "\"", "'", "\xE2\x80\x9D", "\xE2\x80\x99",
                                               "\xC2\xBB"};
        for (bool more = true; more;) {
            more = false;
            for (const char *closer : kClosers) {
                size_t n = std::strlen(closer);
                if (paragraph.compare(i, n, closer) == 0) {
                    i += n;
                    more = true;
                }
            }
        }
        if (i < paragraph.size() && paragraph[i] != ' ') continue;
        bool lower_next = i + 1 < paragraph.size() && std::islower(static_cast<unsigned char>(paragraph[i + 1]));
        bool abbreviation = i - first == 1 && paragraph[first] == '.' && ends_with_abbreviation(paragraph, first);
        if (!lower_next && !abbreviation) emit(i);
    }
    emit(paragraph.size());
    return sentences;
}

// An upper estimate of the phonemes eSpeak NG makes of a text, from what it
// does with each kind of character: an ordinary word comes to about 2 per
// letter, but a word it spells out ("xkcd", "IBM", "www") up to 10 per letter
// ("double-u"), a digit up to 13 ("7777777" is read as a number), a symbol is
// read as its name ("*" "asterisk"), an ideograph as a language name and code,
// and the rarer symbols and emoji as long names.
int estimated_phonemes(const std::string &s) {
    int total = 0;
    size_t i = 0;
    while (i < s.size()) {
        size_t word_end = s.find(' ', i);
        if (word_end == std::string::npos) word_end = s.size();
        bool vowel = false, lower = false;
        for (size_t k = i; k < word_end; ++k) {
            char c = s[k];
            vowel = vowel || std::strchr("aeiouyAEIOUY", c);
            lower = lower || (c >= 'a' && c <= 'z');
        }
        const int letter = vowel && lower ? 2 : 10;
        while (i < word_end) {
            uint32_t cp = 0;
            size_t len = utf8_decode(s, i, &cp);
            if (len == 0) len = 1, cp = 0xFFFD;
            i += len;
            if (cp < 0x80) {
                if (std::isalpha(static_cast<int>(cp))) {
                    total += letter;
                } else if (std::isdigit(static_cast<int>(cp))) {
                    total += 13;
                } else if (std::strchr(".,;:!?'\"-()", static_cast<int>(cp))) {
                    total += 3;
                } else {
                    total += 10;
                }
            } else if (cp < 0x250) {
                total += 3;  // Latin letters with accents
            } else if (cp < 0x2000) {
                total += 4;  // Greek, Cyrillic and the other alphabets
            } else if ((cp >= 0x2E80 && cp < 0xD800) || (cp >= 0xF900 && cp < 0xFB00)) {
                total += 16;  // ideographs, kana, hangul
            } else {
                total += 30;
            }
        }
        if (i < s.size()) {
            total += 1;  // the word break
            ++i;
        }
    }
    return total;
}

bool fits(const std::string &s) {
    return s.size() <= kRequestByteBudget && estimated_phonemes(s) <= kRequestPhonemeBudget;
}

// Splits a sentence that does not fit one request: at clause punctuation
// (", " "; " ": ") first, then at spaces, then between UTF-8 characters, and
// packs the parts greedily back into requests that fit.
void split_to_fit(const std::string &s, int level, std::vector<std::string> *out) {
    if (fits(s)) {
        out->push_back(s);
        return;
    }
    std::vector<std::string> parts;
    std::string joiner = " ";
    if (level == 0) {
        size_t start = 0;
        for (size_t i = 0; i + 1 < s.size(); ++i) {
            if ((s[i] == ',' || s[i] == ';' || s[i] == ':') && s[i + 1] == ' ') {
                parts.push_back(s.substr(start, i + 1 - start));
                start = i + 2;
            }
        }
        parts.push_back(s.substr(start));
    } else if (level == 1) {
        size_t start = 0, space;
        while ((space = s.find(' ', start)) != std::string::npos) {
            parts.push_back(s.substr(start, space - start));
            start = space + 1;
        }
        parts.push_back(s.substr(start));
    } else {
        joiner.clear();
        for (size_t i = 0; i < s.size();) {
            uint32_t cp;
            size_t len = utf8_decode(s, i, &cp);
            if (len == 0) len = 1;
            parts.push_back(s.substr(i, len));
            i += len;
        }
    }
    std::string current;
    for (const std::string &part : parts) {
        if (part.empty()) continue;
        std::string joined = current.empty() ? part : current + joiner + part;
        if (fits(joined)) {
            current = joined;
            continue;
        }
        if (!current.empty()) out->push_back(current);
        current.clear();
        if (fits(part)) {
            current = part;
        } else {
            split_to_fit(part, level + 1, out);
        }
    }
    if (!current.empty()) out->push_back(current);
}

struct Request {
    std::string text;
    bool starts_sentence;  // a pause goes before it, unless it is the first spoken
};

std::vector<Request> plan_requests(const std::string &text) {
    std::vector<Request> requests;
    for (const std::string &paragraph : split_paragraphs(clean_text(text))) {
        for (const std::string &sentence : split_sentences(paragraph)) {
            std::vector<std::string> pieces;
            split_to_fit(sentence, 0, &pieces);
            for (size_t i = 0; i < pieces.size(); ++i) requests.push_back({pieces[i], i == 0});
        }
    }
    return requests;
}

// ---------------------------------------------------------------------------
// Output

class AudioSink {
public:
    ~AudioSink() {
        if (file_ && file_ != stdout) std::fclose(file_);
    }

    // Opens the WAV file (writing its header) or standard output.
    bool open(const Params &params, int sample_rate) {
        raw_ = params.raw;
        if (raw_) {
            if (isatty(fileno(stdout))) {
                message("--raw writes binary audio: pipe standard output into a player or a file");
                return false;
            }
#if defined(_WIN32)
            _setmode(_fileno(stdout), _O_BINARY);
#else
            // A player that quits early must give a write error, not end the
            // process before the library is shut down.
            std::signal(SIGPIPE, SIG_IGN);
#endif
            file_ = stdout;
            return true;
        }
        path_ = params.output;
        std::error_code ec;
        if (fs::is_directory(path_, ec)) {
            message("cannot write '%s': it is a directory", path_.c_str());
            return false;
        }
        file_ = std::fopen(path_.c_str(), "wb");
        if (!file_) {
            message("cannot open '%s' for writing: %s", path_.c_str(), std::strerror(errno));
            return false;
        }
        // Only a regular file we created is removed after a failure (never
        // /dev/null or the like).
        removable_ = fs::is_regular_file(path_, ec);
        sample_rate_ = static_cast<uint32_t>(sample_rate);
        if (!write_header(0) || std::fflush(file_) != 0) return fail_write();
        // The sizes are fixed up at the end, so the file must be seekable.
        if (std::fseek(file_, 0, SEEK_END) != 0) {
            message("cannot write a WAV file to '%s': it is not seekable (use --raw for pipes)", path_.c_str());
            abandon();
            return false;
        }
        return true;
    }

    bool write(const int16_t *samples, size_t count) {
        uint64_t bytes = static_cast<uint64_t>(count) * 2;
        if (!raw_ && data_bytes_ + bytes > kMaxWavDataBytes) {
            message("the audio is longer than a WAV file can hold (4 GB); use --raw, or split the text");
            abandon();
            return false;
        }
        buffer_.resize(count * 2);
        for (size_t i = 0; i < count; ++i) {
            uint16_t v = static_cast<uint16_t>(samples[i]);
            buffer_[2 * i] = static_cast<unsigned char>(v & 0xFF);
            buffer_[2 * i + 1] = static_cast<unsigned char>(v >> 8);
        }
        if (count && std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) return fail_write();
        // Raw output goes on to the player as soon as it is there.
        if (raw_ && std::fflush(file_) != 0) return fail_write();
        data_bytes_ += bytes;
        return true;
    }

    bool write_silence(size_t count) {
        std::vector<int16_t> zeros(count, 0);
        return write(zeros.data(), zeros.size());
    }

    bool finish() {
        if (raw_) return std::fflush(file_) == 0 || fail_write();
        if (std::fseek(file_, 0, SEEK_SET) != 0 || !write_header(static_cast<uint32_t>(data_bytes_)))
            return fail_write();
        std::FILE *file = file_;
        file_ = nullptr;
        if (std::fclose(file) != 0) {
            int saved = errno;
            message("cannot write '%s': %s", path_.c_str(), std::strerror(saved));
            if (removable_) std::remove(path_.c_str());
            return false;
        }
        return true;
    }

    // Closes and removes a WAV file that will not be complete.
    void abandon() {
        if (raw_ || !file_) return;
        std::fclose(file_);
        file_ = nullptr;
        if (removable_) std::remove(path_.c_str());
    }

    uint64_t samples_written() const { return data_bytes_ / 2; }

private:
    bool write_header(uint32_t data_bytes) {
        unsigned char h[44];
        auto put32 = [&h](int at, uint32_t v) {
            for (int k = 0; k < 4; ++k) h[at + k] = static_cast<unsigned char>(v >> (8 * k));
        };
        auto put16 = [&h](int at, uint16_t v) {
            h[at] = static_cast<unsigned char>(v & 0xFF);
            h[at + 1] = static_cast<unsigned char>(v >> 8);
        };
        std::memcpy(h, "RIFF", 4);
        put32(4, 36 + data_bytes);
        std::memcpy(h + 8, "WAVEfmt ", 8);
        put32(16, 16);
        put16(20, 1);  // PCM
        put16(22, 1);  // mono
        put32(24, sample_rate_);
        put32(28, sample_rate_ * 2);
        put16(32, 2);
        put16(34, 16);
        std::memcpy(h + 36, "data", 4);
        put32(40, data_bytes);
        return std::fwrite(h, 1, sizeof h, file_) == sizeof h;
    }

    bool fail_write() {
        int saved = errno;
        if (raw_) {
            message("cannot write to standard output: %s", std::strerror(saved));
        } else {
            message("cannot write '%s': %s", path_.c_str(), std::strerror(saved));
            abandon();
        }
        return false;
    }

    std::FILE *file_ = nullptr;
    std::string path_;
    bool raw_ = false;
    bool removable_ = false;
    uint32_t sample_rate_ = 0;
    uint64_t data_bytes_ = 0;
    std::vector<unsigned char> buffer_;
};

// ---------------------------------------------------------------------------
// Progress on a terminal

class Progress {
public:
    Progress(size_t total, int sample_rate)
        : enabled_(total > 1 && isatty(fileno(stderr))), total_(total), sample_rate_(sample_rate),
          start_(std::chrono::steady_clock::now()) {}

    // Clears the line so the library's own lines start at the left margin.
    void clear() {
        if (!enabled_ || shown_ == 0) return;
        std::fprintf(stderr, "\r%*s\r", static_cast<int>(shown_), "");
        shown_ = 0;
    }

    // Leaves the last progress line standing.
    void finish() {
        if (enabled_ && shown_ > 0) std::fputc('\n', stderr);
        shown_ = 0;
    }

    void update(size_t done, uint64_t samples) {
        if (!enabled_) return;
        double audio = static_cast<double>(samples) / sample_rate_;
        double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        char line[160];
        int n = std::snprintf(line, sizeof line, "orvel-say: %zu/%zu requests, %.1f s of audio, real-time factor %.3f",
                              done, total_, audio, audio > 0 ? elapsed / audio : 0.0);
        std::fprintf(stderr, "\r%s", line);
        shown_ = n > 0 ? static_cast<size_t>(n) : 0;
    }

private:
    bool enabled_;
    size_t total_;
    int sample_rate_;
    std::chrono::steady_clock::time_point start_;
    size_t shown_ = 0;
};

// ---------------------------------------------------------------------------

bool is_no_phonemes_error(const char *error) {
    return error && std::strncmp(error, "Phonemization failed", 20) == 0;
}

int speak(const Params &params, int voice, const std::vector<Request> &requests) {
    const int sample_rate = orvel_get_voice_sample_rate(voice);
    if (params.speaker >= 0) {
        int speakers = orvel_get_num_speakers(voice);
        if (params.speaker >= speakers) {
            message("speaker %d does not exist: the voice has %d speaker%s (0-%d)", params.speaker, speakers,
                    speakers == 1 ? "" : "s", speakers - 1);
            return EXIT_USAGE;
        }
        orvel_set_speaker(voice, params.speaker);
    }
    orvel_set_speed(voice, params.speed);
    orvel_set_noise(voice, params.noise, params.noise_w);

    AudioSink sink;
    if (!sink.open(params, sample_rate)) return EXIT_OUTPUT;
    const size_t silence = static_cast<size_t>(std::llround(params.sentence_silence_ms * sample_rate / 1000.0));
    Progress progress(requests.size(), sample_rate);
    size_t spoken = 0;
    std::string last_skip_error;
    for (size_t i = 0; i < requests.size(); ++i) {
        progress.clear();
        int16_t *samples = nullptr;
        int32_t count = 0;
        if (orvel_speak_to_buffer(voice, requests[i].text.c_str(), &samples, &count) != 0) {
            const char *error = orvel_get_error();
            // A part with nothing to say (only punctuation, say) is passed over.
            if (is_no_phonemes_error(error)) {
                last_skip_error = error;
                progress.update(i + 1, sink.samples_written());
                continue;
            }
            message("synthesis failed: %s", library_error());
            sink.abandon();
            return EXIT_SYNTH;
        }
        bool ok = true;
        if (spoken > 0 && requests[i].starts_sentence && silence > 0) ok = sink.write_silence(silence);
        if (ok) ok = sink.write(samples, static_cast<size_t>(count));
        orvel_free_audio(samples);
        if (!ok) return EXIT_OUTPUT;
        ++spoken;
        progress.update(i + 1, sink.samples_written());
    }
    if (spoken == 0) {
        progress.clear();
        message("synthesis failed: no part of the text could be spoken (%s)", last_skip_error.c_str());
        sink.abandon();
        return EXIT_SYNTH;
    }
    progress.finish();
    if (!sink.finish()) return EXIT_OUTPUT;
    return EXIT_OK;
}

}  // namespace

int main(int argc, char **argv) {
    Params params;
    int status = parse_args(argc, argv, &params);
    if (status == -1) return EXIT_OK;
    if (status != EXIT_OK) return status;

    if (params.model.empty()) {
        params.model = find_bundled_voice(argv[0]);
        if (params.model.empty()) {
            message("a voice is needed: give one with -m MODEL.onnx (its configuration is read from "
                    "MODEL.onnx.json, or give -c CONFIG.json); no bundled voice is installed");
            return EXIT_USAGE;
        }
    }

    std::string text;
    status = read_text(params, &text);
    if (status != EXIT_OK) return status;
    std::vector<Request> requests = plan_requests(text);
    if (requests.empty()) {
        message("the text is empty: nothing to say");
        return EXIT_USAGE;
    }

    if (orvel_init(params.espeak_data.empty() ? nullptr : params.espeak_data.c_str()) != 0) {
        message("cannot start the library: %s", library_error());
        orvel_shutdown();
        return EXIT_INIT;
    }
    int voice = orvel_load_voice(params.model.c_str(), params.config.empty() ? nullptr : params.config.c_str());
    if (voice < 0) {
        message("cannot load the voice '%s': %s", params.model.c_str(), library_error());
        orvel_shutdown();
        return EXIT_VOICE;
    }
    status = speak(params, voice, requests);
    orvel_shutdown();
    return status;
}
