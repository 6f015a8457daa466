// The voice the project ships: it speaks, at a plausible length, and follows
// the speed setting.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "orvel.h"
#include "engine_fixture.h"
#include "test_util.h"

namespace {

class BundledVoice : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        if (HasFatalFailure()) return;
        std::string model = std::string(ORVEL_SOURCE_DIR) + "/voices/orvel-en-us.onnx";
        testing::internal::CaptureStderr();
        voice = orvel_load_voice(model.c_str(), nullptr);
        testing::internal::GetCapturedStderr();
        ASSERT_EQ(voice, 0) << orvel_get_error();
    }
    // Seconds of audio for text, -1 on failure.
    double seconds(const char *text) {
        int16_t *samples = nullptr;
        int32_t count = 0;
        testing::internal::CaptureStderr();
        int result = orvel_speak_to_buffer(voice, text, &samples, &count);
        testing::internal::GetCapturedStderr();
        if (result != 0) return -1;
        int peak = 0;
        for (int32_t i = 0; i < count; ++i) peak = std::max(peak, std::abs(static_cast<int>(samples[i])));
        orvel_free_audio(samples);
        EXPECT_GE(peak, 32766);  // normalised speech, not silence
        return static_cast<double>(count) / orvel_get_voice_sample_rate(voice);
    }
    int voice = -1;
};

}  // namespace

TEST_F(BundledVoice, HelloWorldHasASpokenLengthAndFollowsTheSpeed) {
    EXPECT_EQ(orvel_get_voice_sample_rate(voice), 22050);
    // With the configured noise each phoneme's length varies by some percent,
    // so single lengths only get wide bounds: eSpeak NG itself takes 0.76 s
    // for the words, plus its end pause.
    for (int i = 0; i < 3; ++i) {
        double normal = seconds("Hello world.");
        EXPECT_GT(normal, 0.6);
        EXPECT_LT(normal, 1.6);
    }

    // Without duration noise lengths repeat exactly and follow the speed.
    orvel_set_noise(voice, 0.0f, 1e-6f);  // 0 keeps the configured noise scale
    double normal = seconds("Hello world.");
    EXPECT_EQ(seconds("Hello world."), normal);
    orvel_set_speed(voice, 1.5f);
    double slow = seconds("Hello world.");
    orvel_set_speed(voice, 0.7f);
    double fast = seconds("Hello world.");
    orvel_set_speed(voice, 0.0f);  // back to the configured length scale
    EXPECT_GT(slow, normal * 1.4);
    EXPECT_LT(slow, normal * 1.6);
    EXPECT_GT(fast, normal * 0.6);
    EXPECT_LT(fast, normal * 0.8);
    EXPECT_EQ(seconds("Hello world."), normal);
}

TEST_F(BundledVoice, LongerTextSpeaksLonger) {
    orvel_set_noise(voice, 0.0f, 1e-6f);
    double one = seconds("The quick brown fox jumps over the lazy dog.");
    double two = seconds("The quick brown fox jumps over the lazy dog. The quick brown fox jumps over the lazy dog.");
    EXPECT_GT(one, 1.5);
    EXPECT_GT(two, one * 1.7);
}
