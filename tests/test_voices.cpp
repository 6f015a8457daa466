// Voice slots: loading, the slot table, path rules, getters and setters.
#include <gtest/gtest.h>

#include <string>

#include "orvel.h"
#include "orvel_internal.h"
#include "engine_fixture.h"
#include "test_util.h"

namespace {

class Voices : public EngineTest {
protected:
    // Loads quietly; the log lines are checked by the tests that care.
    int load(const std::string &model, const char *config = nullptr) {
        testing::internal::CaptureStderr();
        int id = orvel_load_voice(model.c_str(), config);
        last_log = testing::internal::GetCapturedStderr();
        return id;
    }
    std::string last_log;
};

}  // namespace

TEST_F(Voices, LoadLogsAndDerivesTheConfigPath) {
    std::string model = test_voice("probe.onnx");
    ASSERT_EQ(load(model), 0);
    EXPECT_EQ(last_log, "[orvel] Voice 0: voice=en-us, sample_rate=22050, phonemes=" +
                            std::to_string(g_voices[0].config.num_phonemes) + "\n[orvel] Loading ONNX model: " +
                            model + "\n[orvel] Voice 0 loaded successfully\n");
    EXPECT_GT(g_voices[0].config.num_phonemes, 40);
    EXPECT_EQ(orvel_get_error(), nullptr);
    EXPECT_NE(g_voices[0].session, nullptr);
    EXPECT_NE(g_voices[0].session_options, nullptr);
}

TEST_F(Voices, ExplicitConfigPathWins) {
    ASSERT_EQ(load(test_voice("fixed_16k.onnx"), test_voice("probe.onnx.json").c_str()), 0);
    EXPECT_EQ(orvel_get_voice_sample_rate(0), 22050);
}

TEST_F(Voices, NineVoicesTheNinthFails) {
    for (int i = 0; i < MAX_VOICES; ++i) ASSERT_EQ(load(test_voice("fixed_half.onnx")), i);
    EXPECT_EQ(load(test_voice("fixed_half.onnx")), -1);
    EXPECT_EQ(error_text(), "Maximum voices (8) already loaded");
    for (int i = 0; i < MAX_VOICES; ++i) EXPECT_EQ(orvel_get_voice_sample_rate(i), 22050);
    int16_t *samples = nullptr;
    int32_t count = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(orvel_speak_to_buffer(7, "hi", &samples, &count), 0);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(count, 5);
    orvel_free_audio(samples);
}

TEST_F(Voices, FreedSlotsAreReusedLowestFirst) {
    for (int i = 0; i < 5; ++i) ASSERT_EQ(load(test_voice("fixed_half.onnx")), i);
    testing::internal::CaptureStderr();
    orvel_unload_voice(3);
    orvel_unload_voice(1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[orvel] Voice 3 unloaded\n[orvel] Voice 1 unloaded\n");
    EXPECT_EQ(load(test_voice("fixed_16k.onnx")), 1);
    EXPECT_EQ(load(test_voice("fixed_16k.onnx")), 3);
    EXPECT_EQ(load(test_voice("fixed_16k.onnx")), 5);
}

TEST_F(Voices, UnreadableConfigLeavesTheSlotFree) {
    std::string model = test_voice("probe_broken_config.onnx");
    EXPECT_EQ(load(model), -1);
    std::string config = model + ".json";
    EXPECT_EQ(last_log, "Cannot open config: " + config + "\n[orvel] ERROR: Failed to parse config: " + config + "\n");
    EXPECT_EQ(error_text(), "Failed to parse config: " + config);
    EXPECT_EQ(g_voices[0].loaded, 0);
    EXPECT_EQ(load(test_voice("probe_bad_config.onnx")), -1);  // a JSON array, not an object
    EXPECT_EQ(load(test_voice("probe.onnx")), 0);
}

TEST_F(Voices, ModelOnnxRuntimeRejectsLeavesTheSlotFreeAndReusable) {
    EXPECT_EQ(load(test_voice("bad_not_onnx.onnx")), -1);
    EXPECT_EQ(error_text().rfind("ONNX Runtime: Load model from ", 0), 0u) << error_text();
    EXPECT_NE(error_text().find("Protobuf parsing failed"), std::string::npos);
    EXPECT_EQ(g_voices[0].loaded, 0);
    EXPECT_EQ(g_voices[0].session, nullptr);
    EXPECT_EQ(g_voices[0].session_options, nullptr);
    EXPECT_EQ(load(test_voice("missing-model.onnx"), test_voice("probe.onnx.json").c_str()), -1);
    EXPECT_EQ(load(test_voice("probe.onnx")), 0);
}

TEST_F(Voices, PathsThatWouldBeCutAreRefused) {
    std::string dir = scratch_dir() + "/";
    std::string too_long = dir + std::string(PATH_SIZE - dir.size(), 'm');  // 1024 bytes
    EXPECT_EQ(load(too_long), -1);
    EXPECT_EQ(error_text(), "model_path is too long (1024 bytes, at most 1023)");
    EXPECT_EQ(last_log.find("Cannot open config"), std::string::npos);

    std::string fits = dir + std::string(PATH_SIZE - 1 - dir.size(), 'm');  // 1023: "%s.json" would not fit
    EXPECT_EQ(load(fits), -1);
    EXPECT_EQ(error_text(), "Config path (model_path + \".json\") is too long (1028 bytes, at most 1023)");
    EXPECT_EQ(load(fits, test_voice("probe.onnx.json").c_str()), -1);  // an explicit config is fine; the model is missing
    EXPECT_EQ(error_text().rfind("ONNX Runtime: ", 0), 0u);
    testing::internal::CaptureStderr();
    EXPECT_EQ(orvel_load_voice(nullptr, test_voice("probe.onnx.json").c_str()), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(error_text(), "model_path is NULL");
}

TEST_F(Voices, GettersAndSettersOnInvalidIdsDoNothing) {
    ASSERT_EQ(load(test_voice("probe.onnx")), 0);
    testing::internal::CaptureStderr();
    ASSERT_EQ(orvel_load_voice(nullptr, nullptr), -1);
    for (int id : {-1, 8, 1, 1000}) {
        EXPECT_EQ(orvel_get_voice_sample_rate(id), -1) << id;
        EXPECT_EQ(orvel_get_num_speakers(id), -1) << id;
        orvel_set_speed(id, 2.0f);
        orvel_set_speaker(id, 3);
        orvel_set_noise(id, 0.1f, 0.2f);
        orvel_unload_voice(id);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[orvel] ERROR: model_path is NULL\n");
    EXPECT_EQ(error_text(), "model_path is NULL");  // kept by setters, getters and unload
    EXPECT_EQ(g_voices[1].speaker_id, -1);
    EXPECT_EQ(g_voices[1].speed_override, 0.0f);
}

TEST_F(Voices, SettersStoreOverridesUntilTheSlotIsReloaded) {
    ASSERT_EQ(load(test_voice("probe.onnx")), 0);
    orvel_set_speed(0, 1.5f);
    orvel_set_speaker(0, 3);
    orvel_set_noise(0, 0.3f, -1.0f);
    EXPECT_EQ(g_voices[0].speed_override, 1.5f);
    EXPECT_EQ(g_voices[0].speaker_id, 3);
    EXPECT_EQ(g_voices[0].noise_override, 0.3f);
    EXPECT_EQ(g_voices[0].noise_w_override, -1.0f);
    testing::internal::CaptureStderr();
    orvel_unload_voice(0);
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(load(test_voice("probe.onnx")), 0);
    EXPECT_EQ(g_voices[0].speed_override, 0.0f);
    EXPECT_EQ(g_voices[0].speaker_id, -1);
    EXPECT_EQ(g_voices[0].noise_override, 0.0f);
}

TEST_F(Voices, SampleRatesAndSpeakerCounts) {
    ASSERT_EQ(load(test_voice("fixed_16k.onnx")), 0);
    ASSERT_EQ(load(test_voice("no_audio_section.onnx")), 1);
    ASSERT_EQ(load(test_voice("probe_multi.onnx")), 2);
    EXPECT_EQ(orvel_get_voice_sample_rate(0), 16000);
    EXPECT_EQ(orvel_get_voice_sample_rate(1), 22050);  // the default
    EXPECT_EQ(orvel_get_num_speakers(0), 1);
    EXPECT_EQ(orvel_get_num_speakers(1), 1);           // no "num_speakers": 0 reads as 1
    EXPECT_EQ(orvel_get_num_speakers(2), 4);
}

TEST_F(Voices, UnloadIsSilentTheSecondTime) {
    ASSERT_EQ(load(test_voice("probe.onnx")), 0);
    testing::internal::CaptureStderr();
    orvel_unload_voice(0);
    orvel_unload_voice(0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[orvel] Voice 0 unloaded\n");
    EXPECT_EQ(orvel_get_voice_sample_rate(0), -1);
    EXPECT_EQ(g_voices[0].session, nullptr);
}

TEST_F(Voices, ShutdownUnloadsEveryVoiceInOrder) {
    for (int i = 0; i < 3; ++i) ASSERT_EQ(load(test_voice("fixed_half.onnx")), i);
    testing::internal::CaptureStderr();
    orvel_unload_voice(1);
    orvel_shutdown();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[orvel] Voice 1 unloaded\n[orvel] Voice 0 unloaded\n[orvel] Voice 2 unloaded\n[orvel] Shut down\n");
    for (const VoiceSlot &slot : g_voices) EXPECT_EQ(slot.loaded, 0);
    EXPECT_EQ(orvel_load_voice(test_voice("probe.onnx").c_str(), nullptr), -1);
    SetUp();
    EXPECT_EQ(load(test_voice("probe.onnx")), 0);
}

// Run under valgrind by the "leak_check" test: nothing may be lost.
TEST_F(Voices, LoadUnloadLoop) {
    for (int i = 0; i < 20; ++i) {
        int id = load(test_voice(i % 2 ? "probe.onnx" : "probe_multi.onnx"));
        ASSERT_EQ(id, 0);
        EXPECT_EQ(load(test_voice("bad_not_onnx.onnx")), -1);
        testing::internal::CaptureStderr();
        orvel_unload_voice(id);
        testing::internal::GetCapturedStderr();
    }
}
