// A file that appears complete or not at all: written as "<target>.partN"
// beside its target and renamed over it only on commit(), so a failed or
// interrupted writer neither leaves a partial file nor destroys the file that
// was there before. Plus the process set-up that keeps that promise when the
// process is ended by a signal.
#ifndef ORVEL_TOOLS_REPLACING_FILE_H
#define ORVEL_TOOLS_REPLACING_FILE_H

#include <cstdio>
#include <string>

namespace orvel_tools {

class ReplacingFile {
public:
    ReplacingFile() = default;
    ReplacingFile(const ReplacingFile &) = delete;
    ReplacingFile &operator=(const ReplacingFile &) = delete;
    ~ReplacingFile() { discard(); }

    // Opens a new partial file for target (the file a symbolic link names, if
    // it is one), with the mode of the file it will replace. A target that
    // exists but is no regular file (a device) is opened in place. Returns
    // false with errno set.
    bool open(const std::string &target);
    std::FILE *file() const { return file_; }
    // Closes the file and renames it over the target. Returns false with errno
    // set, after removing the partial file.
    bool commit();
    // Closes the file and removes the partial file; the target stays as it was.
    void discard();

private:
    std::FILE *file_ = nullptr;
    std::string target_, partial_;  // partial_ is empty for a file opened in place
};

// Process set-up for writers of ReplacingFiles: SIGINT, SIGTERM and SIGHUP
// remove the partial file open at the time before ending the process as the
// signal would (unless the caller ignored the signal); SIGPIPE is ignored, so
// a closed pipe gives a write error where the write happens.
void handle_fatal_signals();

// Opens /dev/null on whichever of descriptors 0-2 is closed, so the next file
// opened cannot become standard output or error.
void keep_standard_descriptors_open();

}  // namespace orvel_tools

#endif
