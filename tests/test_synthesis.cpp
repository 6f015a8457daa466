// Synthesis: argument checks, the pipeline seen through the probe voices, peak
// normalisation through the fixed-waveform voices, the output checks through the
// broken voices, WAV output, capacity cuts and a repeated lifecycle. Everything
// runs against the real eSpeak NG and ONNX Runtime.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <ostream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "audio.h"
#include "orvel.h"
#include "orvel_internal.h"
#include "phonemize.h"
#include "probe_voice.h"
#include "engine_fixture.h"
#include "test_util.h"

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr double kPi = 3.14159265358979323846;

// Configured scales of every test voice (tools/make_test_voices.py).
constexpr float kConfigNoise = 0.667f;
constexpr float kConfigLength = 1.0f;
constexpr float kConfigNoiseW = 0.8f;
const char kConfigRunLine[] = "[orvel] Running ONNX inference (noise=0.667, speed=1.000, nw=0.800)...\n";

// Sentinels for out-parameters that must stay untouched.
int16_t g_sentinel_sample;
int16_t *const kUntouchedSamples = &g_sentinel_sample;
constexpr int32_t kUntouchedCount = 12345;

std::vector<int32_t> utf8(const std::string &s) { return code_points(s); }

// The id sequence the test voices' map gives for these phonemes, built from the
// test's own copy of the map: "^" "_" (phoneme "_")* "$", cut at capacity.
std::vector<int64_t> framed_ids(const std::vector<int32_t> &phonemes, size_t capacity = 4096) {
    const int64_t start = probe_phoneme_id('^'), pad = probe_phoneme_id('_'), end = probe_phoneme_id('$');
    std::vector<int64_t> ids = {start, pad};
    for (int32_t cp : phonemes) {
        int64_t id = probe_phoneme_id(cp);
        if (id < 0) continue;
        ids.push_back(id);
        ids.push_back(pad);
    }
    ids.push_back(end);
    if (ids.size() > capacity) ids.resize(capacity);
    return ids;
}

// One orvel_speak_to_buffer call: result, a copy of the samples, the log.
struct Speech {
    int result = -2;
    bool buffer_non_null = false;
    int32_t count = -1;
    std::vector<int16_t> samples;
    std::string log;
};

Speech speak_quietly(int id, const char *text) {
    Speech s;
    int16_t *samples = kUntouchedSamples;
    int32_t count = kUntouchedCount;
    testing::internal::CaptureStderr();
    s.result = orvel_speak_to_buffer(id, text, &samples, &count);
    s.log = testing::internal::GetCapturedStderr();
    s.count = count;
    s.buffer_non_null = samples != nullptr && samples != kUntouchedSamples;
    if (s.result == 0 && samples != nullptr && samples != kUntouchedSamples && count > 0)
        s.samples.assign(samples, samples + count);
    if (samples != kUntouchedSamples) orvel_free_audio(samples);
    return s;
}

class Synthesis : public EngineTest {
protected:
    static int load(const std::string &voice) {
        testing::internal::CaptureStderr();
        int id = orvel_load_voice(test_voice(voice + ".onnx").c_str(), nullptr);
        testing::internal::GetCapturedStderr();
        return id;
    }
    static Speech speak(int id, const char *text) { return speak_quietly(id, text); }
    // Speaks with a probe voice and decodes what the model received.
    static ProbeReading probe(int id, const char *text, std::string *log = nullptr) {
        Speech s = speak(id, text);
        if (log) *log = s.log;
        ProbeReading reading;
        EXPECT_EQ(s.result, 0) << error_text();
        EXPECT_TRUE(decode_probe(s.samples.data(), s.count, &reading)) << "not a probe output";
        return reading;
    }
    static int speak_file(int id, const char *text, const std::string &path, std::string *log) {
        testing::internal::CaptureStderr();
        int result = orvel_speak_to_file(id, text, path.c_str());
        *log = testing::internal::GetCapturedStderr();
        return result;
    }
};

// An argument failure: -1, exactly the message, echoed once, and the
// out-parameters left as the host set them.
void expect_argument_failure(int id, const char *text, int16_t **out_samples, int32_t *out_count,
                             const std::string &message) {
    if (out_samples) *out_samples = kUntouchedSamples;
    if (out_count) *out_count = kUntouchedCount;
    testing::internal::CaptureStderr();
    int result = orvel_speak_to_buffer(id, text, out_samples, out_count);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(error_text(), message);
    EXPECT_EQ(log, "[orvel] ERROR: " + message + "\n");
    if (out_samples) {
        EXPECT_EQ(*out_samples, kUntouchedSamples);
    }
    if (out_count) {
        EXPECT_EQ(*out_count, kUntouchedCount);
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Arguments, in the order they are tested
// ---------------------------------------------------------------------------

TEST(SynthesisBeforeInit, EveryCallIsNotInitialized) {
    int16_t *samples;
    int32_t count;
    for (int id : {0, -1, 8}) {
        SCOPED_TRACE(id);
        expect_argument_failure(id, "Hello", &samples, &count, "Not initialized");
    }
    // The initialisation test comes before the text and out-pointer tests.
    expect_argument_failure(0, nullptr, nullptr, nullptr, "Not initialized");
    expect_argument_failure(0, "", &samples, nullptr, "Not initialized");
}

TEST(SynthesisBeforeInit, SpeakToFileWithNullPathSaysSoFirst) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(orvel_speak_to_file(0, "Hello", nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[orvel] ERROR: wav_path is NULL\n");
    EXPECT_EQ(error_text(), "wav_path is NULL");

    std::string path = scratch_dir() + "/before-init.wav";
    testing::internal::CaptureStderr();
    EXPECT_EQ(orvel_speak_to_file(0, "Hello", path.c_str()), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(error_text(), "Not initialized");
    EXPECT_FALSE(file_exists(path));
}

TEST_F(Synthesis, InvalidVoiceIds) {
    ASSERT_EQ(load("probe"), 0);
    ASSERT_EQ(load("fixed_half"), 1);
    testing::internal::CaptureStderr();
    orvel_unload_voice(1);  // a slot that held a voice and is free again
    testing::internal::GetCapturedStderr();
    int16_t *samples;
    int32_t count;
    for (int id : {-1, 8, 1, 2, 7, std::numeric_limits<int>::min()}) {
        SCOPED_TRACE(id);
        expect_argument_failure(id, "Hello", &samples, &count, "Invalid voice_id: " + std::to_string(id));
    }
    // The voice test comes before the text and out-pointer tests.
    expect_argument_failure(8, nullptr, nullptr, nullptr, "Invalid voice_id: 8");
}

TEST_F(Synthesis, NullOrEmptyTextIsEmptyText) {
    ASSERT_EQ(load("probe"), 0);
    int16_t *samples;
    int32_t count;
    expect_argument_failure(0, nullptr, &samples, &count, "Empty text");
    expect_argument_failure(0, "", &samples, &count, "Empty text");
    // The text test comes before the out-pointer test.
    expect_argument_failure(0, "", &samples, nullptr, "Empty text");
    expect_argument_failure(0, nullptr, nullptr, nullptr, "Empty text");
}

TEST_F(Synthesis, NullOutputPointers) {
    ASSERT_EQ(load("probe"), 0);
    int16_t *samples;
    int32_t count;
    expect_argument_failure(0, "Hello", nullptr, &count, "NULL output pointers");
    expect_argument_failure(0, "Hello", &samples, nullptr, "NULL output pointers");
    expect_argument_failure(0, "Hello", nullptr, nullptr, "NULL output pointers");
}

TEST_F(Synthesis, OneSpaceReachesThePhonemizerAndFailsInsideSynthesis) {
    ASSERT_EQ(load("probe"), 0);
    Speech s = speak(0, " ");
    EXPECT_EQ(s.result, -1);
    EXPECT_EQ(error_text(), "Phonemization failed for text");
    EXPECT_EQ(s.log, "[orvel] ERROR: Phonemization failed for text\n");
    // Synthesis had started: the out-parameters are reset, not left alone.
    EXPECT_FALSE(s.buffer_non_null);
    EXPECT_EQ(s.count, 0);
}

TEST_F(Synthesis, SuccessSetsTheOutParametersAndClearsAnEarlierError) {
    ASSERT_EQ(load("fixed_half"), 0);
    ASSERT_EQ(speak(0, " ").result, -1);
    ASSERT_NE(orvel_get_error(), nullptr);
    Speech s = speak(0, "Hello");
    ASSERT_EQ(s.result, 0);
    EXPECT_EQ(orvel_get_error(), nullptr);
    EXPECT_TRUE(s.buffer_non_null);
    EXPECT_EQ(s.count, 5);
    EXPECT_EQ(s.log.find("ERROR"), std::string::npos);

    // The same for orvel_speak_to_file after an argument failure.
    int16_t *samples;
    int32_t count;
    expect_argument_failure(3, "Hello", &samples, &count, "Invalid voice_id: 3");
    std::string log;
    EXPECT_EQ(speak_file(0, "Hello", scratch_dir() + "/clears.wav", &log), 0);
    EXPECT_EQ(orvel_get_error(), nullptr);
}

// ---------------------------------------------------------------------------
// The probe voices: what synthesis passes to the model
// ---------------------------------------------------------------------------

struct IdCase {
    const char *text;
    const char *ipa;  // eSpeak NG en-us, clauses joined without separator
};

void PrintTo(const IdCase &c, std::ostream *os) { *os << c.text; }

class SynthesisProbeIds : public Synthesis, public ::testing::WithParamInterface<IdCase> {};

TEST_P(SynthesisProbeIds, IdsFollowTheVoiceMapAndTheirCountIsPassed) {
    ASSERT_EQ(load("probe"), 0);
    std::string log;
    ProbeReading r = probe(0, GetParam().text, &log);
    std::vector<int32_t> phonemes = utf8(GetParam().ipa);
    std::vector<int64_t> expected = framed_ids(phonemes);
    ASSERT_EQ(expected.size(), 2 * phonemes.size() + 3) << "every phoneme is in the test map";
    EXPECT_EQ(r.ids, expected);
    EXPECT_EQ(r.n, static_cast<int64_t>(r.ids.size()));
    EXPECT_EQ(r.sid, kProbeNoSid);
    std::string n_samples = std::to_string(kProbeHeaderSamples + expected.size());
    EXPECT_EQ(log, "[orvel] Phonemes: " + std::to_string(phonemes.size()) + " codepoints\n" +
                       "[orvel] Phoneme IDs: " + std::to_string(expected.size()) + "\n" + kConfigRunLine +
                       "[orvel] Generated " + n_samples + " audio samples (0.00 seconds @ 22050Hz)\n");
}

INSTANTIATE_TEST_SUITE_P(RealEspeak, SynthesisProbeIds,
                         ::testing::Values(IdCase{"Hello world.", "həlˈoʊ wˈɜːld."},
                                           IdCase{"Hello world. How are you, friend?",
                                                  "həlˈoʊ wˈɜːld. hˈaʊ ɑːɹ juː, fɹˈɛnd?"}));

// A voice that maps none of the clause punctuation gets what it got when
// clauses were joined with nothing between them, plus the space between them.
TEST_F(Synthesis, VoiceWithoutPunctuationRowsGetsOnlyTheClauseSpace) {
    ASSERT_EQ(load("probe_no_marks"), 0);
    ProbeReading r = probe(0, "Hello, world. How are you; friend? Fine: yes! Ok.");
    EXPECT_EQ(r.ids, framed_ids(utf8("həlˈoʊ wˈɜːld hˈaʊ ɑːɹ juː fɹˈɛnd fˈaɪn jˈɛs ˌoʊkˈeɪ")));
}

struct ScaleCase {
    const char *name;
    float speed;    // orvel_set_speed: length scale
    float noise;    // orvel_set_noise: noise scale
    float noise_w;  // orvel_set_noise: noise width
    float expect_noise, expect_length, expect_noise_w;
    const char *run_line;
};

void PrintTo(const ScaleCase &c, std::ostream *os) { *os << c.name; }

class SynthesisScales : public Synthesis, public ::testing::WithParamInterface<ScaleCase> {};

TEST_P(SynthesisScales, OverridesAboveZeroWinElseTheConfig) {
    const ScaleCase &c = GetParam();
    ASSERT_EQ(load("probe"), 0);
    orvel_set_speed(0, c.speed);
    orvel_set_noise(0, c.noise, c.noise_w);
    std::string log;
    ProbeReading r = probe(0, "Hello", &log);
    EXPECT_EQ(r.scales_milli[0], probe_scale_milli(c.expect_noise));
    EXPECT_EQ(r.scales_milli[1], probe_scale_milli(c.expect_length));
    EXPECT_EQ(r.scales_milli[2], probe_scale_milli(c.expect_noise_w));
    EXPECT_EQ(count_of(log, c.run_line), 1u) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Overrides, SynthesisScales,
    ::testing::Values(
        ScaleCase{"NotSet", 0, 0, 0, kConfigNoise, kConfigLength, kConfigNoiseW, kConfigRunLine},
        ScaleCase{"AllPositive", 1.5f, 0.3f, 0.9f, 0.3f, 1.5f, 0.9f,
                  "[orvel] Running ONNX inference (noise=0.300, speed=1.500, nw=0.900)...\n"},
        ScaleCase{"Negative", -1.5f, -0.3f, -0.9f, kConfigNoise, kConfigLength, kConfigNoiseW, kConfigRunLine},
        ScaleCase{"NaN", kNaN, kNaN, kNaN, kConfigNoise, kConfigLength, kConfigNoiseW, kConfigRunLine},
        ScaleCase{"NegativeZero", -0.0f, -0.0f, -0.0f, kConfigNoise, kConfigLength, kConfigNoiseW,
                  kConfigRunLine},
        ScaleCase{"EachChosenOnItsOwn", 2.0f, kNaN, 0.25f, kConfigNoise, 2.0f, 0.25f,
                  "[orvel] Running ONNX inference (noise=0.667, speed=2.000, nw=0.250)...\n"},
        ScaleCase{"TinyPositiveStillWins", 0.001f, -2.0f, 0.0f, kConfigNoise, 0.001f, kConfigNoiseW,
                  "[orvel] Running ONNX inference (noise=0.667, speed=0.001, nw=0.800)...\n"}),
    [](const ::testing::TestParamInfo<ScaleCase> &info) { return std::string(info.param.name); });

// A non-finite setting is ignored: the value set before it stays.
TEST_F(Synthesis, NonFiniteSettingsAreIgnored) {
    constexpr float kInf = std::numeric_limits<float>::infinity();
    ASSERT_EQ(load("probe"), 0);
    orvel_set_speed(0, 1.5f);
    orvel_set_noise(0, 0.3f, 0.9f);
    orvel_set_speed(0, kInf);
    orvel_set_noise(0, kInf, -kInf);
    orvel_set_noise(0, kNaN, 0.4f);
    ProbeReading r = probe(0, "Hello");
    EXPECT_EQ(r.scales_milli[0], probe_scale_milli(0.3f));
    EXPECT_EQ(r.scales_milli[1], probe_scale_milli(1.5f));
    EXPECT_EQ(r.scales_milli[2], probe_scale_milli(0.4f));
}

TEST_F(Synthesis, OutputWithoutAFiniteSampleFails) {
    ASSERT_EQ(load("fixed_nonfinite"), 0);
    Speech s = speak(0, "Hello");
    EXPECT_EQ(s.result, -1);
    EXPECT_EQ(error_text(), "Model output has no finite sample (3 samples)");
}

struct SpeakerCase {
    const char *name;
    const char *voice;
    bool set_speaker;
    int speaker;
    int64_t expect_sid;  // kProbeNoSid: run with three inputs
};

void PrintTo(const SpeakerCase &c, std::ostream *os) { *os << c.name; }

class SynthesisSpeaker : public Synthesis, public ::testing::WithParamInterface<SpeakerCase> {};

TEST_P(SynthesisSpeaker, SidOnlyForAChosenSpeakerOfAMultiSpeakerVoice) {
    const SpeakerCase &c = GetParam();
    ASSERT_EQ(load(c.voice), 0);
    if (c.set_speaker) orvel_set_speaker(0, c.speaker);
    ProbeReading r = probe(0, "Hello");
    EXPECT_EQ(r.sid, c.expect_sid);
    EXPECT_EQ(orvel_get_error(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Speakers, SynthesisSpeaker,
    ::testing::Values(SpeakerCase{"MultiSpeaker0", "probe_multi", true, 0, 0},
                      SpeakerCase{"MultiSpeaker3", "probe_multi", true, 3, 3},
                      // The single-speaker probe has no "sid" input: feeding one would fail in ONNX Runtime.
                      SpeakerCase{"SingleSpeaker3", "probe", true, 3, kProbeNoSid},
                      SpeakerCase{"DefaultSidNotSet", "probe_multi_default_sid", false, 0, kProbeNoSid},
                      SpeakerCase{"DefaultSidMinus1", "probe_multi_default_sid", true, -1, kProbeNoSid},
                      SpeakerCase{"DefaultSidMinus5", "probe_multi_default_sid", true, -5, kProbeNoSid},
                      SpeakerCase{"DefaultSid2", "probe_multi_default_sid", true, 2, 2}),
    [](const ::testing::TestParamInfo<SpeakerCase> &info) { return std::string(info.param.name); });

TEST_F(Synthesis, MultiSpeakerVoiceWithoutASpeakerRunsWithThreeInputs) {
    ASSERT_EQ(load("probe_multi"), 0);  // "sid" required, so three inputs fail in ONNX Runtime
    Speech s = speak(0, "Hello");
    EXPECT_EQ(s.result, -1);
    EXPECT_EQ(error_text().rfind("ONNX Runtime: ", 0), 0u) << error_text();
    EXPECT_NE(error_text().find("Missing Input: sid"), std::string::npos) << error_text();
    EXPECT_FALSE(s.buffer_non_null);
    EXPECT_EQ(s.count, 0);
    orvel_set_speaker(0, 1);
    EXPECT_EQ(probe(0, "Hello").sid, 1);
}

// ---------------------------------------------------------------------------
// Peak normalisation through the fixed-waveform voices
// ---------------------------------------------------------------------------

struct FixedCase {
    const char *voice;
    std::vector<int16_t> expected;
};

void PrintTo(const FixedCase &c, std::ostream *os) { *os << c.voice; }

class SynthesisFixedWaveform : public Synthesis, public ::testing::WithParamInterface<FixedCase> {};

TEST_P(SynthesisFixedWaveform, Normalises) {
    const FixedCase &c = GetParam();
    ASSERT_EQ(load(c.voice), 0);
    Speech s = speak(0, "Hello");
    ASSERT_EQ(s.result, 0) << error_text();
    EXPECT_EQ(s.count, static_cast<int32_t>(c.expected.size()));
    EXPECT_EQ(s.samples, c.expected);
    EXPECT_EQ(count_of(s.log, "[orvel] Generated " + std::to_string(c.expected.size()) +
                                  " audio samples (0.00 seconds @ 22050Hz)\n"),
              1u)
        << s.log;
}

INSTANTIATE_TEST_SUITE_P(
    Voices, SynthesisFixedWaveform,
    ::testing::Values(FixedCase{"fixed_half", {32767, -32767, -16383, 16383, 0}},  // scale 65534, truncation
                      FixedCase{"fixed_quiet", {16383, -16383, 8191}},             // peak floor 0.01
                      FixedCase{"fixed_zeros", std::vector<int16_t>(100, 0)},
                      FixedCase{"fixed_inf", {32767, 32767, -16383}},  // the finite peak; inf clips
                      FixedCase{"fixed_nan", {32767, 0, -16383}},
                      FixedCase{"no_audio_section", {32767, -32767, -16383, 16383, 0}}),
    [](const ::testing::TestParamInfo<FixedCase> &info) { return std::string(info.param.voice); });

TEST_F(Synthesis, OneSecondAt22050Hz) {
    ASSERT_EQ(load("fixed_1s"), 0);
    Speech s = speak(0, "Hello");
    ASSERT_EQ(s.result, 0);
    ASSERT_EQ(s.count, 22050);
    EXPECT_EQ(count_of(s.log, "[orvel] Generated 22050 audio samples (1.00 seconds @ 22050Hz)\n"), 1u) << s.log;
    // A 440 Hz sine at 0.8 scaled to full scale, within one step of truncation.
    double peak = 0;
    for (int i = 0; i < 22050; ++i) peak = std::fmax(peak, std::fabs(0.8 * std::sin(2 * kPi * 440 * i / 22050.0)));
    int max_abs = 0;
    for (int i = 0; i < 22050; ++i) {
        double want = 32767 * 0.8 * std::sin(2 * kPi * 440 * i / 22050.0) / peak;
        ASSERT_NEAR(s.samples[i], want, 1.5) << i;
        max_abs = std::max(max_abs, std::abs(static_cast<int>(s.samples[i])));
    }
    EXPECT_GE(max_abs, 32766);
}

TEST_F(Synthesis, EmptyOutputSucceedsWithAFreeableBuffer) {
    ASSERT_EQ(load("fixed_empty"), 0);
    int16_t *samples = kUntouchedSamples;
    int32_t count = kUntouchedCount;
    testing::internal::CaptureStderr();
    int result = orvel_speak_to_buffer(0, "Hello", &samples, &count);
    std::string log = testing::internal::GetCapturedStderr();
    ASSERT_EQ(result, 0) << error_text();
    EXPECT_EQ(count, 0);
    EXPECT_NE(samples, nullptr);
    EXPECT_NE(samples, kUntouchedSamples);
    EXPECT_EQ(orvel_get_error(), nullptr);
    EXPECT_EQ(count_of(log, "[orvel] Generated 0 audio samples (0.00 seconds @ 22050Hz)\n"), 1u) << log;
    orvel_free_audio(samples);
    orvel_free_audio(nullptr);  // accepted, does nothing
}

// ---------------------------------------------------------------------------
// Outputs the library refuses: one clear message, null and 0
// ---------------------------------------------------------------------------

struct BadOutputCase {
    const char *voice;
    // ONNX Runtime's own failures are recorded as "ONNX Runtime: " and its text,
    // checked exactly; the library's own checks word their messages freely, so
    // only what they must name is checked: the message starts with the first
    // part and contains the rest.
    std::vector<std::string> message_parts;
    bool exact;
};

void PrintTo(const BadOutputCase &c, std::ostream *os) { *os << c.voice; }

class SynthesisBadOutput : public Synthesis, public ::testing::WithParamInterface<BadOutputCase> {};

TEST_P(SynthesisBadOutput, FailsWithOneMessage) {
    const BadOutputCase &c = GetParam();
    ASSERT_EQ(load(c.voice), 0);
    Speech s = speak(0, "Hello");
    EXPECT_EQ(s.result, -1);
    std::string message = error_text();
    if (c.exact) {
        EXPECT_EQ(message, c.message_parts[0]);
    }
    EXPECT_EQ(message.rfind(c.message_parts[0], 0), 0u) << message;
    for (const std::string &part : c.message_parts) EXPECT_NE(message.find(part), std::string::npos) << message;
    EXPECT_EQ(count_of(s.log, "[orvel] ERROR: "), 1u) << s.log;
    EXPECT_EQ(count_of(s.log, "[orvel] ERROR: " + message + "\n"), 1u) << s.log;
    EXPECT_EQ(s.log.find("[orvel] Generated"), std::string::npos) << s.log;
    EXPECT_FALSE(s.buffer_non_null);
    EXPECT_EQ(s.count, 0);
    // The voice stays loaded and fails the same way again.
    EXPECT_EQ(speak(0, "Hello").result, -1);
    EXPECT_EQ(error_text(), message);
}

INSTANTIATE_TEST_SUITE_P(
    Voices, SynthesisBadOutput,
    ::testing::Values(
        BadOutputCase{"bad_int64_output", {"Model output \"output\"", "element type", "float"}, false},
        BadOutputCase{"bad_scalar_output", {"Model output \"output\"", "no dimension"}, false},
        BadOutputCase{"bad_no_output_name", {"ONNX Runtime: Invalid output name: output"}, true},
        BadOutputCase{"bad_input_names", {"ONNX Runtime: Invalid input name: input"}, true}),
    [](const ::testing::TestParamInfo<BadOutputCase> &info) { return std::string(info.param.voice); });

// ---------------------------------------------------------------------------
// orvel_speak_to_file
// ---------------------------------------------------------------------------

TEST_F(Synthesis, SpeakToFileNullPathComesBeforeEveryOtherTest) {
    std::string log;
    testing::internal::CaptureStderr();
    EXPECT_EQ(orvel_speak_to_file(-1, nullptr, nullptr), -1);
    log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(error_text(), "wav_path is NULL");
    EXPECT_EQ(log, "[orvel] ERROR: wav_path is NULL\n");
}

TEST_F(Synthesis, SpeakToFileArgumentFailuresCreateNoFile) {
    ASSERT_EQ(load("fixed_half"), 0);
    struct {
        int id;
        const char *text;
        const char *message;
    } cases[] = {{3, "Hello", "Invalid voice_id: 3"},
                 {-1, "Hello", "Invalid voice_id: -1"},
                 {0, "", "Empty text"},
                 {0, " ", "Phonemization failed for text"}};
    int i = 0;
    for (const auto &c : cases) {
        std::string path = scratch_dir() + "/no-file-" + std::to_string(i++) + ".wav";
        std::string log;
        EXPECT_EQ(speak_file(c.id, c.text, path, &log), -1);
        EXPECT_EQ(error_text(), c.message);
        EXPECT_EQ(log, std::string("[orvel] ERROR: ") + c.message + "\n");
        EXPECT_FALSE(file_exists(path)) << path;
    }
}

TEST_F(Synthesis, SpeakToFileWriteFailures) {
    ASSERT_EQ(load("fixed_1s"), 0);  // 44 KB of data: more than a stdio buffer
    // The system's reason comes with the path.
    const std::pair<std::string, const char *> cases[] = {
        {scratch_dir() + "/missing-folder/out.wav", "No such file or directory"},
        {"/dev/full", "No space left on device"},
    };
    for (const auto &c : cases) {
        const std::string &path = c.first;
        SCOPED_TRACE(path);
        std::string log;
        EXPECT_EQ(speak_file(0, "Hello", path, &log), -1);
        std::string message = "Failed to write WAV file: " + path + " (" + c.second + ")";
        EXPECT_EQ(error_text(), message);
        EXPECT_EQ(count_of(log, "[orvel] ERROR: "), 1u) << log;
        const std::string tail = "[orvel] ERROR: " + message + "\n";
        ASSERT_GE(log.size(), tail.size());
        EXPECT_EQ(log.substr(log.size() - tail.size()), tail) << log;
        EXPECT_EQ(log.find("[orvel] Wrote"), std::string::npos) << log;
        if (path != "/dev/full") {
            EXPECT_EQ(count_of(log, "Cannot create WAV file: " + path + "\n"), 1u) << log;
        }
    }
    EXPECT_FALSE(file_exists(scratch_dir() + "/missing-folder"));
    struct stat st;
    ASSERT_EQ(stat("/dev/full", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << "a device is never removed";
}

TEST_F(Synthesis, SpeakToFileLogsFiveLinesInOrder) {
    ASSERT_EQ(load("probe"), 0);
    std::string path = scratch_dir() + "/five-lines.wav";
    std::string log;
    ASSERT_EQ(speak_file(0, "Hello world.", path, &log), 0) << error_text();
    EXPECT_EQ(orvel_get_error(), nullptr);
    EXPECT_EQ(log, std::string("[orvel] Phonemes: 14 codepoints\n"
                               "[orvel] Phoneme IDs: 31\n") +
                       kConfigRunLine +
                       "[orvel] Generated 37 audio samples (0.00 seconds @ 22050Hz)\n"
                       "[orvel] Wrote " + path + " (0.00 seconds)\n");
}


TEST_F(Synthesis, SpeakToFileWritesTheSamplesTheBufferGets) {
    ASSERT_EQ(load("fixed_16k"), 0);
    Speech s = speak(0, "Hello");
    ASSERT_EQ(s.result, 0);
    ASSERT_EQ(s.count, 16000);
    std::string path = scratch_dir() + "/sine16k.wav";
    std::string log;
    ASSERT_EQ(speak_file(0, "Hello", path, &log), 0) << error_text();
    EXPECT_EQ(count_of(log, "[orvel] Generated 16000 audio samples (1.00 seconds @ 16000Hz)\n"), 1u) << log;
    EXPECT_EQ(count_of(log, "[orvel] Wrote " + path + " (1.00 seconds)\n"), 1u) << log;

    std::string bytes = read_file(path);
    ASSERT_EQ(bytes.size(), 44u + 2 * 16000);
    EXPECT_EQ(bytes.substr(0, 4), "RIFF");
    EXPECT_EQ(le32(bytes, 4), 36u + 2 * 16000);
    EXPECT_EQ(bytes.substr(8, 8), "WAVEfmt ");
    EXPECT_EQ(le16(bytes, 22), 1u);       // mono
    EXPECT_EQ(le32(bytes, 24), 16000u);   // the voice's sample rate
    EXPECT_EQ(le16(bytes, 34), 16u);
    EXPECT_EQ(bytes.substr(36, 4), "data");
    EXPECT_EQ(le32(bytes, 40), 2u * 16000);
    std::vector<int16_t> written(16000);
    std::memcpy(written.data(), bytes.data() + 44, 2 * 16000);  // little-endian host
    EXPECT_EQ(written, s.samples);

    float *read = nullptr;
    size_t frames = 0;
    int32_t rate = 0;
    ASSERT_EQ(wav_read_float(path.c_str(), &read, &frames, &rate), 0);
    EXPECT_EQ(frames, 16000u);
    EXPECT_EQ(rate, 16000);
    for (size_t i = 0; i < frames && i < s.samples.size(); ++i)
        ASSERT_EQ(read[i], s.samples[i] / 32768.0f) << i;
    std::free(read);
}

TEST_F(Synthesis, SpeakToFileWithNoSamplesWritesTheHeaderOnly) {
    ASSERT_EQ(load("fixed_empty"), 0);
    std::string path = scratch_dir() + "/empty.wav";
    std::string log;
    ASSERT_EQ(speak_file(0, "Hello", path, &log), 0) << error_text();
    EXPECT_EQ(count_of(log, "[orvel] Wrote " + path + " (0.00 seconds)\n"), 1u) << log;
    std::string bytes = read_file(path);
    ASSERT_EQ(bytes.size(), 44u);
    EXPECT_EQ(le32(bytes, 4), 36u);
    EXPECT_EQ(le32(bytes, 40), 0u);
}

// ---------------------------------------------------------------------------
// Capacities
// ---------------------------------------------------------------------------

// What a probe run carries between its framing ("^" "_" ... "$"), checked:
// never cut at capacity, every phoneme followed by a pad.
std::vector<int64_t> inner_ids(const ProbeReading &run) {
    const int64_t start = probe_phoneme_id('^'), pad = probe_phoneme_id('_'), end = probe_phoneme_id('$');
    EXPECT_EQ(run.n, static_cast<int64_t>(run.ids.size()));
    EXPECT_LE(run.ids.size(), static_cast<size_t>(MAX_PHONEME_IDS));
    if (run.ids.size() < 3 || run.ids[0] != start || run.ids[1] != pad || run.ids.back() != end) {
        ADD_FAILURE() << "a run that is not framed whole (" << run.ids.size() << " ids)";
        return {};
    }
    for (size_t i = 3; i + 1 < run.ids.size(); i += 2) EXPECT_EQ(run.ids[i], pad) << i;
    return std::vector<int64_t>(run.ids.begin() + 2, run.ids.end() - 1);
}

// Joins id sequences as clauses are joined: a space (and its pad) between.
void join_ids(std::vector<int64_t> *all, const std::vector<int64_t> &more) {
    if (more.empty()) return;
    if (!all->empty()) {
        all->push_back(probe_phoneme_id(' '));
        all->push_back(probe_phoneme_id('_'));
    }
    all->insert(all->end(), more.begin(), more.end());
}

// One call with a long text speaks every sentence: its runs, joined, carry
// the ids of its sentences spoken one by one, each run fits the model whole,
// and the text is cut only between sentences, in any script.
void expect_spoken_in_full(int voice, const std::vector<std::string> &sentences, const char *separator,
                           size_t bytes) {
    std::string text;
    std::vector<int64_t> expected;
    std::map<std::string, std::vector<int64_t>> alone;
    for (size_t i = 0; text.size() < bytes; ++i) {
        const std::string &sentence = sentences[i % sentences.size()];
        if (!text.empty()) text += separator;
        text += sentence;
        auto found = alone.find(sentence);
        if (found == alone.end()) {
            Speech s = speak_quietly(voice, sentence.c_str());
            std::vector<ProbeReading> runs;
            EXPECT_EQ(s.result, 0) << sentence;
            EXPECT_TRUE(decode_probe_runs(s.samples.data(), s.count, &runs)) << sentence;
            EXPECT_EQ(runs.size(), 1u) << sentence;
            std::vector<int64_t> ids;
            for (const ProbeReading &run : runs) join_ids(&ids, inner_ids(run));
            found = alone.emplace(sentence, ids).first;
        }
        join_ids(&expected, found->second);
    }
    Speech whole = speak_quietly(voice, text.c_str());
    ASSERT_EQ(whole.result, 0) << error_text();
    std::vector<ProbeReading> runs;
    ASSERT_TRUE(decode_probe_runs(whole.samples.data(), whole.count, &runs));
    std::vector<int64_t> spoken;
    for (const ProbeReading &run : runs) join_ids(&spoken, inner_ids(run));
    EXPECT_GT(runs.size(), bytes / (PHONEMIZE_TEXT_SIZE - 1));
    size_t first_difference = 0;
    while (first_difference < spoken.size() && first_difference < expected.size() &&
           spoken[first_difference] == expected[first_difference])
        ++first_difference;
    auto around = [&](const std::vector<int64_t> &ids) {
        std::string shown;
        for (size_t i = first_difference < 20 ? 0 : first_difference - 20; i < ids.size() && i < first_difference + 40; i += 2)
            for (const ProbePhonemeId &row : kProbePhonemeIds)
                if (row.id == ids[i]) {
                    uint32_t c = static_cast<uint32_t>(row.codepoint);
                    if (c < 0x80) {
                        shown += static_cast<char>(c);
                    } else if (c < 0x800) {
                        shown += static_cast<char>(0xC0 | (c >> 6));
                        shown += static_cast<char>(0x80 | (c & 63));
                    } else {
                        shown += static_cast<char>(0xE0 | (c >> 12));
                        shown += static_cast<char>(0x80 | ((c >> 6) & 63));
                        shown += static_cast<char>(0x80 | (c & 63));
                    }
                }
        return shown;
    };
    EXPECT_EQ(first_difference, expected.size())
        << text.size() << " bytes in " << runs.size() << " runs differ from the sentences one by one at id "
        << first_difference << " of " << expected.size() << ":\n  spoken:   " << around(spoken)
        << "\n  expected: " << around(expected);
    EXPECT_EQ(spoken.size(), expected.size());
    EXPECT_EQ(count_of(whole.log, "[orvel] Generated "), runs.size());
}

TEST_F(Synthesis, LongTextIsSpokenInFullInAnyScript) {
    ASSERT_EQ(load("probe"), 0);
    const size_t kBytes = 30 * 1024;
    expect_spoken_in_full(0, {"Hello world.", "How are you, my friend?", "The 12 quick foxes jumped over 3 dogs!",
                              "It is 4:30; the train is late."},
                          " ", kBytes);
    expect_spoken_in_full(0, {"Мой брат живёт в большом городе.", "Сегодня холодно, но солнечно."}, " ", kBytes);
    expect_spoken_in_full(0, {"Η γάτα κοιμάται στον καναπέ.", "Καλημέρα σας!"}, " ", kBytes);
    // eSpeak NG ends a clause at an ideographic full stop only before a blank.
    expect_spoken_in_full(0, {"我的哥哥住在一个大城市。", "今天很冷。"}, " ", kBytes);
    expect_spoken_in_full(0, {"A paragraph of one sentence.", "And another, with a clause."}, "\n\n", kBytes);
}

// Without a sentence or clause end the text is cut at blanks: every word is
// still spoken once, in runs that each fit the model whole.
TEST_F(Synthesis, LongTextWithoutPunctuationIsCutBetweenWords) {
    ASSERT_EQ(load("probe"), 0);
    std::string text;
    const int kWords = 6000;
    for (int i = 0; i < kWords; ++i) text += "one ";
    Speech s = speak_quietly(0, text.c_str());
    ASSERT_EQ(s.result, 0) << error_text();
    std::vector<ProbeReading> runs;
    ASSERT_TRUE(decode_probe_runs(s.samples.data(), s.count, &runs));
    EXPECT_GT(runs.size(), 2u);
    std::vector<int64_t> one = inner_ids([] {
        Speech alone = speak_quietly(0, "one");
        ProbeReading r;
        EXPECT_TRUE(decode_probe(alone.samples.data(), alone.count, &r));
        return r;
    }());
    // Stress moves with the neighbours; the word's sounds do not.
    auto unstressed = [](std::vector<int64_t> ids) {
        const int64_t primary = probe_phoneme_id(0x02C8), secondary = probe_phoneme_id(0x02CC);
        for (size_t i = 0; i + 1 < ids.size();)
            if (ids[i] == primary || ids[i] == secondary)
                ids.erase(ids.begin() + static_cast<long>(i), ids.begin() + static_cast<long>(i) + 2);
            else
                i += 2;
        return ids;
    };
    one = unstressed(one);
    ASSERT_FALSE(one.empty());
    size_t found = 0;
    for (const ProbeReading &run : runs) {
        std::vector<int64_t> ids = unstressed(inner_ids(run));
        for (size_t i = 0; i + one.size() <= ids.size(); ++i)
            if (std::equal(one.begin(), one.end(), ids.begin() + static_cast<long>(i))) ++found;
    }
    EXPECT_EQ(found, static_cast<size_t>(kWords));
}

// eSpeak NG keeps about 200 phonemes of a word and drops the rest: a long
// spelled word or number must come back whole, as it does with spaces in it.
TEST_F(Synthesis, WordsEspeakNgWouldCutAreSpokenInFull) {
    ASSERT_EQ(load("probe"), 0);
    auto ids_of = [&](const std::string &text) {
        Speech s = speak_quietly(0, text.c_str());
        EXPECT_EQ(s.result, 0) << error_text();
        std::vector<ProbeReading> runs;
        EXPECT_TRUE(decode_probe_runs(s.samples.data(), s.count, &runs));
        size_t n = 0;
        for (const ProbeReading &run : runs) n += inner_ids(run).size();
        return n;
    };
    auto spaced = [](const std::string &word, size_t every) {
        std::string out;
        for (size_t i = 0; i < word.size(); i += every) out += (i ? " " : "") + word.substr(i, every);
        return out;
    };
    const std::string runic = "\xE1\x9A\xA0\xE1\x9A\xA2\xE1\x9A\xA6\xE1\x9A\xA8";
    std::string runes;
    for (int i = 0; i < 40; ++i) runes += runic;
    struct Row {
        const char *name;
        std::string word;
        size_t every;  // bytes of a part that eSpeak NG speaks whole
    } rows[] = {
        {"spelled letters", std::string(300, 'x'), 10},
        {"a long number", std::string(200, '7'), 3},
        {"Runic letters", runes, 12},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        size_t whole = ids_of("say " + row.word + " now");
        size_t parts = ids_of("say " + spaced(row.word, row.every) + " now");
        EXPECT_GT(whole, parts * 9 / 10);
    }
}

TEST_F(Synthesis, AMegabyteOfTextIsSpokenInFull) {
    ASSERT_EQ(load("probe"), 0);
    expect_spoken_in_full(0, {"Hello world.", "How are you, my friend?", "Fine, thanks; and you?",
                              "Мой брат живёт в большом городе."},
                          " ", 1024 * 1024);
}

// ---------------------------------------------------------------------------
// Repeated lifecycle (also run under valgrind by the leak_check test)
// ---------------------------------------------------------------------------

TEST_F(Synthesis, RepeatedLifecycleLoop) {
    testing::internal::CaptureStderr();
    orvel_shutdown();  // the loop does its own init and shutdown
    testing::internal::GetCapturedStderr();
    const std::string wav = scratch_dir() + "/loop.wav";
    for (int cycle = 0; cycle < 20; ++cycle) {
        SCOPED_TRACE(cycle);
        testing::internal::CaptureStderr();
        int init = orvel_init(nullptr);
        int probe_id = orvel_load_voice(test_voice("probe_multi.onnx").c_str(), nullptr);
        int bad_id = orvel_load_voice(test_voice("bad_input_names.onnx").c_str(), nullptr);
        int empty_id = orvel_load_voice(test_voice("fixed_empty.onnx").c_str(), nullptr);
        testing::internal::GetCapturedStderr();
        ASSERT_EQ(init, 0);
        ASSERT_EQ(probe_id, 0);
        ASSERT_EQ(bad_id, 1);
        ASSERT_EQ(empty_id, 2);
        orvel_set_speaker(probe_id, 1);

        ProbeReading r;
        Speech ok = speak_quietly(probe_id, "Hello world.");
        ASSERT_EQ(ok.result, 0) << error_text();
        ASSERT_TRUE(decode_probe(ok.samples.data(), ok.count, &r));
        EXPECT_EQ(r.ids, framed_ids(utf8("həlˈoʊ wˈɜːld.")));
        EXPECT_EQ(r.sid, 1);
        EXPECT_EQ(speak_quietly(probe_id, " ").result, -1);         // fails before ONNX Runtime
        EXPECT_EQ(speak_quietly(bad_id, "Hello").result, -1);       // fails in Run
        EXPECT_EQ(speak_quietly(empty_id, "Hello").result, 0);      // zero-sample buffer
        testing::internal::CaptureStderr();
        EXPECT_EQ(orvel_speak_to_file(probe_id, "Hello", wav.c_str()), 0);
        orvel_unload_voice(bad_id);
        if (cycle % 2) orvel_unload_voice(probe_id);  // else shutdown unloads it
        orvel_shutdown();
        testing::internal::GetCapturedStderr();
    }
}
