#include "cli.h"

#include "orvel.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace orvel_tools {

namespace {
const char *g_program = "orvel";
std::FILE *g_log = nullptr;  // the copy of standard error, once the library's lines are hidden
}  // namespace

void set_program_name(const char *name) { g_program = name; }

std::FILE *log_stream() { return g_log ? g_log : stderr; }

void message(const char *format, ...) {
    std::string line = std::string(g_program) + ": ";
    char buffer[1024];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0) n = 0;
    if (static_cast<size_t>(n) < sizeof buffer) {
        line.append(buffer, static_cast<size_t>(n));
    } else {
        std::string long_text(static_cast<size_t>(n) + 1, '\0');
        va_start(args, format);
        std::vsnprintf(&long_text[0], long_text.size(), format, args);
        va_end(args);
        line.append(long_text.data(), static_cast<size_t>(n));
    }
    line += '\n';
    std::FILE *log = log_stream();
    std::fwrite(line.data(), 1, line.size(), log);
    std::fflush(log);
}

void hide_library_output() {
    if (g_log) return;
    std::fflush(stderr);
#if defined(_WIN32)
    int copy = _dup(2);
    int null_fd = copy < 0 ? -1 : _open("NUL", _O_WRONLY);
    bool ok = null_fd >= 0 && _dup2(null_fd, 2) == 0;
    if (null_fd >= 0) _close(null_fd);
    std::FILE *log = ok ? _fdopen(copy, "w") : nullptr;
    if (!log && copy >= 0) {
        if (ok) _dup2(copy, 2);
        _close(copy);
    }
#else
    // Close-on-exec: a child the tool starts gets the null device, as the library does.
    int copy = fcntl(2, F_DUPFD_CLOEXEC, 3);
    int null_fd = copy < 0 ? -1 : open("/dev/null", O_WRONLY | O_CLOEXEC);
    bool ok = null_fd >= 0 && dup2(null_fd, 2) == 2;
    if (null_fd >= 0) close(null_fd);
    std::FILE *log = ok ? fdopen(copy, "w") : nullptr;
    if (!log && copy >= 0) {
        if (ok) dup2(copy, 2);
        close(copy);
    }
#endif
    if (!log) return;
    std::setvbuf(log, nullptr, _IONBF, 0);
    g_log = log;
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

bool find_on_path(const char *name) {
    const char *path = std::getenv("PATH");
    std::string dirs = path ? path : "";
#ifdef _WIN32
    const char separator = ';';
#else
    const char separator = ':';
#endif
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = dirs.find(separator, start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        std::string file = (dir.empty() ? std::string(".") : dir) + "/" + name;
#ifdef _WIN32
        if (_access(file.c_str(), 0) == 0) return true;
#else
        if (access(file.c_str(), X_OK) == 0) return true;
#endif
        start = end + 1;
    }
    return false;
}

Progress::Progress(size_t total, int sample_rate)
    : enabled_(total > 1 && is_terminal(log_stream())), total_(total), sample_rate_(sample_rate),
      start_(std::chrono::steady_clock::now()) {}

void Progress::clear() {
    if (!enabled_ || shown_ == 0) return;
    std::fprintf(log_stream(), "\r%*s\r", static_cast<int>(shown_), "");
    shown_ = 0;
}

void Progress::finish() {
    if (enabled_ && shown_ > 0) std::fputc('\n', log_stream());
    shown_ = 0;
}

void Progress::update(size_t done, uint64_t samples) {
    if (!enabled_) return;
    double audio = static_cast<double>(samples) / sample_rate_;
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    if (elapsed < 1.0) return;
    char line[160];
    int n = std::snprintf(line, sizeof line, "%s: %zu/%zu requests, %.1f s of audio, real-time factor %.3f",
                          g_program, done, total_, audio, audio > 0 ? elapsed / audio : 0.0);
    std::fprintf(log_stream(), "\r%s", line);
    shown_ = n > 0 ? static_cast<size_t>(n) : 0;
}

}  // namespace orvel_tools
