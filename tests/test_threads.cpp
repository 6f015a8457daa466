// Several host threads calling the library at once: each request gets exactly
// the audio it would get alone, and each thread reads its own calls' message.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine_fixture.h"
#include "orvel.h"
#include "test_util.h"

namespace {

std::vector<int16_t> speak_samples(int voice, const char *text) {
    int16_t *samples = nullptr;
    int32_t count = 0;
    if (orvel_speak_to_buffer(voice, text, &samples, &count) != 0) return {};
    std::vector<int16_t> out(samples, samples + count);
    orvel_free_audio(samples);
    return out;
}

class Threads : public EngineTest {};

}  // namespace

TEST_F(Threads, ConcurrentCallsAreSerialisedAndKeepTheirOwnMessages) {
    testing::internal::CaptureStderr();
    const int a = orvel_load_voice(test_voice("probe.onnx").c_str(), nullptr);
    const int b = orvel_load_voice(test_voice("probe_multi.onnx").c_str(), nullptr);
    ASSERT_EQ(a, 0);
    ASSERT_EQ(b, 1);
    orvel_set_speaker(b, 2);
    // The probe echoes ids, scales and speaker: any mix-up between requests,
    // voices or settings shows in the samples.
    const char *const texts[2] = {"Hello world. How are you, friend?", "Good morning; the sun is up."};
    const std::vector<int16_t> expected[2] = {speak_samples(a, texts[0]), speak_samples(b, texts[1])};
    ASSERT_FALSE(expected[0].empty());
    ASSERT_FALSE(expected[1].empty());

    constexpr int kRounds = 150;
    std::atomic<int> wrong{0}, wrong_message{0};
    auto speaker = [&](int which) {
        const int voice = which == 0 ? a : b;
        for (int i = 0; i < kRounds; ++i) {
            if (speak_samples(voice, texts[which]) != expected[which]) ++wrong;
            if (orvel_get_error() != nullptr) ++wrong_message;
            orvel_set_speed(voice, 0.0f);  // back to the configured value: changes nothing
        }
    };
    // Fails every call: its message must stay its own, and never reach the others.
    auto failer = [&] {
        for (int i = 0; i < kRounds; ++i) {
            int16_t *samples = nullptr;
            int32_t count = 0;
            if (orvel_speak_to_buffer(7, "Hello", &samples, &count) != -1) ++wrong;
            const char *e = orvel_get_error();
            if (!e || std::strcmp(e, "Invalid voice_id: 7") != 0) ++wrong_message;
            if (orvel_get_voice_sample_rate(a) != 22050) ++wrong;
        }
    };
    std::thread t1(speaker, 0), t2(speaker, 1), t3(failer);
    t1.join();
    t2.join();
    t3.join();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(wrong_message.load(), 0);
}

// The same, step by step, so that a message shared between threads shows at
// once rather than in the odd run where two calls happen to interleave: each
// thread's message is set, then the other thread fails and succeeds in turn
// before the first one reads its own.
TEST_F(Threads, EachThreadReadsItsOwnMessageWhateverTheOthersDid) {
    testing::internal::CaptureStderr();
    const int voice = orvel_load_voice(test_voice("probe.onnx").c_str(), nullptr);
    ASSERT_EQ(voice, 0);
    std::atomic<int> step{0};
    auto wait_for = [&](int s) {
        while (step.load() < s) std::this_thread::yield();
    };
    std::string first_saw, second_saw;
    std::thread first([&] {
        int16_t *samples = nullptr;
        int32_t count = 0;
        orvel_speak_to_buffer(7, "Hello", &samples, &count);  // "Invalid voice_id: 7"
        step = 1;
        wait_for(2);  // the other thread has failed otherwise, and then succeeded
        const char *e = orvel_get_error();
        first_saw = e ? e : "<none>";
        step = 3;
    });
    std::thread second([&] {
        wait_for(1);
        int16_t *samples = nullptr;
        int32_t count = 0;
        orvel_speak_to_buffer(9, "Hello", &samples, &count);  // "Invalid voice_id: 9"
        const char *e = orvel_get_error();
        second_saw = e ? e : "<none>";
        orvel_set_speed(voice, 0.0f);  // a call that succeeds clears this thread's message
        step = 2;
        wait_for(3);
    });
    first.join();
    second.join();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(first_saw, "Invalid voice_id: 7");
    EXPECT_EQ(second_saw, "Invalid voice_id: 9");
    EXPECT_EQ(orvel_get_error(), nullptr) << "the main thread made no failing call";
}
