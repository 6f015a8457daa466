// init/shutdown, the last-error rules and the exact log lines, against the
// real eSpeak NG and ONNX Runtime.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "orvel.h"
#include "orvel_internal.h"
#include "stub_espeak.h"
#include "test_util.h"

namespace {

class Lifecycle : public ::testing::Test {
protected:
    void TearDown() override {
        testing::internal::CaptureStderr();
        orvel_shutdown();
        testing::internal::GetCapturedStderr();
    }
};

}  // namespace

TEST_F(Lifecycle, InitAndShutdownLogTheirLines) {
    testing::internal::CaptureStderr();
    ASSERT_EQ(orvel_init(nullptr), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[orvel] Initialized (espeak data: (default))\n");
    EXPECT_EQ(g_initialized, 1);
    EXPECT_NE(g_ort, nullptr);
    EXPECT_NE(g_env, nullptr);
    EXPECT_NE(g_memory_info, nullptr);
    EXPECT_EQ(orvel_get_error(), nullptr);

    testing::internal::CaptureStderr();
    orvel_shutdown();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[orvel] Shut down\n");
    EXPECT_EQ(g_initialized, 0);
    EXPECT_EQ(g_ort, nullptr);
    EXPECT_EQ(g_env, nullptr);
    EXPECT_EQ(g_memory_info, nullptr);
}

TEST_F(Lifecycle, InitWithAPathNamesIt) {
    const char *path = "/usr/lib/x86_64-linux-gnu/espeak-ng-data";
    testing::internal::CaptureStderr();
    ASSERT_EQ(orvel_init(path), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("[orvel] Initialized (espeak data: ") + path + ")\n");
}

TEST_F(Lifecycle, ShutdownWithoutInitOnlyLogs) {
    testing::internal::CaptureStderr();
    orvel_shutdown();
    orvel_shutdown();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[orvel] Shut down\n[orvel] Shut down\n");
}

TEST_F(Lifecycle, SecondInitFailsAndLeavesTheFirstAlone) {
    ASSERT_EQ(orvel_init(nullptr), 0);
    const OrtEnv *env = g_env;
    testing::internal::CaptureStderr();
    EXPECT_EQ(orvel_init(nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[orvel] ERROR: Already initialized\n");
    EXPECT_EQ(error_text(), "Already initialized");
    EXPECT_EQ(g_initialized, 1);
    EXPECT_EQ(g_env, env);
}

TEST_F(Lifecycle, ErrorsAreClearedOnEntryAndKeptByShutdown) {
    ASSERT_EQ(orvel_init(nullptr), 0);
    testing::internal::CaptureStderr();
    ASSERT_EQ(orvel_init(nullptr), -1);
    orvel_shutdown();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(error_text(), "Already initialized");  // shutdown keeps it
    orvel_set_speed(0, 1.0f);
    orvel_unload_voice(0);
    EXPECT_EQ(orvel_get_voice_sample_rate(0), -1);
    EXPECT_EQ(error_text(), "Already initialized");  // so do setters, getters, unload
    ASSERT_EQ(orvel_init(nullptr), 0);
    EXPECT_EQ(orvel_get_error(), nullptr);  // a successful init clears it
}

TEST_F(Lifecycle, InitShutdownInitWorksAgain) {
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(orvel_init(nullptr), 0) << "cycle " << i;
        for (const VoiceSlot &slot : g_voices) {
            EXPECT_EQ(slot.loaded, 0);
            EXPECT_EQ(slot.speaker_id, -1);
        }
        orvel_shutdown();
    }
}

TEST_F(Lifecycle, CallsBeforeInitFailCleanly) {
    int16_t *samples = reinterpret_cast<int16_t *>(0x1);
    int32_t count = 77;
    testing::internal::CaptureStderr();
    EXPECT_EQ(orvel_load_voice("voice.onnx", nullptr), -1);
    EXPECT_EQ(error_text(), "Not initialized \xE2\x80\x94 call orvel_init() first");
    EXPECT_EQ(orvel_speak_to_buffer(0, "hello", &samples, &count), -1);
    EXPECT_EQ(error_text(), "Not initialized");
    EXPECT_EQ(samples, reinterpret_cast<int16_t *>(0x1));
    EXPECT_EQ(count, 77);
    EXPECT_EQ(orvel_speak_to_file(0, "hello", nullptr), -1);
    EXPECT_EQ(error_text(), "wav_path is NULL");
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(orvel_get_voice_sample_rate(0), -1);
    EXPECT_EQ(orvel_get_num_speakers(0), -1);
    orvel_free_audio(nullptr);
}

TEST_F(Lifecycle, LongMessagesAreCutTo511Bytes) {
    std::string long_text(600, 'm');
    testing::internal::CaptureStderr();
    set_error("%s", long_text.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[orvel] ERROR: " + long_text.substr(0, 511) + "\n");
    EXPECT_EQ(error_text(), long_text.substr(0, 511));
}

// eSpeak NG 1.51 calls exit() on bad data unless told not to; the host must get
// -1 instead, and a later init must work without deadlocking.
TEST_F(Lifecycle, BadDataFolderFailsAndTheHostRecovers) {
    std::string empty = scratch_dir() + "/no-data";
    ASSERT_EQ(mkdir(empty.c_str(), 0700), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(orvel_init(empty.c_str()), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Unusable espeak-ng data file: " + empty + "/phontab (missing)\n"), std::string::npos) << err;
    std::string message = "Failed to initialize espeak-ng (data path: " + empty + ")";
    EXPECT_NE(err.find("[orvel] ERROR: " + message + "\n"), std::string::npos) << err;
    EXPECT_EQ(error_text(), message);
    EXPECT_EQ(g_initialized, 0);

    ASSERT_EQ(orvel_init(nullptr), 0);
    orvel_shutdown();
    ASSERT_EQ(orvel_init(nullptr), 0);
}

TEST_F(Lifecycle, MissingEntryPointFailsInit) {
    // A data path beside a copy of the stub, holding the installed data so
    // that the stub is the one thing that fails.
    const std::string folder = scratch_dir() + "/stub-no-terminate", data = folder + "/data";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(data.c_str(), 0700), 0);
    ASSERT_EQ(symlink("/usr/lib/x86_64-linux-gnu/espeak-ng-data", (data + "/espeak-ng-data").c_str()), 0);
    write_scratch_file("stub-no-terminate/libespeak-ng.so.1", read_file(stub_library("no_terminate")));
    testing::internal::CaptureStderr();
    EXPECT_EQ(orvel_init(data.c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Failed to resolve espeak-ng functions\n[orvel] ERROR: Failed to initialize espeak-ng (data path: " +
                  data + ")\n");
}
