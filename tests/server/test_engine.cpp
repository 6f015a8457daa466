// The server's engine on its own: turns taken by request, a listener that
// falls behind, a wake-up in the middle of a round, cancellation, open
// requests fed piece by piece, the request bound, text with nothing to say,
// stopping, and how requests name their voice. Uses the probe voice, whose
// output echoes the speaker and length scale it was given.
#include "engine.h"
#include "voice_choice.h"

#include "orvel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using orvel_server::Engine;
using orvel_server::EngineOptions;
using orvel_server::Piece;
using orvel_server::Request;

namespace {

constexpr auto kWait = std::chrono::seconds(60);

orvel_tools::VoiceInfo voice(const char *name, int speakers) {
    orvel_tools::VoiceInfo info;
    std::string error;
    std::string path = std::string(ORVEL_TEST_VOICES_DIR) + "/" + name + ".onnx";
    EXPECT_TRUE(orvel_tools::read_voice_info(path, "", &info, &error)) << error;
    EXPECT_EQ(info.num_speakers, speakers);
    return info;
}

std::vector<Piece> pieces(int n) {
    std::vector<Piece> out;
    for (int i = 0; i < n; ++i) out.push_back({"Sentence number " + std::to_string(i + 1) + ".", true});
    return out;
}

// Reads a request to its end; returns the chunks, or fails the test.
std::vector<std::vector<int16_t>> read_all(Request &request) {
    std::vector<std::vector<int16_t>> chunks;
    for (;;) {
        std::vector<int16_t> samples;
        Request::Status status = request.next(&samples, kWait);
        if (status == Request::Status::Done) return chunks;
        EXPECT_EQ(status, Request::Status::Chunk) << request.error();
        if (status != Request::Status::Chunk) return chunks;
        chunks.push_back(std::move(samples));
    }
}

// A dropped request stays counted until the engine lets go of the piece it
// may be speaking for it; waits (boundedly) for the count to fall to n.
bool live_falls_to(const Engine &engine, size_t n) {
    for (int i = 0; i < 6000 && engine.stats().live_requests > n; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return engine.stats().live_requests == n;
}

class ServerEngine : public ::testing::Test {
protected:
    void start(size_t max_requests = 8, size_t max_buffered = 16, std::function<void()> round_gap_hook = {}) {
        EngineOptions options;
        options.round_gap_hook = std::move(round_gap_hook);
        options.voices = {voice("probe", 1), voice("probe_multi", 4)};
        options.max_requests = max_requests;
        options.max_buffered_chunks = max_buffered;
        options.sentence_silence_ms = 0;
        testing::internal::CaptureStderr();
        std::string error;
        bool ok = engine.start(options, &error);
        testing::internal::GetCapturedStderr();
        ASSERT_TRUE(ok) << error;
    }
    void TearDown() override {
        testing::internal::CaptureStderr();
        engine.stop();
        testing::internal::GetCapturedStderr();
    }
    Engine engine;
    Engine::Refusal refusal = Engine::Refusal::None;
};

}  // namespace

TEST_F(ServerEngine, SpeedAndSpeakerBelongToTheirRequest) {
    start();
    auto fast = engine.submit(1, 2, 0.5f, pieces(1), false, &refusal);
    auto plain = engine.submit(1, -1, 0.0f, pieces(1), false, &refusal);
    ASSERT_TRUE(fast && plain);
    auto a = read_all(*fast), b = read_all(*plain);
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(b.size(), 1u);
    // [peak, length, sid, noise, length scale, noise width, ids...]
    EXPECT_EQ(a[0][2], 2);
    EXPECT_EQ(a[0][4], 500);
    EXPECT_EQ(b[0][2], 0);  // a multi-speaker voice's default speaker
    EXPECT_EQ(b[0][4], 1000);
    EXPECT_EQ(fast->sample_rate(), 22050);
}

TEST_F(ServerEngine, AListenerThatFallsBehindHoldsUpNobody) {
    start(8, 2);
    // The long request is never read while the short one runs: after two
    // chunks its turns are skipped, and the short one is still spoken.
    auto long_request = engine.submit(0, -1, 0.0f, pieces(12), false, &refusal);
    auto short_request = engine.submit(0, -1, 0.0f, pieces(1), false, &refusal);
    ASSERT_TRUE(long_request && short_request);
    EXPECT_EQ(read_all(*short_request).size(), 1u);
    EXPECT_GE(engine.stats().queued_pieces, 8u);
    EXPECT_EQ(read_all(*long_request).size(), 12u);
    EXPECT_EQ(engine.stats().queued_pieces, 0u);
}

TEST_F(ServerEngine, CancelledAndDroppedRequestsStopAtOnce) {
    start(8, 1);
    auto cancelled = engine.submit(0, -1, 0.0f, pieces(20), false, &refusal);
    ASSERT_TRUE(cancelled);
    std::vector<int16_t> samples;
    ASSERT_EQ(cancelled->next(&samples, kWait), Request::Status::Chunk);
    cancelled->cancel();
    EXPECT_EQ(cancelled->next(&samples, kWait), Request::Status::Failed);
    EXPECT_TRUE(cancelled->cancelled());
    EXPECT_EQ(engine.stats().queued_pieces, 0u);

    auto dropped = engine.submit(0, -1, 0.0f, pieces(20), false, &refusal);
    ASSERT_TRUE(dropped);
    dropped.reset();
    EXPECT_TRUE(live_falls_to(engine, 1));  // the cancelled one is still held here
    cancelled.reset();
    EXPECT_TRUE(live_falls_to(engine, 0));
    EXPECT_EQ(engine.stats().queued_pieces, 0u);
}

TEST_F(ServerEngine, OpenRequestsTakeMoreTextUntilFinished) {
    start();
    auto request = engine.submit(0, -1, 0.0f, {}, true, &refusal);
    ASSERT_TRUE(request);
    std::vector<int16_t> samples;
    EXPECT_EQ(request->next(&samples, std::chrono::milliseconds(50)), Request::Status::Timeout);
    request->append(pieces(2));
    EXPECT_EQ(request->next(&samples, kWait), Request::Status::Chunk);
    EXPECT_EQ(request->next(&samples, kWait), Request::Status::Chunk);
    EXPECT_EQ(request->next(&samples, std::chrono::milliseconds(50)), Request::Status::Timeout);
    request->append(pieces(1));
    request->finish_input();
    request->append(pieces(5));  // ignored: the input is finished
    EXPECT_EQ(read_all(*request).size(), 1u);
}

TEST_F(ServerEngine, RefusalsAndFailures) {
    start(2);
    auto a = engine.submit(0, -1, 0.0f, pieces(1), false, &refusal);
    auto b = engine.submit(0, -1, 0.0f, pieces(1), false, &refusal);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(engine.submit(0, -1, 0.0f, pieces(1), false, &refusal), nullptr);
    EXPECT_EQ(refusal, Engine::Refusal::Busy);
    a.reset();
    ASSERT_TRUE(live_falls_to(engine, 1));
    auto c = engine.submit(0, -1, 0.0f, {{"...", true}, {"?!", false}}, false, &refusal);
    ASSERT_TRUE(c);
    std::vector<int16_t> samples;
    EXPECT_EQ(c->next(&samples, kWait), Request::Status::Failed);
    EXPECT_TRUE(c->input_error()) << c->error();
    EXPECT_FALSE(c->cancelled());

    testing::internal::CaptureStderr();
    engine.stop();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(engine.submit(0, -1, 0.0f, pieces(1), false, &refusal), nullptr);
    EXPECT_EQ(refusal, Engine::Refusal::Stopping);
}

TEST_F(ServerEngine, PiecesWithoutPhonemesArePassedOver) {
    start();
    // Arabic-Indic three, Cherokee, a fullwidth pound sign: eSpeak NG reads
    // none of them; the sentences around them are still spoken.
    testing::internal::CaptureStderr();
    auto mixed = engine.submit(0, -1, 0.0f, {{"Hello.", true}, {"\xD9\xA3", true}, {"\xE1\x8F\xA3", true},
                                              {"...", true}, {"World.", true}},
                               false, &refusal);
    ASSERT_TRUE(mixed);
    EXPECT_EQ(read_all(*mixed).size(), 2u);
    std::string log = testing::internal::GetCapturedStderr();
    // One line for the request, naming the first piece lost.
    const std::string line = "skipped a piece of a request that eSpeak NG has no phonemes for: \"\xD9\xA3\"\n";
    size_t at = log.find(line);
    EXPECT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.find("skipped", at + line.size()), std::string::npos) << log;

    auto none = engine.submit(0, -1, 0.0f, {{"\xD9\xA3", true}, {"\xEF\xBF\xA1", true}}, false, &refusal);
    ASSERT_TRUE(none);
    std::vector<int16_t> samples;
    testing::internal::CaptureStderr();
    EXPECT_EQ(none->next(&samples, kWait), Request::Status::Failed);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(none->input_error()) << none->error();
}

TEST_F(ServerEngine, AWakeUpWhileTheLockIsDroppedIsNotLost) {
    // The engine drops its lock in the middle of a round, to let go of a
    // request it passes over (here one whose listener has a chunk unread).
    // A request submitted in that window must still be spoken: its wake-up
    // comes while the engine is not waiting for one.
    std::shared_ptr<Request> late;
    std::atomic<bool> submitted{false};
    start(8, 1, [&] {
        if (submitted) return;
        Engine::Refusal ignored;
        late = engine.submit(0, -1, 0.0f, pieces(1), false, &ignored);
        submitted = true;
    });
    auto unread = engine.submit(0, -1, 0.0f, pieces(3), false, &refusal);
    ASSERT_TRUE(unread);
    for (int i = 0; i < 6000 && !submitted; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(submitted);
    ASSERT_TRUE(late);
    // Nothing else happens from here on that would wake the engine.
    std::vector<int16_t> samples;
    EXPECT_EQ(late->next(&samples, std::chrono::seconds(5)), Request::Status::Chunk);
}

TEST_F(ServerEngine, ResolvesVoicesAndSpeakers) {
    start();
    using orvel_server::choose_voice;
    using orvel_server::VoiceChoice;
    const auto &voices = engine.voices();
    VoiceChoice choice;
    std::string error;
    auto chooses = [&](std::vector<std::string> fields, size_t voice, int speaker) {
        fields.resize(3);
        error.clear();
        bool ok = choose_voice(voices, {fields[0], fields[1], fields[2], true}, &choice, &error);
        return ok && choice.voice == voice && choice.speaker == speaker;
    };
    EXPECT_TRUE(chooses({}, 0, -1)) << error;
    EXPECT_TRUE(chooses({"probe_multi:3"}, 1, 3)) << error;
    EXPECT_TRUE(chooses({"probe_multi", "2"}, 1, 2)) << error;
    EXPECT_TRUE(chooses({"", "", "EN_us"}, 0, -1)) << error;
    EXPECT_TRUE(chooses({"", "", "en-gb"}, 0, -1)) << error;  // by its primary subtag
    // OpenAI's names go round the default voice's speakers: one here.
    EXPECT_TRUE(chooses({"nova"}, 0, 0)) << error;
    EXPECT_FALSE(chooses({"probe_multi:4"}, 0, -1));
    EXPECT_EQ(error, "unknown voice 'probe_multi:4'");
    EXPECT_FALSE(chooses({"probe:0:0"}, 0, -1));
    EXPECT_FALSE(chooses({"nobody"}, 0, -1));
    EXPECT_FALSE(chooses({"probe_multi", "ada"}, 0, -1));
    EXPECT_EQ(error, "the voice 'probe_multi' has no speaker 'ada'");
    EXPECT_FALSE(chooses({"", "", "de"}, 0, -1));
    EXPECT_EQ(error, "no voice speaks the language 'de' (the voices speak en-us)");
    EXPECT_FALSE(chooses({"probe", "", "cs"}, 0, -1));  // named, but not of the language
    EXPECT_EQ(error, "the voice 'probe' speaks en-us, not 'cs'");
}

// A configuration the tools could not read as JSON leaves their defaults;
// the voice speaks by what the library read, and the engine says that.
TEST(ServerEngineVoices, TakeTheRateAndSpeakersOfTheLoadedVoice) {
    orvel_tools::VoiceInfo rate = voice("fixed_16k", 1), multi = voice("probe_multi", 4);
    rate.sample_rate = 22050;
    multi.num_speakers = 1;
    EngineOptions options;
    options.voices = {rate, multi};
    Engine engine;
    testing::internal::CaptureStderr();
    std::string error;
    const bool ok = engine.start(options, &error);
    testing::internal::GetCapturedStderr();
    ASSERT_TRUE(ok) << error;
    ASSERT_EQ(engine.voices().size(), 2u);
    EXPECT_EQ(engine.voices()[0].sample_rate, 16000);
    EXPECT_EQ(engine.voices()[1].num_speakers, 4);
    testing::internal::CaptureStderr();
    engine.stop();
    testing::internal::GetCapturedStderr();
}
