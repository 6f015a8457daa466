// WAV writer and reader: exact header bytes, round trips, and the reader's
// handling of crafted, broken or unusual files.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <ostream>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "audio.h"
#include "test_util.h"

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace {

void append_le16(std::string &b, uint32_t v) {
    b.push_back(static_cast<char>(v & 0xFF));
    b.push_back(static_cast<char>((v >> 8) & 0xFF));
}

void append_le32(std::string &b, uint32_t v) {
    append_le16(b, v & 0xFFFF);
    append_le16(b, v >> 16);
}

// A 44-byte header built by hand, independent of the writer under test.
std::string make_header(uint32_t format, uint32_t channels, uint32_t rate, uint32_t bits, uint32_t data_bytes) {
    std::string b = "RIFF";
    append_le32(b, data_bytes + 36);
    b += "WAVEfmt ";
    append_le32(b, 16);
    append_le16(b, format);
    append_le16(b, channels);
    append_le32(b, rate);
    append_le32(b, rate * channels * (bits / 8));
    append_le16(b, channels * (bits / 8));
    append_le16(b, bits);
    b += "data";
    append_le32(b, data_bytes);
    return b;
}

std::string le16_samples(const std::vector<int16_t> &samples) {
    std::string b;
    for (int16_t s : samples) append_le16(b, static_cast<uint16_t>(s));
    return b;
}

struct ReadResult {
    int rc = 0;
    float *samples = nullptr;
    size_t frames = 12345;
    int32_t rate = -7;
    std::string err;
    std::vector<float> values;
    bool buffer_set = false;
};

// Reads path with the sentinels above in the out-values, capturing stderr and
// freeing the buffer, so each test sees exactly what the reader wrote.
ReadResult read_wav(const std::string &path) {
    ReadResult r;
    testing::internal::CaptureStderr();
    r.rc = wav_read_float(path.c_str(), &r.samples, &r.frames, &r.rate);
    r.err = testing::internal::GetCapturedStderr();
    r.buffer_set = r.samples != nullptr;
    if (r.rc == 0 && r.samples) r.values.assign(r.samples, r.samples + r.frames);
    std::free(r.samples);
    return r;
}

// ---------------------------------------------------------------- WavWrite

TEST(WavWrite, OneSecondHeaderFieldsAndSize) {
    std::vector<int16_t> samples(22050);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(i * 37 - 11000);
    const std::string path = scratch_dir() + "/one_second.wav";
    ASSERT_EQ(0, wav_write(path.c_str(), samples.data(), samples.size(), 22050));

    const std::string b = read_file(path);
    ASSERT_EQ(44144u, b.size());
    EXPECT_EQ("RIFF", b.substr(0, 4));
    EXPECT_EQ(44136u, le32(b, 4));
    EXPECT_EQ("WAVEfmt ", b.substr(8, 8));
    EXPECT_EQ(16u, le32(b, 16));
    EXPECT_EQ(1u, le16(b, 20));
    EXPECT_EQ(1u, le16(b, 22));
    EXPECT_EQ(22050u, le32(b, 24));
    EXPECT_EQ(44100u, le32(b, 28));
    EXPECT_EQ(2u, le16(b, 32));
    EXPECT_EQ(16u, le16(b, 34));
    EXPECT_EQ("data", b.substr(36, 4));
    EXPECT_EQ(44100u, le32(b, 40));
    // The samples follow little-endian, whatever the host's byte order.
    EXPECT_EQ(le16_samples(samples), b.substr(44));
}

TEST(WavWrite, ZeroSamplesGiveBareHeader) {
    const std::string path = scratch_dir() + "/empty.wav";
    ASSERT_EQ(0, wav_write(path.c_str(), nullptr, 0, 16000));
    EXPECT_EQ(make_header(1, 1, 16000, 16, 0), read_file(path));
}

TEST(WavWrite, OverwritesExistingFile) {
    const std::string path = write_scratch_file("overwrite.wav", std::string(5000, 'x'));
    const int16_t s[2] = {1, -1};
    ASSERT_EQ(0, wav_write(path.c_str(), s, 2, 8000));
    EXPECT_EQ(make_header(1, 1, 8000, 16, 4) + le16_samples({1, -1}), read_file(path));
}

TEST(WavWrite, MissingDirectoryCannotCreate) {
    const std::string path = scratch_dir() + "/no/such/dir/out.wav";
    const int16_t s[1] = {0};
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, wav_write(path.c_str(), s, 1, 22050));
    EXPECT_EQ("Cannot create WAV file: " + path + "\n", testing::internal::GetCapturedStderr());
}

TEST(WavWrite, FullDeviceReportsFailure) {
    if (!file_exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
    std::vector<int16_t> samples(22050, 1000);
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, wav_write("/dev/full", samples.data(), samples.size(), 22050));
    EXPECT_EQ("Failed to write WAV file data: /dev/full\n", testing::internal::GetCapturedStderr());
    // A device is not ours to remove.
    EXPECT_TRUE(file_exists("/dev/full"));
}

TEST(WavWrite, FullDeviceFailsEvenForHeaderOnly) {
    if (!file_exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, wav_write("/dev/full", nullptr, 0, 22050));
    EXPECT_EQ("Failed to write WAV file data: /dev/full\n", testing::internal::GetCapturedStderr());
}

#ifndef _WIN32
// A file-size limit makes a regular file behave like a full disk part-way through.
TEST(WavWrite, ShortWriteRemovesPartialFile) {
    const std::string path = scratch_dir() + "/partial.wav";
    std::vector<int16_t> samples(22050, 1000);

    struct rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
    struct rlimit limited = saved;
    limited.rlim_cur = 4096;
    void (*old_handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limited));

    testing::internal::CaptureStderr();
    const int rc = wav_write(path.c_str(), samples.data(), samples.size(), 22050);
    const std::string err = testing::internal::GetCapturedStderr();

    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, old_handler);

    EXPECT_EQ(-1, rc);
    EXPECT_EQ("Failed to write WAV file data: " + path + "\n", err);
    EXPECT_FALSE(file_exists(path));
}
#endif

TEST(WavWrite, CountBeyondHeaderFieldsRefusedWithoutCreating) {
    const std::string path = scratch_dir() + "/too_big.wav";
    // 0x7FFFFFEE samples: data size 0xFFFFFFDC, RIFF size 0x100000000 would wrap.
    const size_t too_many = (static_cast<size_t>(0xFFFFFFFFu) - 36) / 2 + 1;
    const int16_t s[1] = {0};
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, wav_write(path.c_str(), s, too_many, 22050));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find(path)) << err;
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
    EXPECT_FALSE(file_exists(path));
}

// ---------------------------------------------------------------- WavRead

TEST(WavRead, RoundTripOfWriterOutput) {
    const std::vector<int16_t> samples = {-32768, -16384, -1, 0, 1, 16384, 32767};
    const std::string path = scratch_dir() + "/round_trip.wav";
    ASSERT_EQ(0, wav_write(path.c_str(), samples.data(), samples.size(), 24000));

    const ReadResult r = read_wav(path);
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ("", r.err);
    EXPECT_EQ(samples.size(), r.frames);
    EXPECT_EQ(24000, r.rate);
    ASSERT_EQ(samples.size(), r.values.size());
    EXPECT_EQ(-1.0f, r.values[0]);
    EXPECT_EQ(-0.5f, r.values[1]);
    EXPECT_EQ(-1.0f / 32768, r.values[2]);
    EXPECT_EQ(0.0f, r.values[3]);
    EXPECT_EQ(0.5f, r.values[5]);
    EXPECT_EQ(0.999969482421875f, r.values[6]);
}

TEST(WavRead, EmptyFileGivesBufferAndNoFrames) {
    const std::string path = scratch_dir() + "/round_trip_empty.wav";
    ASSERT_EQ(0, wav_write(path.c_str(), nullptr, 0, 22050));
    ReadResult r;
    ASSERT_EQ(0, wav_read_float(path.c_str(), &r.samples, &r.frames, &r.rate));
    EXPECT_NE(nullptr, r.samples);  // callers free it like any other result
    EXPECT_EQ(0u, r.frames);
    EXPECT_EQ(22050, r.rate);
    std::free(r.samples);
}

TEST(WavRead, StereoKeepsFirstChannel) {
    const std::string bytes =
        make_header(1, 2, 44100, 16, 12) + le16_samples({100, -5, -32768, 7, 32767, 9});
    const ReadResult r = read_wav(write_scratch_file("stereo.wav", bytes));
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(3u, r.frames);
    EXPECT_EQ(44100, r.rate);
    EXPECT_EQ((std::vector<float>{100.0f / 32768, -1.0f, 32767.0f / 32768}), r.values);
}

TEST(WavRead, ShortDataSectionReadsAsSilence) {
    // The header claims 8 samples; only 2 and a half are present.
    std::string bytes = make_header(1, 1, 8000, 16, 16) + le16_samples({16384, -16384});
    bytes.push_back(static_cast<char>(0x7F));
    const ReadResult r = read_wav(write_scratch_file("short_data.wav", bytes));
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(8u, r.frames);
    EXPECT_EQ((std::vector<float>{0.5f, -0.5f, 0, 0, 0, 0, 0, 0}), r.values);
}

TEST(WavRead, ChunkIdsAndFormatSizeAreNotChecked) {
    std::string bytes = make_header(1, 1, 8000, 16, 2) + le16_samples({-16384});
    bytes.replace(12, 4, "junk");
    bytes.replace(36, 4, "LIST");
    const ReadResult r = read_wav(write_scratch_file("odd_ids.wav", bytes));
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ((std::vector<float>{-0.5f}), r.values);
}

struct Rejection {
    const char *name;
    std::string bytes;
    std::string message;  // "{path}" stands for the file's path
    bool out_values_written;
    size_t frames;        // expected when out_values_written
    int32_t rate;
};

void PrintTo(const Rejection &c, std::ostream *os) { *os << c.name; }

class WavReadRejects : public testing::TestWithParam<Rejection> {};

TEST_P(WavReadRejects, FailsWithOneLine) {
    const Rejection &c = GetParam();
    const std::string path = write_scratch_file(std::string(c.name) + ".wav", c.bytes);
    std::string expected = c.message;
    const size_t at = expected.find("{path}");
    if (at != std::string::npos) expected.replace(at, 6, path);

    const ReadResult r = read_wav(path);
    EXPECT_EQ(-1, r.rc);
    EXPECT_EQ(expected, r.err);
    EXPECT_FALSE(r.buffer_set);
    if (c.out_values_written) {
        EXPECT_EQ(c.frames, r.frames);
        EXPECT_EQ(c.rate, r.rate);
    } else {
        EXPECT_EQ(12345u, r.frames);
        EXPECT_EQ(-7, r.rate);
    }
}

std::string with_riff(std::string b, const char *id) { return b.replace(0, 4, id); }
std::string with_wave(std::string b, const char *id) { return b.replace(8, 4, id); }

INSTANTIATE_TEST_SUITE_P(
    WavRead, WavReadRejects,
    testing::Values(
        Rejection{"forty_bytes", make_header(1, 1, 22050, 16, 0).substr(0, 40), "Failed to read WAV header: {path}\n",
                  false, 0, 0},
        Rejection{"empty_file", "", "Failed to read WAV header: {path}\n", false, 0, 0},
        Rejection{"no_riff", with_riff(make_header(1, 1, 22050, 16, 0), "RIFX"), "Not a WAV file: {path}\n", false, 0,
                  0},
        Rejection{"no_wave", with_wave(make_header(1, 1, 22050, 16, 0), "AVI "), "Not a WAV file: {path}\n", false, 0,
                  0},
        Rejection{"float_format", make_header(3, 1, 22050, 32, 8) + std::string(8, '\0'),
                  "Not PCM WAV: {path} (format=3)\n", false, 0, 0},
        Rejection{"extensible_format", make_header(0xFFFE, 1, 22050, 16, 0), "Not PCM WAV: {path} (format=65534)\n",
                  false, 0, 0},
        Rejection{"zero_channels", make_header(1, 0, 22050, 16, 4) + std::string(4, '\0'),
                  "Invalid WAV format: {path} (channels=0, bits=16)\n", false, 0, 0},
        Rejection{"zero_bits", make_header(1, 1, 22050, 0, 4) + std::string(4, '\0'),
                  "Invalid WAV format: {path} (channels=1, bits=0)\n", false, 0, 0},
        Rejection{"four_bits", make_header(1, 1, 22050, 4, 4) + std::string(4, '\0'),
                  "Invalid WAV format: {path} (channels=1, bits=4)\n", false, 0, 0},
        // Frame count (data size / 3 / channels) and rate are stored before the bit depth is refused.
        Rejection{"pcm24_stereo", make_header(1, 2, 48000, 24, 600) + std::string(600, '\0'),
                  "Unsupported bits per sample: 24\n", true, 100, 48000},
        Rejection{"pcm8", make_header(1, 1, 11025, 8, 10) + std::string(10, '\x80'),
                  "Unsupported bits per sample: 8\n", true, 10, 11025}),
    [](const testing::TestParamInfo<Rejection> &info) { return std::string(info.param.name); });

TEST(WavRead, MissingFileCannotOpen) {
    const std::string path = scratch_dir() + "/does_not_exist.wav";
    const ReadResult r = read_wav(path);
    EXPECT_EQ(-1, r.rc);
    EXPECT_EQ("Cannot open WAV file: " + path + "\n", r.err);
}

}  // namespace
