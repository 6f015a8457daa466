// Allocation failures in our own code: the configuration text, the output
// shape, the sample buffer and the WAV reader's buffers. Each failure must give
// its message (one error line), hand nothing out, leak nothing, and leave the
// library working. The wrapper counts the blocks our code holds; LeakSanitizer
// (the sanitizer pass of scripts/test) checks the rest.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <string>

#include "audio.h"
#include "fault_malloc.h"
#include "orvel.h"
#include "test_util.h"

namespace {

const char kText[] = "Hello world.";
const char kErrorPrefix[] = "[orvel] ERROR: ";

struct Spoken {
    int result;
    bool samples_null;
    int32_t count;
    std::string log;
};

Spoken speak(int voice) {
    int16_t *samples = nullptr;
    int32_t count = -1;
    testing::internal::CaptureStderr();
    int result = orvel_speak_to_buffer(voice, kText, &samples, &count);
    std::string log = testing::internal::GetCapturedStderr();
    Spoken s{result, samples == nullptr, count, log};
    orvel_free_audio(samples);
    return s;
}

class Fault : public ::testing::Test {
protected:
    void SetUp() override {
        testing::internal::CaptureStderr();
        int init = orvel_init(nullptr);
        voice_ = init == 0 ? orvel_load_voice(test_voice("probe.onnx").c_str(), nullptr) : -1;
        testing::internal::GetCapturedStderr();
        ASSERT_EQ(init, 0);
        ASSERT_EQ(voice_, 0);
        baseline_ = fault::live_blocks();
    }
    void TearDown() override {
        fault::fail_nth_malloc(0);
        testing::internal::CaptureStderr();
        orvel_shutdown();
        testing::internal::GetCapturedStderr();
    }
    // After a failure: nothing held, and a good request works.
    void expect_recovered() {
        EXPECT_EQ(fault::live_blocks(), baseline_);
        Spoken good = speak(voice_);
        EXPECT_EQ(good.result, 0) << good.log;
        EXPECT_GT(good.count, 6);
        EXPECT_EQ(fault::live_blocks(), baseline_);
    }
    int voice_ = -1;
    size_t baseline_ = 0;
};

TEST_F(Fault, ConfigurationText) {
    const std::string config = test_voice("probe.onnx.json");
    fault::fail_nth_malloc(1);
    testing::internal::CaptureStderr();
    int id = orvel_load_voice(test_voice("probe.onnx").c_str(), nullptr);
    std::string log = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(fault::failure_happened());
    EXPECT_EQ(id, -1);
    EXPECT_EQ(error_text(), "Failed to parse config: " + config);
    EXPECT_EQ(count_of(log, kErrorPrefix), 1u) << log;
    EXPECT_EQ(orvel_get_voice_sample_rate(1), -1);  // the slot stays free
    expect_recovered();

    testing::internal::CaptureStderr();
    id = orvel_load_voice(test_voice("probe.onnx").c_str(), nullptr);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(id, 1);
}

TEST_F(Fault, OutputShape) {
    fault::fail_nth_malloc(1);
    Spoken s = speak(voice_);
    ASSERT_TRUE(fault::failure_happened());
    EXPECT_EQ(s.result, -1);
    EXPECT_TRUE(s.samples_null);
    EXPECT_EQ(s.count, 0);
    EXPECT_EQ(error_text(), "Failed to allocate output shape (3 dimensions)");  // probe output [1,1,T]
    EXPECT_EQ(count_of(s.log, kErrorPrefix), 1u) << s.log;
    expect_recovered();
}

TEST_F(Fault, SampleBuffer) {
    const int32_t samples = speak(voice_).count;
    ASSERT_GT(samples, 6);
    fault::fail_nth_malloc(2);
    Spoken s = speak(voice_);
    ASSERT_TRUE(fault::failure_happened());
    EXPECT_EQ(s.result, -1);
    EXPECT_TRUE(s.samples_null);
    EXPECT_EQ(s.count, 0);
    EXPECT_EQ(error_text(), "Failed to allocate audio buffer (" + std::to_string(samples) + " samples)");
    EXPECT_EQ(count_of(s.log, kErrorPrefix), 1u) << s.log;
    expect_recovered();
}

TEST_F(Fault, SampleBufferForAFileCreatesNoFile) {
    const std::string wav = scratch_dir() + "/fault.wav";
    fault::fail_nth_malloc(2);
    testing::internal::CaptureStderr();
    int result = orvel_speak_to_file(voice_, kText, wav.c_str());
    std::string log = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(fault::failure_happened());
    EXPECT_EQ(result, -1);
    EXPECT_EQ(error_text().rfind("Failed to allocate audio buffer (", 0), 0u) << error_text();
    EXPECT_EQ(count_of(log, kErrorPrefix), 1u) << log;
    EXPECT_FALSE(file_exists(wav));
    expect_recovered();
}

// Every allocation of a load, two requests and an unload fails in turn, until
// a run sees no failure: each one fails its call cleanly.
TEST_F(Fault, EveryAllocationOfAVoiceLifetime) {
    const std::string wav = scratch_dir() + "/sweep.wav";
    int failures = 0;
    for (int n = 1; n < 100; ++n) {
        fault::fail_nth_malloc(n);
        testing::internal::CaptureStderr();
        int id = orvel_load_voice(test_voice("probe.onnx").c_str(), nullptr);
        int16_t *samples = nullptr;
        int32_t count = -1;
        int spoken = id >= 0 ? orvel_speak_to_buffer(id, kText, &samples, &count) : -1;
        int filed = spoken == 0 ? orvel_speak_to_file(id, kText, wav.c_str()) : -1;
        orvel_free_audio(samples);
        orvel_unload_voice(id);
        std::string log = testing::internal::GetCapturedStderr();
        if (!fault::failure_happened()) {
            fault::fail_nth_malloc(0);
            EXPECT_EQ(filed, 0) << log;
            break;
        }
        ++failures;
        SCOPED_TRACE("allocation " + std::to_string(n));
        EXPECT_TRUE(id < 0 || spoken != 0 || filed != 0) << log;
        if (spoken != 0) {
            EXPECT_TRUE(samples == nullptr);
        }
        EXPECT_EQ(count_of(log, kErrorPrefix), 1u) << log;
        EXPECT_EQ(fault::live_blocks(), baseline_);
    }
    // The configuration text, then shape and buffer for each of the two requests.
    EXPECT_EQ(failures, 5);
    expect_recovered();
}

TEST_F(Fault, WavReaderBuffers) {
    const int16_t samples[4] = {1000, -1000, 2000, -2000};
    const std::string wav = scratch_dir() + "/read.wav";
    ASSERT_EQ(wav_write(wav.c_str(), samples, 4, 16000), 0);
    for (int n : {1, 2}) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        float *out = nullptr;
        size_t frames = 0;
        int32_t rate = 0;
        fault::fail_nth_malloc(n);
        int result = wav_read_float(wav.c_str(), &out, &frames, &rate);
        ASSERT_TRUE(fault::failure_happened());
        EXPECT_EQ(result, -1);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(fault::live_blocks(), baseline_);
    }
    float *out = nullptr;
    size_t frames = 0;
    int32_t rate = 0;
    ASSERT_EQ(wav_read_float(wav.c_str(), &out, &frames, &rate), 0);
    EXPECT_EQ(frames, 4u);
    std::free(out);
    EXPECT_EQ(fault::live_blocks(), baseline_);
}

}  // namespace
