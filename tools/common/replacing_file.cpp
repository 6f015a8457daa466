// ReplacingFile and the signal set-up around it (see replacing_file.h).
#include "replacing_file.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

#if defined(_WIN32)
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  include <windows.h>
#  include <fcntl.h>
#  include <io.h>
#  include <sys/stat.h>
#else
#  include <fcntl.h>
#  include <sys/stat.h>
#  include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace orvel_tools {

namespace {

// What a signal handler may read: the partial file's path while one exists.
char g_partial_path[4096];
volatile std::sig_atomic_t g_partial_exists = 0;

extern "C" void remove_partial_and_die(int sig) {
    if (g_partial_exists) {
#if defined(_WIN32)
        std::remove(g_partial_path);
#else
        ::unlink(g_partial_path);  // async-signal-safe, unlike remove()
#endif
    }
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// Creates path exclusively for writing, with the mode of the file it will
// replace if there is one; nullptr with errno set.
std::FILE *create_exclusive(const std::string &path, const std::string &replaces) {
#if defined(_WIN32)
    (void)replaces;
    int fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    std::FILE *file = _fdopen(fd, "wb");
    if (!file) _close(fd);
#else
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    struct stat old;
    if (::stat(replaces.c_str(), &old) == 0) ::fchmod(fd, old.st_mode & 07777);
    std::FILE *file = ::fdopen(fd, "wb");
    if (!file) ::close(fd);
#endif
    return file;
}

bool rename_over(const std::string &from, const std::string &to) {
#if defined(_WIN32)
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    errno = EACCES;
    return false;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

}  // namespace

bool ReplacingFile::open(const std::string &target) {
    discard();
    std::error_code ec;
    fs::file_status status = fs::status(target, ec);
    if (fs::is_directory(status)) {
        errno = EISDIR;
        return false;
    }
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        file_ = std::fopen(target.c_str(), "wb");
        return file_ != nullptr;
    }
    fs::path resolved = target;
    if (fs::is_symlink(fs::symlink_status(target, ec))) {
        resolved = fs::canonical(target, ec);
        if (ec) resolved = target;  // a dangling link: the link itself is replaced
    }
    target_ = resolved.string();
    for (int attempt = 0; attempt < 100 && !file_; ++attempt) {
        partial_ = target_ + ".part" + std::to_string(attempt);
        file_ = create_exclusive(partial_, target_);
        if (!file_ && errno != EEXIST) break;
    }
    if (!file_) {
        int saved = errno;
        partial_.clear();
        errno = saved;
        return false;
    }
    if (partial_.size() < sizeof g_partial_path) {
        g_partial_exists = 0;
        std::memcpy(g_partial_path, partial_.c_str(), partial_.size() + 1);
        g_partial_exists = 1;
    }
    return true;
}

bool ReplacingFile::commit() {
    std::FILE *file = file_;
    file_ = nullptr;
    bool ok = file && std::fclose(file) == 0 && (partial_.empty() || rename_over(partial_, target_));
    int saved = errno;
    if (ok) {
        if (!partial_.empty()) g_partial_exists = 0;
        partial_.clear();
    } else {
        discard();
    }
    errno = saved;
    return ok;
}

void ReplacingFile::discard() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    if (partial_.empty()) return;
    g_partial_exists = 0;
    std::remove(partial_.c_str());
    partial_.clear();
}

void handle_fatal_signals() {
#if !defined(_WIN32)
    std::signal(SIGPIPE, SIG_IGN);
    const int fatal[] = {SIGINT, SIGTERM, SIGHUP};
#else
    const int fatal[] = {SIGINT, SIGTERM};
#endif
    for (int sig : fatal) {
        // A signal the caller ignores (nohup, a background job) stays ignored.
        if (std::signal(sig, remove_partial_and_die) == SIG_IGN) std::signal(sig, SIG_IGN);
    }
}

void keep_standard_descriptors_open() {
#if !defined(_WIN32)
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    }
#endif
}

}  // namespace orvel_tools
