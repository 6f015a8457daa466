// The server's engine on its own: turns taken by request, a listener that
// falls behind, cancellation, open requests fed piece by piece, the request
// bound, text with nothing to say, and stopping. Uses the probe voice, whose
// output echoes the speaker and length scale it was given.
#include "engine.h"

#include "orvel.h"

#include <gtest/gtest.h>

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
    void start(size_t max_requests = 8, size_t max_buffered = 16) {
        EngineOptions options;
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
    auto fast = engine.submit(1, 2, 2.0f, pieces(1), false, &refusal);
    auto plain = engine.submit(1, -1, 1.0f, pieces(1), false, &refusal);
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
    auto long_request = engine.submit(0, -1, 1.0f, pieces(12), false, &refusal);
    auto short_request = engine.submit(0, -1, 1.0f, pieces(1), false, &refusal);
    ASSERT_TRUE(long_request && short_request);
    EXPECT_EQ(read_all(*short_request).size(), 1u);
    EXPECT_GE(engine.stats().queued_pieces, 8u);
    EXPECT_EQ(read_all(*long_request).size(), 12u);
    EXPECT_EQ(engine.stats().queued_pieces, 0u);
}

TEST_F(ServerEngine, CancelledAndDroppedRequestsStopAtOnce) {
    start(8, 1);
    auto cancelled = engine.submit(0, -1, 1.0f, pieces(20), false, &refusal);
    ASSERT_TRUE(cancelled);
    std::vector<int16_t> samples;
    ASSERT_EQ(cancelled->next(&samples, kWait), Request::Status::Chunk);
    cancelled->cancel();
    EXPECT_EQ(cancelled->next(&samples, kWait), Request::Status::Failed);
    EXPECT_TRUE(cancelled->cancelled());
    EXPECT_EQ(engine.stats().queued_pieces, 0u);

    auto dropped = engine.submit(0, -1, 1.0f, pieces(20), false, &refusal);
    ASSERT_TRUE(dropped);
    dropped.reset();
    EXPECT_TRUE(live_falls_to(engine, 1));  // the cancelled one is still held here
    cancelled.reset();
    EXPECT_TRUE(live_falls_to(engine, 0));
    EXPECT_EQ(engine.stats().queued_pieces, 0u);
}

TEST_F(ServerEngine, OpenRequestsTakeMoreTextUntilFinished) {
    start();
    auto request = engine.submit(0, -1, 1.0f, {}, true, &refusal);
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
    auto a = engine.submit(0, -1, 1.0f, pieces(1), false, &refusal);
    auto b = engine.submit(0, -1, 1.0f, pieces(1), false, &refusal);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(engine.submit(0, -1, 1.0f, pieces(1), false, &refusal), nullptr);
    EXPECT_EQ(refusal, Engine::Refusal::Busy);
    a.reset();
    ASSERT_TRUE(live_falls_to(engine, 1));
    auto c = engine.submit(0, -1, 1.0f, {{"...", true}, {"?!", false}}, false, &refusal);
    ASSERT_TRUE(c);
    std::vector<int16_t> samples;
    EXPECT_EQ(c->next(&samples, kWait), Request::Status::Failed);
    EXPECT_TRUE(c->input_error()) << c->error();
    EXPECT_FALSE(c->cancelled());

    testing::internal::CaptureStderr();
    engine.stop();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(engine.submit(0, -1, 1.0f, pieces(1), false, &refusal), nullptr);
    EXPECT_EQ(refusal, Engine::Refusal::Stopping);
}

TEST_F(ServerEngine, PiecesWithoutPhonemesArePassedOver) {
    start();
    // Arabic-Indic three, Cherokee, a fullwidth pound sign: eSpeak NG reads
    // none of them; the sentences around them are still spoken.
    testing::internal::CaptureStderr();
    auto mixed = engine.submit(0, -1, 1.0f, {{"Hello.", true}, {"\xD9\xA3", true}, {"\xE1\x8F\xA3", true},
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

    auto none = engine.submit(0, -1, 1.0f, {{"\xD9\xA3", true}, {"\xEF\xBF\xA1", true}}, false, &refusal);
    ASSERT_TRUE(none);
    std::vector<int16_t> samples;
    testing::internal::CaptureStderr();
    EXPECT_EQ(none->next(&samples, kWait), Request::Status::Failed);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(none->input_error()) << none->error();
}

TEST_F(ServerEngine, ResolvesVoicesAndSpeakers) {
    start();
    size_t index = 9;
    int speaker = 9;
    EXPECT_TRUE(engine.resolve_voice("", &index, &speaker));
    EXPECT_EQ(index, 0u);
    EXPECT_EQ(speaker, -1);
    EXPECT_TRUE(engine.resolve_voice("probe_multi:3", &index, &speaker));
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(speaker, 3);
    EXPECT_FALSE(engine.resolve_voice("probe_multi:4", &index, &speaker));
    EXPECT_FALSE(engine.resolve_voice("probe:0:0", &index, &speaker));
    EXPECT_FALSE(engine.resolve_voice("nobody", &index, &speaker));
}
