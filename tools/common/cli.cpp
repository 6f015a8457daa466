#include "cli.h"

#include "orvel.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace orvel_tools {

namespace {
const char *g_program = "orvel";
}  // namespace

void set_program_name(const char *name) { g_program = name; }

void message(const char *format, ...) {
    std::fprintf(stderr, "%s: ", g_program);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

const char *library_error() {
    const char *error = orvel_get_error();
    return error && *error ? error : "no details from the library";
}

bool parse_number(const std::string &text, double low, double high, double *out) {
    errno = 0;
    char *end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(value) || value < low || value > high)
        return false;
    *out = value;
    return true;
}

bool read_stream(std::FILE *file, std::string *out) {
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) out->append(buffer, n);
    return !std::ferror(file);
}

bool read_file(const std::string &path, std::string *out, std::string *error) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        *error = "cannot read '" + path + "': it is a directory";
        return false;
    }
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (!file) {
        *error = "cannot open '" + path + "': " + std::strerror(errno);
        return false;
    }
    bool ok = read_stream(file, out);
    int saved = errno;
    std::fclose(file);
    if (!ok) *error = "cannot read '" + path + "': " + std::strerror(saved);
    return ok;
}

#if defined(_WIN32)
bool is_terminal(std::FILE *file) { return _isatty(_fileno(file)) != 0; }
void set_binary_mode(std::FILE *file) { _setmode(_fileno(file), _O_BINARY); }
#else
bool is_terminal(std::FILE *file) { return isatty(fileno(file)) != 0; }
void set_binary_mode(std::FILE *) {}
#endif

Progress::Progress(size_t total, int sample_rate)
    : enabled_(total > 1 && is_terminal(stderr)), total_(total), sample_rate_(sample_rate),
      start_(std::chrono::steady_clock::now()) {}

void Progress::clear() {
    if (!enabled_ || shown_ == 0) return;
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(shown_), "");
    shown_ = 0;
}

void Progress::finish() {
    if (enabled_ && shown_ > 0) std::fputc('\n', stderr);
    shown_ = 0;
}

void Progress::update(size_t done, uint64_t samples) {
    if (!enabled_) return;
    double audio = static_cast<double>(samples) / sample_rate_;
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    char line[160];
    int n = std::snprintf(line, sizeof line, "%s: %zu/%zu requests, %.1f s of audio, real-time factor %.3f",
                          g_program, done, total_, audio, audio > 0 ? elapsed / audio : 0.0);
    std::fprintf(stderr, "\r%s", line);
    shown_ = n > 0 ? static_cast<size_t>(n) : 0;
}

}  // namespace orvel_tools
