// The tools' voice-configuration reader: what orvel-server lists and resolves
// voices by, and orvel-say looks speakers up with.
#include "voice_info.h"

#include "test_util.h"

#include <gtest/gtest.h>

#include <filesystem>

using orvel_tools::VoiceInfo;

namespace {

const char kMultiConfig[] = R"({
  "audio": {"sample_rate": 16000},
  "espeak": {"voice": "en-gb"},
  "inference": {"noise_scale": 0.5, "length_scale": 1.25, "noise_w": 0.7},
  "num_speakers": 4,
  "speaker_id_map": {"zoe": 2, "adam": 0, "bea": 1, "ghost": 9, "broken": "x", "": 3}
})";

// A folder of its own under the scratch folder, emptied first.
std::string fresh_dir(const std::string &name) {
    std::filesystem::path dir = std::filesystem::path(scratch_dir()) / name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir.string();
}

}  // namespace

TEST(VoiceInfo, ReadsNameRateSpeakersLanguageAndLengthScale) {
    std::string dir = fresh_dir("voice_info_read");
    std::string model = dir + "/narrator.onnx";
    write_scratch_file("voice_info_read/narrator.onnx", "not read");
    write_scratch_file("voice_info_read/narrator.onnx.json", kMultiConfig);
    VoiceInfo info;
    std::string error;
    ASSERT_TRUE(orvel_tools::read_voice_info(model, "", &info, &error)) << error;
    EXPECT_EQ(info.name, "narrator");
    EXPECT_EQ(info.config_path, model + ".json");
    EXPECT_EQ(info.sample_rate, 16000);
    EXPECT_EQ(info.num_speakers, 4);
    EXPECT_FLOAT_EQ(info.length_scale, 1.25f);
    EXPECT_EQ(info.language, "en-gb");
    // Ordered by id; ids past num_speakers, non-numbers and empty names are left out.
    ASSERT_EQ(info.speakers.size(), 3u);
    EXPECT_EQ(info.speakers[0], std::make_pair(std::string("adam"), 0));
    EXPECT_EQ(info.speakers[1], std::make_pair(std::string("bea"), 1));
    EXPECT_EQ(info.speakers[2], std::make_pair(std::string("zoe"), 2));

    // Speakers by name or by number below the count; names back from ids.
    EXPECT_EQ(orvel_tools::find_speaker(info, "zoe"), 2);
    EXPECT_EQ(orvel_tools::find_speaker(info, "3"), 3);
    EXPECT_EQ(orvel_tools::find_speaker(info, "4"), -1);
    EXPECT_EQ(orvel_tools::find_speaker(info, "ghost"), -1);
    EXPECT_EQ(orvel_tools::find_speaker(info, ""), -1);
    EXPECT_EQ(orvel_tools::find_speaker(info, "-1"), -1);
    EXPECT_EQ(orvel_tools::find_speaker(info, "99999999999"), -1);
    EXPECT_EQ(orvel_tools::speaker_name(info, 1), "bea");
    EXPECT_EQ(orvel_tools::speaker_name(info, 3), "3");
}

TEST(VoiceInfo, DefaultsAndRefusals) {
    std::string dir = fresh_dir("voice_info_defaults");
    write_scratch_file("voice_info_defaults/plain.json", R"({"phoneme_id_map": {}})");
    VoiceInfo info;
    std::string error;
    // An explicit configuration path; missing sections keep the defaults.
    ASSERT_TRUE(orvel_tools::read_voice_info(dir + "/plain.onnx", dir + "/plain.json", &info, &error)) << error;
    EXPECT_EQ(info.sample_rate, 22050);
    EXPECT_EQ(info.num_speakers, 1);
    EXPECT_TRUE(info.speakers.empty());
    EXPECT_EQ(info.language, "en-us");  // what the library phonemizes with then
    // The library's bounds are taken; a fraction is dropped, as the library does.
    for (auto [text, hz] : {std::pair<const char *, int>{"1000", 1000}, {"384000", 384000}, {"16000.7", 16000}}) {
        write_scratch_file("voice_info_defaults/rate.json", std::string(R"({"audio": {"sample_rate": )") + text + "}}");
        ASSERT_TRUE(orvel_tools::read_voice_info(dir + "/rate.onnx", dir + "/rate.json", &info, &error)) << error;
        EXPECT_EQ(info.sample_rate, hz) << text;
    }

    struct Case {
        const char *config;  // null: no file
        const char *why;
    } cases[] = {
        {nullptr, "cannot read"},
        {"[1, 2]", "not a JSON object"},
        {"nonsense", "is not valid JSON (line 1, column 2: "},
        {R"({"audio": {"sample_rate": 0}})", "impossible sample rate, 0 Hz (the library takes 1000 to 384000)"},
        {R"({"audio": {"sample_rate": 999.5}})", "impossible sample rate, 999.5 Hz"},
        {R"({"audio": {"sample_rate": 384001}})", "impossible sample rate"},
        {R"({"audio": {"sample_rate": 1e300}})", "impossible sample rate"},
        // The library reads a string as 0 Hz and refuses the voice: so do the tools.
        {R"({"audio": {"sample_rate": "16000"}})", "has audio.sample_rate \"16000\", not a number"},
        {R"({"audio": {"sample_rate": null}})", "not a number"},
        {R"({"num_speakers": 0})", "impossible"},
        {R"({"inference": {"length_scale": -1}})", "impossible"},
    };
    int n = 0;
    for (const Case &c : cases) {
        std::string name = "bad" + std::to_string(n++);
        if (c.config) write_scratch_file("voice_info_defaults/" + name + ".onnx.json", c.config);
        error.clear();
        EXPECT_FALSE(orvel_tools::read_voice_info(dir + "/" + name + ".onnx", "", &info, &error)) << name;
        EXPECT_NE(error.find(c.why), std::string::npos) << name << ": " << error;
    }
}

// The library loads any file that begins with an object, so the tools read
// what they can of such a file and say where it stops being JSON.
TEST(VoiceInfo, ReadsWhatTheLibraryLoads) {
    std::string dir = fresh_dir("voice_info_tolerant");
    for (const char *name : {"commas.onnx", "broken.onnx"}) write_scratch_file(std::string("voice_info_tolerant/") + name, "");
    VoiceInfo info;
    std::string error;
    // Commas before a closing bracket are passed over, as the library does,
    // but not inside strings.
    write_scratch_file("voice_info_tolerant/commas.onnx.json",
                       "{\"num_speakers\": 2, \"espeak\": {\"voice\": \"cs,}\"},\n"
                       " \"speaker_id_map\": {\"rms\": 1, \"ann\": 0,},\n \"x\": [1, 2,],\n}");
    ASSERT_TRUE(orvel_tools::read_voice_info(dir + "/commas.onnx", "", &info, &error)) << error;
    EXPECT_EQ(info.config_problem, "");
    EXPECT_EQ(orvel_tools::find_speaker(info, "rms"), 1);
    EXPECT_EQ(info.language, "cs,}");

    const std::pair<const char *, const char *> broken[] = {
        {"{\"audio\": ", "line 1, column 11: "},
        {"{\"num_speakers\": 2\n \"speaker_id_map\": {\"rms\": 1}}", "line 2, column 17: "},
        {"\n {\"a\": 1}} more", "line 2, column 10: "},
    };
    for (const auto &[text, where] : broken) {
        write_scratch_file("voice_info_tolerant/broken.onnx.json", text);
        info = VoiceInfo();
        ASSERT_TRUE(orvel_tools::read_voice_info(dir + "/broken.onnx", "", &info, &error)) << text;
        EXPECT_EQ(info.config_problem.find("the configuration '" + dir + "/broken.onnx.json' is not valid JSON (" +
                                           where),
                  0u)
            << info.config_problem;
        EXPECT_EQ(info.config_problem.find('\n'), std::string::npos);
        EXPECT_TRUE(info.speakers.empty());
        EXPECT_EQ(info.language, "");
    }
    // A folder scan cannot tell such a voice's language: it is left out, said why.
    std::vector<VoiceInfo> voices;
    std::vector<std::string> problems;
    ASSERT_TRUE(orvel_tools::scan_voice_dir(dir, &voices, &problems, &error));
    ASSERT_EQ(voices.size(), 1u);
    EXPECT_EQ(voices[0].name, "commas");
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("broken.onnx.json' is not valid JSON"), std::string::npos) << problems[0];
}

TEST(VoiceInfo, ScanListsReadableVoicesByNameAndReportsTheRest) {
    std::string dir = fresh_dir("voice_info_scan");
    for (const char *name : {"b", "a", "c", "broken"}) write_scratch_file(std::string("voice_info_scan/") + name + ".onnx", "");
    write_scratch_file("voice_info_scan/a.onnx.json", "{}");
    write_scratch_file("voice_info_scan/b.onnx.json", kMultiConfig);
    write_scratch_file("voice_info_scan/c.onnx.json", "{}");
    write_scratch_file("voice_info_scan/broken.onnx.json", "nonsense");
    write_scratch_file("voice_info_scan/notes.txt", "not a voice");
    std::filesystem::create_directories(dir + "/folder.onnx");

    std::vector<VoiceInfo> voices;
    std::vector<std::string> problems;
    std::string error;
    ASSERT_TRUE(orvel_tools::scan_voice_dir(dir, &voices, &problems, &error)) << error;
    ASSERT_EQ(voices.size(), 3u);
    EXPECT_EQ(voices[0].name, "a");
    EXPECT_EQ(voices[1].name, "b");
    EXPECT_EQ(voices[1].num_speakers, 4);
    EXPECT_EQ(voices[2].name, "c");
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("broken.onnx.json"), std::string::npos) << problems[0];

    voices.clear();
    EXPECT_FALSE(orvel_tools::scan_voice_dir(dir + "/missing", &voices, &problems, &error));
    EXPECT_NE(error.find("missing"), std::string::npos) << error;
    EXPECT_TRUE(voices.empty());
}

TEST(VoiceInfo, LanguageComesFromTheCodeElseTheEspeakVoiceElseTheLibrarysDefault) {
    std::string dir = fresh_dir("voice_info_language");
    struct Case {
        const char *config;
        const char *language;
    } cases[] = {
        {R"({"language": {"code": "cs_CZ"}, "espeak": {"voice": "cs"}})", "cs-cz"},
        {R"({"language": {"code": "en-GB"}, "espeak": {"voice": "en-gb-x-rp"}})", "en-gb"},
        {R"({"espeak": {"voice": "ru"}})", "ru"},
        {R"({"espeak": {"voice": "en-gb-x-rp"}})", "en-gb-x-rp"},
        // A variant is eSpeak NG's voice quality, not a language.
        {R"({"espeak": {"voice": "en-us+f3"}})", "en-us"},
        // Without a voice the library phonemizes as en-us: that is what it speaks.
        {R"({})", "en-us"},
        {R"({"espeak": {"voice": ""}})", "en-us"},
        {R"({"espeak": "cs"})", "en-us"},
        // A code that is no string, or empty, leaves the choice to espeak.voice.
        {R"({"language": {"code": 5}, "espeak": {"voice": "fi"}})", "fi"},
        {R"({"language": {"code": ""}, "espeak": {"voice": "it"}})", "it"},
        {R"({"language": "ca", "espeak": {"voice": "ca"}})", "ca"},
    };
    for (const Case &c : cases) {
        write_scratch_file("voice_info_language/v.onnx.json", c.config);
        VoiceInfo info;
        std::string error;
        ASSERT_TRUE(orvel_tools::read_voice_info(dir + "/v.onnx", "", &info, &error)) << error;
        EXPECT_EQ(info.language, c.language) << c.config;
    }
    EXPECT_EQ(orvel_tools::language_key("EN_us"), "en-us");
    for (auto [tag, region] : {std::pair<const char *, const char *>{"en-us", "us"}, {"en-gb-x-rp", "gb"},
                               {"es-419", "419"}, {"sr-latn-rs", "rs"}, {"cs", ""}, {"sr-latn", ""},
                               {"en-x-gb", ""}, {"de-1996", ""}})
        EXPECT_EQ(orvel_tools::region_of(tag), region) << tag;
}

TEST(VoiceInfo, VoicesForALanguageBestFirst) {
    auto voice = [](const char *name, const char *language) {
        VoiceInfo info;
        info.name = name;
        info.language = language;
        return info;
    };
    const std::vector<VoiceInfo> voices = {voice("arctic", "en-us"), voice("rp", "en-gb-x-rp"), voice("gb", "en-gb"),
                                           voice("plain", "en"),     voice("cz", "cs-cz"),      voice("cs1", "cs"),
                                           voice("cs2", "cs"),       voice("esperanto", "eo")};
    auto names = [&](const char *request) {
        std::string out;
        for (size_t i : orvel_tools::voices_for_language(voices, request)) out += (out.empty() ? "" : " ") + voices[i].name;
        return out;
    };
    // More agreeing subtags first, then fewer beyond them, then the given order.
    EXPECT_EQ(names("cs"), "cs1 cs2 cz");
    EXPECT_EQ(names("cs_CZ"), "cz cs1 cs2");
    EXPECT_EQ(names("en"), "plain arctic gb rp");
    EXPECT_EQ(names("EN-us"), "arctic plain gb rp");
    EXPECT_EQ(names("en-gb"), "gb rp plain arctic");
    EXPECT_EQ(names("en-gb-x-rp"), "rp gb plain arctic");
    // A region nobody has still gets its language; another language nothing.
    EXPECT_EQ(names("en-au"), "plain arctic gb rp");
    EXPECT_EQ(names("e"), "");
    EXPECT_EQ(names("fi"), "");
    EXPECT_EQ(names(""), "");
    EXPECT_EQ(names("-us"), "");
    EXPECT_EQ(orvel_tools::language_list(voices), "cs, cs-cz, en, en-gb, en-gb-x-rp, en-us, eo");
}
