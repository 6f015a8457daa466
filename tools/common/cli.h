// What the command-line tools share around their main loop: their message
// lines, the library's last message, number options, reading the text,
// terminal and binary standard streams, and a progress line.
#ifndef ORVEL_TOOLS_CLI_H
#define ORVEL_TOOLS_CLI_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#if defined(__GNUC__)
#define ORVEL_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define ORVEL_PRINTF_FORMAT
#endif

namespace orvel_tools {

// The name message() puts before each line, e.g. "orvel-say".
void set_program_name(const char *name);

// Writes "<program>: <formatted text>" and a line break to the tool's
// standard error, as one write (threads' lines never mix).
void message(const char *format, ...) ORVEL_PRINTF_FORMAT;

// The library and ONNX Runtime write their progress lines and warnings to
// descriptor 2, which a tool cannot ask them not to do. This sends descriptor
// 2 to the null device for the rest of the run and keeps the tool's own lines
// (message(), Progress) on a copy of the original standard error; without it
// (-v) everything goes to standard error together. Call it once, before the
// library starts; a failure to set it up leaves the lines visible.
void hide_library_output();

// Where the tool's own lines go: standard error, or its copy once the
// library's output is hidden.
std::FILE *log_stream();

// The library's message for the last failed call, or a fallback.
const char *library_error();

// A whole decimal number from low to high (both included); false for
// anything else, trailing characters, NaN and overflow included.
bool parse_number(const std::string &text, double low, double high, double *out);

// Appends everything left in file to *out; false on a read error (errno set).
bool read_stream(std::FILE *file, std::string *out);

// Appends the file's bytes to *out; false with one message in *error when it
// is a folder or cannot be opened or read.
bool read_file(const std::string &path, std::string *out, std::string *error);

// Whether file is a terminal.
bool is_terminal(std::FILE *file);

// Whether an executable called name is in one of the PATH's folders.
bool find_on_path(const char *name);

// Makes a standard stream carry bytes unchanged (Windows translates line ends
// in text mode); elsewhere nothing to do.
void set_binary_mode(std::FILE *file);

// "<program>: 3/10 requests, 4.2 s of audio, real-time factor 0.125", kept on
// one line of a terminal on standard error; nothing when standard error is
// no terminal or there is a single request, and nothing in the first second,
// so a short text is spoken without a word.
class Progress {
public:
    Progress(size_t total, int sample_rate);

    // Clears the line so the library's own lines start at the left margin.
    void clear();
    // Leaves the last progress line standing.
    void finish();
    void update(size_t done, uint64_t samples);

private:
    bool enabled_;
    size_t total_;
    int sample_rate_;
    std::chrono::steady_clock::time_point start_;
    size_t shown_ = 0;
};

}  // namespace orvel_tools

#endif
