// The Windows build through its DLL, run under Wine (scripts/test-windows):
// what differs from Linux is the loader (LoadLibraryA, the candidate beside
// the data path, then the bare name), the wide model path, the C runtime's
// text and binary modes, and the DLL's export table. eSpeak NG is the
// scripted stand-in built as espeak-ng.dll, ONNX Runtime the real DLL.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "orvel.h"
#include "probe_voice.h"

namespace {

const std::string kVoices = ORVEL_WINE_TEST_VOICES_DIR;
const std::string kBeside = ORVEL_WINE_STUB_BESIDE_DIR;  // holds espeak-ng.dll and data/
const std::string kNoStub = ORVEL_WINE_NO_STUB_DIR;      // holds data/ only
const std::string kScratch = ORVEL_WINE_SCRATCH_DIR;

std::string voice(const std::string &file) { return kVoices + "/" + file; }

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string full_path(const std::string &path) {
    char buffer[MAX_PATH];
    DWORD n = GetFullPathNameA(path.c_str(), MAX_PATH, buffer, nullptr);
    return n > 0 && n < MAX_PATH ? std::string(buffer, n) : path;
}

// The eSpeak NG module the library holds, by its file path: "" when none.
std::string loaded_espeak() {
    HMODULE module = GetModuleHandleA("espeak-ng.dll");
    if (!module) return "";
    char buffer[MAX_PATH];
    DWORD n = GetModuleFileNameA(module, buffer, MAX_PATH);
    return std::string(buffer, n);
}

bool same_file(const std::string &a, const std::string &b) {
    return lstrcmpiA(full_path(a).c_str(), full_path(b).c_str()) == 0;
}

// The stand-in's control functions, in whichever copy is loaded.
template <typename Fn>
Fn stub_entry(const char *name) {
    HMODULE module = GetModuleHandleA("espeak-ng.dll");
    return module ? reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(module, name))) : nullptr;
}

void script_clauses(const std::vector<std::string> &clauses) {
    std::vector<const char *> raw;
    for (const std::string &c : clauses) raw.push_back(c.c_str());
    auto set = stub_entry<void (*)(const char *const *, int)>("stub_set_clauses");
    ASSERT_NE(set, nullptr);
    set(raw.data(), static_cast<int>(raw.size()));
}

std::string error_text() {
    const char *e = orvel_get_error();
    return e ? e : "<null>";
}

// Calls a library function with its log lines kept out of the test output.
template <typename F>
auto quietly(F f) -> decltype(f()) {
    testing::internal::CaptureStderr();
    auto result = f();
    testing::internal::GetCapturedStderr();
    return result;
}

std::vector<int64_t> probe_ids_of(const std::u32string &phonemes) {
    // "^" "_" then each code point's id and "_", then "$".
    std::vector<int64_t> ids = {1, 0};
    for (char32_t c : phonemes) {
        ids.push_back(probe_phoneme_id(static_cast<int32_t>(c)));
        ids.push_back(0);
    }
    ids.push_back(2);
    return ids;
}

class Engine : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(quietly([] { return orvel_init((kBeside + "/data").c_str()); }), 0) << error_text(); }
    void TearDown() override {
        testing::internal::CaptureStderr();
        orvel_shutdown();
        testing::internal::GetCapturedStderr();
    }
    int load(const std::string &model, const char *config = nullptr) {
        return quietly([&] { return orvel_load_voice(model.c_str(), config); });
    }
    // Speaks scripted clauses and decodes the probe voice's echo.
    ProbeReading speak_probe(int id, const std::vector<std::string> &clauses) {
        script_clauses(clauses);
        int16_t *samples = nullptr;
        int32_t count = 0;
        ProbeReading reading;
        int rc = quietly([&] { return orvel_speak_to_buffer(id, "text", &samples, &count); });
        EXPECT_EQ(rc, 0) << error_text();
        if (rc == 0) {
            EXPECT_TRUE(decode_probe(samples, count, &reading));
        }
        orvel_free_audio(samples);
        return reading;
    }
};

}  // namespace

// ---- The DLL ----

TEST(Dll, ExportsExactlyTheListedNames) {
    HMODULE dll = GetModuleHandleA("libtalmerin-orvel.dll");
    ASSERT_NE(dll, nullptr);
    const auto *base = reinterpret_cast<const unsigned char *>(dll);
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    ASSERT_NE(entry.VirtualAddress, 0u);
    const auto *exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY *>(base + entry.VirtualAddress);
    const auto *names = reinterpret_cast<const DWORD *>(base + exports->AddressOfNames);
    std::set<std::string> actual;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) actual.insert(reinterpret_cast<const char *>(base + names[i]));

    std::ifstream list(ORVEL_WINE_EXPORTS_LIST);
    std::set<std::string> expected;
    for (std::string name; list >> name;) expected.insert(name);
    ASSERT_EQ(expected.size(), 14u);
    EXPECT_EQ(actual, expected);
    for (const std::string &name : expected) EXPECT_NE(GetProcAddress(dll, name.c_str()), nullptr) << name;
}

TEST(Dll, VersionIsTheProjectVersion) { EXPECT_STREQ(orvel_version(), ORVEL_VERSION_STRING); }

// ---- eSpeak NG: beside the data path first, then by bare name ----

TEST(Loader, CandidateBesideTheDataPathIsLoadedFirst) {
    const std::string data = kBeside + "/data";
    ASSERT_EQ(quietly([&] { return orvel_init(data.c_str()); }), 0) << error_text();
    EXPECT_TRUE(same_file(loaded_espeak(), kBeside + "/espeak-ng.dll")) << loaded_espeak();
    auto path = stub_entry<const char *(*)()>("stub_initialize_path");
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(path(), data);
    auto options = stub_entry<int (*)()>("stub_initialize_options");
    EXPECT_EQ(options(), 0x8000);  // don't exit
    quietly([] { orvel_shutdown(); return 0; });
    EXPECT_EQ(loaded_espeak(), "") << "shutdown keeps eSpeak NG loaded";
}

TEST(Loader, BackslashesSeparateTooAndTheLastOneWins) {
    std::string data = kBeside + "/data";
    std::replace(data.begin(), data.end(), '/', '\\');
    ASSERT_EQ(quietly([&] { return orvel_init(data.c_str()); }), 0) << error_text();
    EXPECT_TRUE(same_file(loaded_espeak(), kBeside + "/espeak-ng.dll")) << loaded_espeak();
    quietly([] { orvel_shutdown(); return 0; });
}

TEST(Loader, WithoutACandidateTheBareNameIsSearched) {
    // The test program's folder holds the other copy, found by LoadLibraryA's search.
    ASSERT_EQ(quietly([] { return orvel_init((kNoStub + "/data").c_str()); }), 0) << error_text();
    char exe[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string folder(exe, n);
    folder.erase(folder.find_last_of("\\/"));
    EXPECT_TRUE(same_file(loaded_espeak(), folder + "\\espeak-ng.dll")) << loaded_espeak();
    quietly([] { orvel_shutdown(); return 0; });
    EXPECT_EQ(loaded_espeak(), "");
}

TEST(Loader, RepeatedInitAndShutdownReloadEachTime) {
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(quietly([] { return orvel_init((kBeside + "/data").c_str()); }), 0) << error_text();
        ASSERT_NE(loaded_espeak(), "");
        quietly([] { orvel_shutdown(); return 0; });
        ASSERT_EQ(loaded_espeak(), "");
    }
}

// ---- Lifecycle and slots ----

TEST(Lifecycle, CallsBeforeInitFailOrDoNothing) {
    EXPECT_EQ(quietly([] { return orvel_load_voice(voice("probe.onnx").c_str(), nullptr); }), -1);
    EXPECT_EQ(error_text(), "Not initialized \xE2\x80\x94 call orvel_init() first");
    EXPECT_EQ(orvel_get_voice_sample_rate(0), -1);
    orvel_shutdown();  // harmless
}

TEST(Lifecycle, SecondInitFailsAndShutdownAllowsANewOne) {
    ASSERT_EQ(quietly([] { return orvel_init((kBeside + "/data").c_str()); }), 0);
    EXPECT_EQ(quietly([] { return orvel_init((kBeside + "/data").c_str()); }), -1);
    EXPECT_EQ(error_text(), "Already initialized");
    quietly([] { orvel_shutdown(); return 0; });
    ASSERT_EQ(quietly([] { return orvel_init((kBeside + "/data").c_str()); }), 0);
    quietly([] { orvel_shutdown(); return 0; });
}

TEST_F(Engine, EightSlotsFillLowestFirstAndAFreedOneIsReused) {
    for (int i = 0; i < 8; ++i) ASSERT_EQ(load(voice("probe.onnx")), i) << error_text();
    EXPECT_EQ(load(voice("probe.onnx")), -1);
    EXPECT_EQ(error_text(), "Maximum voices (8) already loaded");
    orvel_unload_voice(3);
    EXPECT_EQ(orvel_get_voice_sample_rate(3), -1);
    EXPECT_EQ(load(voice("fixed_16k.onnx")), 3);
    EXPECT_EQ(orvel_get_voice_sample_rate(3), 16000);
}

TEST_F(Engine, ShutdownUnloadsEveryVoice) {
    ASSERT_EQ(load(voice("probe.onnx")), 0);
    quietly([] { orvel_shutdown(); return 0; });
    ASSERT_EQ(quietly([] { return orvel_init((kBeside + "/data").c_str()); }), 0);
    EXPECT_EQ(orvel_get_voice_sample_rate(0), -1);
    EXPECT_EQ(load(voice("probe.onnx")), 0);
}

// ---- Configuration reading ----

TEST_F(Engine, ConfigurationGivesRateAndSpeakers) {
    ASSERT_EQ(load(voice("probe.onnx")), 0);
    EXPECT_EQ(orvel_get_voice_sample_rate(0), 22050);
    EXPECT_EQ(orvel_get_num_speakers(0), 1);
    ASSERT_EQ(load(voice("probe_multi.onnx")), 1) << error_text();
    EXPECT_GT(orvel_get_num_speakers(1), 1);
    ASSERT_EQ(load(voice("fixed_16k.onnx"), voice("probe.onnx.json").c_str()), 2);
    EXPECT_EQ(orvel_get_voice_sample_rate(2), 22050) << "the explicit configuration wins";
}

TEST_F(Engine, ScalesFromTheConfigurationReachTheModel) {
    ASSERT_EQ(load(voice("probe.onnx")), 0);
    // probe.onnx.json: noise_scale 0.667, length_scale 1.0, noise_w 0.8, read
    // with '.' decimals whatever the C runtime's locale.
    ProbeReading r = speak_probe(0, {"a"});
    EXPECT_EQ(r.scales_milli[0], 667);
    EXPECT_EQ(r.scales_milli[1], 1000);
    EXPECT_EQ(r.scales_milli[2], 800);
    EXPECT_EQ(r.n, 5);
    EXPECT_EQ(r.sid, kProbeNoSid);
    orvel_set_speed(0, 1.5f);
    orvel_set_noise(0, 0.25f, 0.5f);
    ProbeReading set = speak_probe(0, {"a"});
    EXPECT_EQ(set.scales_milli[0], 250);
    EXPECT_EQ(set.scales_milli[1], 1500);
    EXPECT_EQ(set.scales_milli[2], 500);
}

// ---- Id encoding and synthesis with the probe voices ----

TEST_F(Engine, IdsOfScriptedClausesReachTheModelExactly) {
    ASSERT_EQ(load(voice("probe.onnx")), 0);
    // Non-ASCII IPA, a second clause after a space, and the ids 10 ("-") and
    // 13 (";"), which are LF and CR as sample values.
    ProbeReading r = speak_probe(0, {"h\xC9\x99l\xCB\x88o\xCA\x8A-", "w\xC9\x9C;"});
    const std::vector<int64_t> expected = probe_ids_of(U"h\u0259l\u02c8o\u028a- w\u025c;");
    EXPECT_EQ(r.ids, expected);
    EXPECT_EQ(r.n, static_cast<int64_t>(expected.size()));
}

TEST_F(Engine, SpeakerIdReachesAMultiSpeakerVoice) {
    ASSERT_EQ(load(voice("probe_multi.onnx")), 0) << error_text();
    orvel_set_speaker(0, 1);
    EXPECT_EQ(speak_probe(0, {"a"}).sid, 1);
    orvel_set_speaker(0, 0);
    EXPECT_EQ(speak_probe(0, {"a"}).sid, 0);
}

TEST_F(Engine, FixedVoiceGivesOneSecondAtItsRate) {
    ASSERT_EQ(load(voice("fixed_1s.onnx")), 0);
    script_clauses({"a"});
    int16_t *samples = nullptr;
    int32_t count = 0;
    ASSERT_EQ(quietly([&] { return orvel_speak_to_buffer(0, "Hello.", &samples, &count); }), 0) << error_text();
    EXPECT_EQ(count, 22050);
    EXPECT_EQ(*std::max_element(samples, samples + count), 32767);
    orvel_free_audio(samples);
}

// ---- WAV files: binary mode, whatever bytes the samples hold ----

TEST_F(Engine, WavFileHoldsTheBufferBytesUnchanged) {
    ASSERT_EQ(load(voice("probe.onnx")), 0);
    const std::vector<std::string> clauses = {"a-b;\xC9\x99", "\x0a"};
    script_clauses(clauses);
    int16_t *samples = nullptr;
    int32_t count = 0;
    ASSERT_EQ(quietly([&] { return orvel_speak_to_buffer(0, "text", &samples, &count); }), 0);
    std::string pcm(reinterpret_cast<const char *>(samples), static_cast<size_t>(count) * 2);
    orvel_free_audio(samples);
    ASSERT_NE(pcm.find('\n'), std::string::npos);
    ASSERT_NE(pcm.find('\r'), std::string::npos);

    script_clauses(clauses);
    const std::string wav = kScratch + "/binary.wav";
    ASSERT_EQ(quietly([&] { return orvel_speak_to_file(0, "text", wav.c_str()); }), 0) << error_text();
    const std::string bytes = read_file(wav);
    ASSERT_EQ(bytes.size(), 44 + pcm.size());
    EXPECT_EQ(bytes.substr(0, 4), "RIFF");
    EXPECT_EQ(bytes.substr(8, 8), "WAVEfmt ");
    EXPECT_EQ(bytes.substr(36, 4), "data");
    EXPECT_TRUE(bytes.compare(44, std::string::npos, pcm) == 0) << "the samples were changed on the way";
}

TEST_F(Engine, WavFileIsReplacedNotAppended) {
    ASSERT_EQ(load(voice("fixed_1s.onnx")), 0);
    const std::string wav = kScratch + "/replaced.wav";
    {
        std::ofstream old(wav, std::ios::binary);
        old << std::string(100000, 'x');
    }
    script_clauses({"a"});
    ASSERT_EQ(quietly([&] { return orvel_speak_to_file(0, "text", wav.c_str()); }), 0) << error_text();
    EXPECT_EQ(read_file(wav).size(), 44u + 2 * 22050);
}

// ---- A model path outside ASCII ----

TEST_F(Engine, ModelInAFolderWithNonAsciiLettersLoads) {
    // Windows hosts pass char paths in the ANSI code page; the folder is made
    // with its wide name so the test does not depend on that conversion.
    // Code page 1252 has the euro sign and the oe ligature at 0x80 and 0x9C,
    // where the C locale's conversion gives U+0080 and U+009C instead.
    const std::wstring wide_folder =
        std::wstring(kScratch.begin(), kScratch.end()) + L"/Stimme \u00e9\u00fc\u00df \u20ac\u0153";
    CreateDirectoryW(wide_folder.c_str(), nullptr);
    for (const char *file : {"probe.onnx", "probe.onnx.json"}) {
        const std::string from = voice(file);
        const std::wstring to = wide_folder + L"/" + std::wstring(file, file + std::strlen(file));
        ASSERT_TRUE(CopyFileW(std::wstring(from.begin(), from.end()).c_str(), to.c_str(), FALSE));
    }
    char ansi[MAX_PATH];
    BOOL unmapped = FALSE;
    int n = WideCharToMultiByte(CP_ACP, 0, (wide_folder + L"/probe.onnx").c_str(), -1, ansi, MAX_PATH, nullptr,
                                &unmapped);
    ASSERT_GT(n, 0);
    if (unmapped) GTEST_SKIP() << "code page " << GetACP() << " lacks these letters";
    ASSERT_EQ(load(ansi), 0) << error_text();
    EXPECT_EQ(speak_probe(0, {"a"}).ids, probe_ids_of(U"a"));
}

// ---- Bad input that applies on Windows ----

TEST_F(Engine, BadInputFailsWithOneMessage) {
    EXPECT_EQ(load(kScratch + "/no-such-voice.onnx"), -1);
    EXPECT_NE(error_text().find("no-such-voice"), std::string::npos) << error_text();
    EXPECT_EQ(load(voice("bad_not_onnx.onnx")), -1);
    EXPECT_NE(error_text(), "<null>");
    EXPECT_EQ(load(voice("probe_bad_config.onnx")), -1);
    EXPECT_NE(error_text(), "<null>");
    EXPECT_EQ(load(kScratch), -1) << "a folder is no model";
    EXPECT_NE(error_text(), "<null>");

    int16_t *samples = reinterpret_cast<int16_t *>(1);
    int32_t count = 7;
    EXPECT_EQ(quietly([&] { return orvel_speak_to_buffer(0, "hi", &samples, &count); }), -1);
    EXPECT_NE(error_text(), "<null>");
    ASSERT_EQ(load(voice("probe.onnx")), 0);
    EXPECT_EQ(quietly([&] { return orvel_speak_to_buffer(0, nullptr, &samples, &count); }), -1);
    EXPECT_EQ(quietly([&] { return orvel_speak_to_buffer(9, "hi", &samples, &count); }), -1);
    EXPECT_EQ(quietly([&] { return orvel_speak_to_buffer(-1, "hi", &samples, &count); }), -1);
    script_clauses({"a"});
    EXPECT_EQ(quietly([&] { return orvel_speak_to_file(0, "hi", (kScratch + "/no/such/folder/x.wav").c_str()); }), -1);
    EXPECT_NE(error_text(), "<null>");
}

TEST(BadInit, MissingOrEmptyDataPathIsRefused) {
    const std::string missing = kScratch + "/no-such-espeak-data";
    EXPECT_EQ(quietly([&] { return orvel_init(missing.c_str()); }), -1);
    EXPECT_EQ(error_text(), "espeak-ng data folder not found: " + missing);
    EXPECT_EQ(quietly([] { return orvel_init(""); }), -1);
    EXPECT_EQ(error_text(), "espeak-ng data path is empty (NULL gives eSpeak NG's default)");
    EXPECT_EQ(loaded_espeak(), "");
}
