// Helpers shared by the tests: scratch files, fixture paths, captured stderr.
#ifndef ORVEL_TEST_UTIL_H
#define ORVEL_TEST_UTIL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A fresh scratch folder for this test process (removed at exit).
const std::string &scratch_dir();

// Writes bytes to scratch_dir()/name and returns the full path.
std::string write_scratch_file(const std::string &name, const std::string &bytes);

// Reads a whole file; empty when it cannot be read.
std::string read_file(const std::string &path);

bool file_exists(const std::string &path);

// Path of a generated test voice file, e.g. test_voice("probe.onnx").
std::string test_voice(const std::string &file);

// The code points of well-formed UTF-8 (for expected values; -1 marks a
// byte that starts no character).
std::vector<int32_t> code_points(const std::string &s);

// Builds de_DE.UTF-8 (comma decimals, a host's locale) in the scratch folder
// and points LOCPATH there: the name to give setlocale, or "" when localedef failed.
std::string german_locale();

// The library's last error message, or "<null>" when there is none.
std::string error_text();

// How many times needle occurs in haystack (overlapping ones too).
size_t count_of(const std::string &haystack, const std::string &needle);

// Little-endian fields of a file's bytes, for checking WAV headers.
uint32_t le32(const std::string &bytes, size_t at);
uint16_t le16(const std::string &bytes, size_t at);

#endif
