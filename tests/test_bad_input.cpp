// Bad input through the public API, one table: every row is a scenario with its
// result and message. Each row checks the result, that exactly one
// "[orvel] ERROR:" line was written (none for the rows whose documented result
// is a success or a silent no-op), the recorded message, and then that the
// library still speaks a good request. Leaks are caught by running this suite
// under AddressSanitizer/LeakSanitizer in the sanitizer pass of scripts/test.
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "orvel.h"
#include "orvel_internal.h"
#include "probe_voice.h"
#include "test_util.h"

namespace {

const char kErrorPrefix[] = "[orvel] ERROR: ";
const char kGoodText[] = "Hello world.";

std::string probe_model() { return test_voice("probe.onnx"); }
std::string probe_config_text() { return read_file(test_voice("probe.onnx.json")); }

// A configuration file in the scratch folder, named after the row.
std::string config_name(const char *name) { return std::string("bad-input-") + name + ".json"; }
std::string config_path(const char *name) { return scratch_dir() + "/" + config_name(name); }
std::string config_file(const char *name, const std::string &text) {
    return write_scratch_file(config_name(name), text);
}

// The probe model with the given configuration: the load result.
int load_probe_with(const char *name, const std::string &config_text) {
    return orvel_load_voice(probe_model().c_str(), config_file(name, config_text).c_str());
}

// A model file with the given bytes and the probe's configuration beside it.
int load_model_bytes(const char *name, const std::string &bytes) {
    std::string model = write_scratch_file(std::string("bad-input-") + name + ".onnx", bytes);
    return orvel_load_voice(model.c_str(), test_voice("probe.onnx.json").c_str());
}

// Speaks text with a voice and frees the buffer: the result, after a
// check of the out-parameters: a buffer on success; on failure either left
// untouched (a rejected argument) or null and 0 (a failed synthesis).
int16_t g_sentinel_sample;
int speak(int voice, const char *text) {
    int16_t *samples = &g_sentinel_sample;
    int32_t count = -1;
    int result = orvel_speak_to_buffer(voice, text, &samples, &count);
    const bool untouched = samples == &g_sentinel_sample && count == -1;
    if (result == 0 && (samples == nullptr || untouched || count < 0)) return -100;
    if (result != 0 && !untouched && (samples != nullptr || count != 0)) return -101;
    if (!untouched) orvel_free_audio(samples);
    return result;
}

// Loads a voice, speaks with it, unloads it: the first failing result. A load
// failure is returned as -200 so a row cannot pass by failing the wrong step.
int load_and_speak(const std::string &model, const std::string &config, const char *text) {
    int voice = orvel_load_voice(model.c_str(), config.c_str());
    if (voice < 0) return -200;
    int result = speak(voice, text);
    orvel_unload_voice(voice);
    return result;
}

int load_config_and_speak(const char *name, const std::string &config_text, const char *text) {
    return load_and_speak(probe_model(), config_file(name, config_text), text);
}

// The probe's configuration with its audio.sample_rate value replaced.
std::string with_sample_rate(const std::string &value) {
    std::string text = probe_config_text();
    size_t at = text.find("\"sample_rate\": ");
    size_t end = text.find_first_of(",}\n", at);
    return text.replace(at, end - at, "\"sample_rate\": " + value);
}

// UTF-8 of a code point below U+10000.
std::string utf8_of(int cp) {
    std::string s;
    if (cp < 0x80) {
        s += static_cast<char>(cp);
    } else if (cp < 0x800) {
        s += static_cast<char>(0xC0 | (cp >> 6));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        s += static_cast<char>(0xE0 | (cp >> 12));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return s;
}

int speak_voice_file(const char *voice_file, const char *text) {
    return load_and_speak(test_voice(voice_file), test_voice(std::string(voice_file) + ".json"), text);
}

// Phonemes the probe voice (slot 0) was given for a text: its ids are "^", a
// pad, each phoneme and a pad, and "$". -1 when speaking fails.
int64_t probe_phonemes(const std::string &text) {
    int16_t *samples = nullptr;
    int32_t count = 0;
    if (orvel_speak_to_buffer(0, text.c_str(), &samples, &count) != 0) return -1;
    ProbeReading reading;
    bool ok = decode_probe(samples, count, &reading);
    orvel_free_audio(samples);
    return ok ? (reading.n - 3) / 2 : -1;
}

// Speaks the pieces as one text (joined by spaces): 0 when it has all their
// phonemes (and the spaces), 1 when some went missing, -1 when a request failed.
int speak_in_full(const std::vector<std::string> &pieces) {
    std::string whole;
    int64_t expected = -1;
    for (const std::string &piece : pieces) {
        int64_t alone = probe_phonemes(piece);
        if (alone < 0) return -1;
        expected += alone + 1;
        whole += (whole.empty() ? "" : " ") + piece;
    }
    int64_t spoken = probe_phonemes(whole);
    return spoken < 0 ? -1 : spoken == expected ? 0 : 1;
}

// Every call that has no error to report, made in an uninitialised state:
// getters answer -1, setters, unload and free ignore the call. Returns the
// number of getters that did not answer -1.
int silent_calls_uninitialised() {
    int wrong = 0;
    for (int id : {-1, 0, 7, 8}) {
        wrong += orvel_get_voice_sample_rate(id) != -1;
        wrong += orvel_get_num_speakers(id) != -1;
        orvel_set_speed(id, 1.5f);
        orvel_set_speaker(id, 1);
        orvel_set_noise(id, 0.5f, 0.5f);
        orvel_unload_voice(id);
    }
    orvel_free_audio(nullptr);
    wrong += std::strcmp(orvel_version(), "1.0.0") != 0;
    orvel_shutdown();
    return wrong;
}

void quiet_shutdown() { orvel_shutdown(); }

int speak_to_buffer_uninitialised() {
    int16_t *samples = nullptr;
    int32_t count = 0;
    return orvel_speak_to_buffer(0, kGoodText, &samples, &count);
}

// The fixture's state on entry to a row: initialised with the default eSpeak
// NG data and the probe voice loaded in slot 0.
struct Row {
    const char *name;
    int (*run)();
    int expected;         // result of run()
    const char *message;  // recorded message; nullptr: no error line at all
    bool prefix;          // message is a prefix (the rest is ONNX Runtime's or a path)
};

std::ostream &operator<<(std::ostream &out, const Row &row) { return out << row.name; }

std::string scratch(const char *name) { return scratch_dir() + "/" + name; }

// Rows whose message carries a path build it here and compare exactly.
std::string g_expected_message;

const Row kRows[] = {
    // Model files.
    {"corrupt_onnx", [] {
         std::string bytes = read_file(probe_model());
         return load_model_bytes("corrupt", bytes.substr(0, bytes.size() / 2));
     }, -1, "ONNX Runtime: ", true},
    {"empty_onnx", [] { return load_model_bytes("empty", ""); }, -1, "ONNX Runtime: ", true},
    {"foreign_onnx_text", [] {
         return orvel_load_voice(test_voice("bad_not_onnx.onnx").c_str(), nullptr);
     }, -1, "ONNX Runtime: ", true},
    {"foreign_onnx_random_bytes", [] {
         std::string bytes(4096, '\0');
         uint32_t x = 12345;
         for (char &c : bytes) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
         return load_model_bytes("random", bytes);
     }, -1, "ONNX Runtime: ", true},
    {"missing_model_file", [] {
         return orvel_load_voice(scratch("nope.onnx").c_str(), test_voice("probe.onnx.json").c_str());
     }, -1, "ONNX Runtime: ", true},
    {"model_path_null", [] { return orvel_load_voice(nullptr, nullptr); }, -1, "model_path is NULL", false},
    {"model_path_too_long", [] {
         std::string path(PATH_SIZE, 'a');
         return orvel_load_voice(path.c_str(), nullptr);
     }, -1, "model_path is too long (", true},
    {"wrong_input_names", [] { return speak_voice_file("bad_input_names.onnx", kGoodText); }, -1,
     "ONNX Runtime: ", true},
    {"missing_output", [] { return speak_voice_file("bad_no_output_name.onnx", kGoodText); }, -1,
     "ONNX Runtime: ", true},
    {"non_float_output", [] { return speak_voice_file("bad_int64_output.onnx", kGoodText); }, -1,
     "Model output \"output\" has element type 7, expected float (1)", false},
    {"zero_dimension_output", [] { return speak_voice_file("bad_scalar_output.onnx", kGoodText); }, -1,
     "Model output \"output\" has no dimension, expected a shape ending in the sample count", false},
    // An empty waveform is a valid answer: 0 samples in a non-null buffer.
    {"empty_output", [] { return speak_voice_file("fixed_empty.onnx", kGoodText); }, 0, nullptr, false},

    // Configurations (the probe model with the given configuration).
    {"config_missing", [] {
         g_expected_message = "Failed to parse config: " + scratch("missing.json");
         return orvel_load_voice(probe_model().c_str(), scratch("missing.json").c_str());
     }, -1, "", false},
    {"config_default_path_missing", [] {
         g_expected_message = "Failed to parse config: " + test_voice("probe_broken_config.onnx.json");
         return orvel_load_voice(test_voice("probe_broken_config.onnx").c_str(), nullptr);
     }, -1, "", false},
    {"config_is_a_folder", [] {
         g_expected_message = "Config is not a regular file: " + scratch_dir();
         return orvel_load_voice(probe_model().c_str(), scratch_dir().c_str());
     }, -1, "", false},
    {"config_empty", [] {
         g_expected_message = "Failed to parse config: " + config_path("empty");
         return load_probe_with("empty", "");
     }, -1, "", false},
    {"config_blank", [] {
         g_expected_message = "Failed to parse config: " + config_path("blank");
         return load_probe_with("blank", " \n\t\r\n ");
     }, -1, "", false},
    // The reader takes JSON text without a byte order mark, as JSON writers produce it.
    {"config_bom", [] {
         g_expected_message = "Failed to parse config: " + config_path("bom");
         return load_probe_with("bom", "\xEF\xBB\xBF" + probe_config_text());
     }, -1, "", false},
    {"config_array", [] {
         g_expected_message = "Failed to parse config: " + test_voice("probe_bad_config.onnx.json");
         return orvel_load_voice(test_voice("probe_bad_config.onnx").c_str(), nullptr);
     }, -1, "", false},
    {"config_binary", [] {
         g_expected_message = "Failed to parse config: " + config_path("binary");
         return load_probe_with("binary", std::string("\x00\x01{\xFF", 4));
     }, -1, "", false},
    // A cut file keeps what was read before the cut: the markers and the first
    // symbols come first, so the voice still speaks.
    {"config_truncated", [] {
         std::string text = probe_config_text();
         return load_config_and_speak("truncated", text.substr(0, text.size() / 2), kGoodText);
     }, 0, nullptr, false},
    {"config_cut_in_a_string", [] {
         g_expected_message = "Config has no phoneme_id_map rows: " + config_path("cut-string");
         return load_probe_with("cut-string", "{\"espeak\": {\"voice\": \"en-us");
     }, -1, "", false},
    {"config_10_mb", [] {
         std::string text = probe_config_text();
         text.insert(1, "\"padding\": \"" + std::string(10u << 20, 'x') + "\",");
         return load_config_and_speak("10mb", text, kGoodText);
     }, 0, nullptr, false},
    // Nesting deeper than the reader follows stops the reading before the map.
    {"config_deep_nesting_before_the_map", [] {
         std::string text = probe_config_text();
         text.insert(1, "\"deep\": " + std::string(100000, '[') + std::string(100000, ']') + ",");
         g_expected_message = "Config has no phoneme_id_map rows: " + config_path("deep");
         return load_probe_with("deep", text);
     }, -1, "", false},
    {"config_map_without_markers", [] {
         return load_config_and_speak("no-markers",
                                      "{\"phoneme_id_map\": {\"h\": [22], \"\xC9\x99\": [77], \"l\": [26]}}",
                                      kGoodText);
     }, 0, nullptr, false},
    {"config_empty_map", [] {
         g_expected_message = "Config has no phoneme_id_map rows: " + config_path("empty-map");
         return load_probe_with("empty-map", "{\"phoneme_id_map\": {}}");
     }, -1, "", false},
    {"config_without_map", [] {
         g_expected_message = "Config has no phoneme_id_map rows: " + config_path("no-map");
         return load_probe_with("no-map", "{\"espeak\": {\"voice\": \"en-us\"}, \"audio\": {\"sample_rate\": 22050}}");
     }, -1, "", false},
    // Rows past the map's capacity would be dropped unseen: refused instead.
    {"config_rows_beyond_capacity", [] {
         std::string map;
         for (int i = 0; i < MAX_PHONEMES + 1; ++i) map += (i ? ", \"" : "\"") + utf8_of(0x100 + i) + "\": [3]";
         g_expected_message = "Config has 513 phoneme_id_map rows, more than the 512 a voice may have: " +
                              config_path("513-rows");
         return load_probe_with("513-rows", "{\"phoneme_id_map\": {" + map + "}}");
     }, -1, "", false},
    // A sample rate no audio has is refused at load, whatever its spelling.
    {"config_sample_rate_negative", [] { return load_probe_with("rate-negative", with_sample_rate("-22050")); },
     -1, "Config audio.sample_rate is -22050 Hz, expected 1000 to 384000: ", true},
    {"config_sample_rate_zero", [] { return load_probe_with("rate-zero", with_sample_rate("0")); },
     -1, "Config audio.sample_rate is 0 Hz, expected 1000 to 384000: ", true},
    {"config_sample_rate_string", [] { return load_probe_with("rate-string", with_sample_rate("\"fast\"")); },
     -1, "Config audio.sample_rate is 0 Hz, expected 1000 to 384000: ", true},
    {"config_sample_rate_huge", [] { return load_probe_with("rate-huge", with_sample_rate("2147483647")); },
     -1, "Config audio.sample_rate is 2147483647 Hz, expected 1000 to 384000: ", true},
    // FIFOs and devices would block or never end: refused before they are opened.
    {"config_is_a_fifo", [] {
         std::string fifo = scratch("config.fifo");
         mkfifo(fifo.c_str(), 0600);
         g_expected_message = "Config is not a regular file: " + fifo;
         return orvel_load_voice(probe_model().c_str(), fifo.c_str());
     }, -1, "", false},
    {"config_is_a_device", [] { return orvel_load_voice(probe_model().c_str(), "/dev/zero"); }, -1,
     "Config is not a regular file: /dev/zero", false},
    {"model_is_a_fifo", [] {
         std::string fifo = scratch("model.fifo");
         mkfifo(fifo.c_str(), 0600);
         g_expected_message = "Model is not a regular file: " + fifo;
         return orvel_load_voice(fifo.c_str(), test_voice("probe.onnx.json").c_str());
     }, -1, "", false},
    {"model_is_a_device", [] { return orvel_load_voice("/dev/zero", test_voice("probe.onnx.json").c_str()); }, -1,
     "Model is not a regular file: /dev/zero", false},
    {"output_without_a_finite_sample", [] { return speak_voice_file("fixed_nonfinite.onnx", kGoodText); }, -1,
     "Model output has no finite sample (3 samples)", false},
    // eSpeak NG refuses the name at every request; the load itself cannot know.
    {"config_unknown_espeak_voice", [] {
         std::string text = probe_config_text();
         text.replace(text.find("\"en-us\""), 7, "\"xx-no-such-voice\"");
         return load_config_and_speak("unknown-voice", text, kGoodText);
     }, -1, "eSpeak NG voice \"xx-no-such-voice\" could not be selected (by name or by language)", false},
    // A language code eSpeak NG's voices list, but no voice's name.
    {"config_espeak_language_code", [] {
         std::string text = probe_config_text();
         text.replace(text.find("\"en-us\""), 7, "\"en-gb\"");
         return load_config_and_speak("language-code", text, kGoodText);
     }, 0, nullptr, false},

    // Texts for the probe voice.
    {"text_null", [] { return speak(0, nullptr); }, -1, "Empty text", false},
    {"text_empty", [] { return speak(0, ""); }, -1, "Empty text", false},
    // Spoken in runs of at most 8191 bytes and 4096 ids: a success.
    {"text_1_mb", [] { return speak(0, std::string(1u << 20, 'a').append(" b.").c_str()); }, 0, nullptr, false},
    {"text_1_mb_of_words", [] {
         std::string text;
         while (text.size() < (1u << 20)) text += "the quick brown fox. ";
         return speak(0, text.c_str());
     }, 0, nullptr, false},
    // eSpeak NG reads bytes that are not UTF-8 as Latin-1.
    {"text_invalid_utf8", [] { return speak(0, "caf\xE9 \xC3\x28 \xF0\x28\x8C\x28 \xFF\xFE na\xEFve"); }, 0,
     nullptr, false},
    // Ⱥ lower-cases to three bytes: the word guard counts them so.
    {"text_word_growing_in_lower_case", [] {
         std::string text = "x.";
         for (int i = 0; i < 56; ++i) text += "\xC8\xBA";
         return speak(0, text.c_str());
     }, 0, nullptr, false},
    // eSpeak NG dropped the rest of a clause past about 1,000 phonemes or 300
    // words (19 of 30 such numbers were spoken) with rc 0.
    {"text_long_clause_of_numbers", [] { return speak_in_full(std::vector<std::string>(25, "1234567")); }, 0,
     nullptr, false},
    {"text_long_clause_of_silent_words", [] {
         std::string bars;
         for (int i = 0; i < 320; ++i) bars += "| ";
         return speak_in_full({bars + "hello", "world"});
     }, 0, nullptr, false},
    {"text_only_punctuation", [] { return speak(0, "?!.,;:-()\"'"); }, -1, "Phonemization failed for text", false},
    {"text_only_whitespace", [] { return speak(0, " \t\n\r  \n"); }, -1, "Phonemization failed for text", false},
    {"text_control_characters", [] {
         std::string text;
         for (int c = 1; c < 32; ++c) text += static_cast<char>(c);
         text += '\x7F';
         return speak(0, text.c_str());
     }, -1, "Phonemization failed for text", false},
    {"output_pointers_null", [] { return orvel_speak_to_buffer(0, kGoodText, nullptr, nullptr); }, -1,
     "NULL output pointers", false},
    {"voice_id_negative", [] { return speak(-1, kGoodText); }, -1, "Invalid voice_id: -1", false},
    {"voice_id_8", [] { return speak(8, kGoodText); }, -1, "Invalid voice_id: 8", false},
    {"voice_id_free_slot", [] { return speak(5, kGoodText); }, -1, "Invalid voice_id: 5", false},
    {"ninth_voice", [] {
         for (int i = 1; i < MAX_VOICES; ++i)
             if (orvel_load_voice(probe_model().c_str(), nullptr) != i) return -300;
         int ninth = orvel_load_voice(probe_model().c_str(), nullptr);
         for (int i = 1; i < MAX_VOICES; ++i) orvel_unload_voice(i);
         return ninth;
     }, -1, "Maximum voices (8) already loaded", false},

    // Output files.
    {"wav_path_null", [] { return orvel_speak_to_file(0, kGoodText, nullptr); }, -1, "wav_path is NULL", false},
    {"wav_path_in_missing_folder", [] {
         g_expected_message = "Failed to write WAV file: " + scratch("no-such-folder/out.wav") +
                              " (No such file or directory)";
         return orvel_speak_to_file(0, kGoodText, scratch("no-such-folder/out.wav").c_str());
     }, -1, "", false},
    // A folder cannot be opened for writing, not even by root.
    {"wav_path_unwritable", [] {
         g_expected_message = "Failed to write WAV file: " + scratch_dir() + " (Is a directory)";
         return orvel_speak_to_file(0, kGoodText, scratch_dir().c_str());
     }, -1, "", false},
    {"wav_path_in_proc", [] {
         g_expected_message = "Failed to write WAV file: /proc/orvel-test.wav (No such file or directory)";
         return orvel_speak_to_file(0, kGoodText, "/proc/orvel-test.wav");
     }, -1, "", false},
    {"wav_path_dev_full", [] {
         int result = orvel_speak_to_file(0, kGoodText, "/dev/full");
         struct stat st;
         if (stat("/dev/full", &st) != 0 || !S_ISCHR(st.st_mode)) return -400;  // never removed
         return result;
     }, -1, "Failed to write WAV file: /dev/full (No space left on device)", false},

    // Lifecycle.
    {"double_init", [] { return orvel_init(nullptr); }, -1, "Already initialized", false},
    {"before_init_load", [] {
         quiet_shutdown();
         return orvel_load_voice(probe_model().c_str(), nullptr);
     }, -1, "Not initialized \xE2\x80\x94 call orvel_init() first", false},
    {"before_init_speak_to_buffer", [] {
         quiet_shutdown();
         return speak_to_buffer_uninitialised();
     }, -1, "Not initialized", false},
    {"before_init_speak_to_file", [] {
         quiet_shutdown();
         return orvel_speak_to_file(0, kGoodText, scratch("never.wav").c_str());
     }, -1, "Not initialized", false},
    {"before_init_silent_calls", [] {
         quiet_shutdown();
         return silent_calls_uninitialised();
     }, 0, nullptr, false},
    // After a shutdown that followed real use: the slot ids that were valid are stale.
    {"after_shutdown_load", [] {
         if (speak(0, kGoodText) != 0) return -500;
         quiet_shutdown();
         return orvel_load_voice(probe_model().c_str(), nullptr);
     }, -1, "Not initialized \xE2\x80\x94 call orvel_init() first", false},
    {"after_shutdown_speak_to_buffer", [] {
         if (speak(0, kGoodText) != 0) return -500;
         quiet_shutdown();
         return speak_to_buffer_uninitialised();
     }, -1, "Not initialized", false},
    {"after_shutdown_speak_to_file", [] {
         if (speak(0, kGoodText) != 0) return -500;
         quiet_shutdown();
         return orvel_speak_to_file(0, kGoodText, scratch("never.wav").c_str());
     }, -1, "Not initialized", false},
    {"after_shutdown_silent_calls", [] {
         if (speak(0, kGoodText) != 0) return -500;
         quiet_shutdown();
         return silent_calls_uninitialised() + (file_exists(scratch("never.wav")) ? 1 : 0);
     }, 0, nullptr, false},
    // eSpeak NG 1.51 would read its default data instead of a path that is no
    // folder, while the log named the path: refused, naming it.
    {"espeak_data_path_missing", [] {
         quiet_shutdown();
         g_expected_message = "espeak-ng data folder not found: " + scratch("no-such-espeak-data");
         return orvel_init(scratch("no-such-espeak-data").c_str());
     }, -1, "", false},
    {"espeak_data_path_is_a_file", [] {
         quiet_shutdown();
         std::string file = write_scratch_file("espeak-data-file", "phontab");
         g_expected_message = "espeak-ng data folder not found: " + file;
         return orvel_init(file.c_str());
     }, -1, "", false},
    {"espeak_data_path_empty", [] {
         quiet_shutdown();
         return orvel_init("");
     }, -1, "espeak-ng data path is empty (NULL gives eSpeak NG's default)", false},
    // Without a path eSpeak NG reads $ESPEAK_DATA_PATH: the message names it.
    {"espeak_data_path_from_environment_without_data", [] {
         quiet_shutdown();
         std::string folder = scratch("empty-espeak-data-env");
         mkdir(folder.c_str(), 0700);
         setenv("ESPEAK_DATA_PATH", folder.c_str(), 1);
         g_expected_message = "Failed to initialize espeak-ng (data path: ESPEAK_DATA_PATH=" + folder + ")";
         int result = orvel_init(nullptr);
         unsetenv("ESPEAK_DATA_PATH");
         return result;
     }, -1, "", false},
    // Anyone may put a library into a world-writable folder: it is not loaded.
    {"espeak_data_path_in_world_writable_folder", [] {
         quiet_shutdown();
         std::string folder = scratch("world-writable");
         mkdir(folder.c_str(), 0777);
         chmod(folder.c_str(), 0777);
         std::string planted = write_scratch_file("world-writable/libespeak-ng.so.1",
                                                 read_file(ORVEL_STUB_ESPEAK_DIR "/full/libespeak-ng.so.1"));
         // Real data, so that eSpeak NG itself is what starts.
         if (symlink("/usr/lib/x86_64-linux-gnu/espeak-ng-data", (folder + "/espeak-ng-data").c_str()) != 0)
             return -700;
         int result = orvel_init((folder + "/espeak-ng-data").c_str());
         void *handle = dlopen(planted.c_str(), RTLD_NOW | RTLD_NOLOAD);
         if (handle) dlclose(handle);
         return handle ? -600 : result;
     }, 0, nullptr, false},
    {"espeak_data_path_without_data", [] {
         quiet_shutdown();
         std::string folder = scratch("empty-espeak-data");
         mkdir(folder.c_str(), 0700);
         g_expected_message = "Failed to initialize espeak-ng (data path: " + folder + ")";
         return orvel_init(folder.c_str());
     }, -1, "", false},
};

class BadInput : public ::testing::TestWithParam<Row> {
protected:
    void SetUp() override {
        testing::internal::CaptureStderr();
        int init = orvel_init(nullptr);
        int voice = init == 0 ? orvel_load_voice(probe_model().c_str(), nullptr) : -1;
        testing::internal::GetCapturedStderr();
        ASSERT_EQ(init, 0);
        ASSERT_EQ(voice, 0);
    }
    void TearDown() override {
        testing::internal::CaptureStderr();
        orvel_shutdown();
        testing::internal::GetCapturedStderr();
    }
};

TEST_P(BadInput, FailsCleanlyAndTheLibraryRecovers) {
    const Row &row = GetParam();
    g_expected_message.clear();

    testing::internal::CaptureStderr();
    int result = row.run();
    std::string log = testing::internal::GetCapturedStderr();
    const char *error = orvel_get_error();
    std::string recorded = error ? error : "<none>";

    EXPECT_EQ(result, row.expected) << log;
    if (!row.message) {
        EXPECT_EQ(count_of(log, kErrorPrefix), 0u) << log;
    } else {
        std::string expected = g_expected_message.empty() ? row.message : g_expected_message;
        EXPECT_EQ(count_of(log, kErrorPrefix), 1u) << log;
        if (row.prefix) {
            EXPECT_EQ(recorded.compare(0, expected.size(), expected), 0) << recorded;
            EXPECT_GT(recorded.size(), expected.size()) << "no detail after the prefix: " << recorded;
        } else {
            EXPECT_EQ(recorded, expected);
        }
        EXPECT_NE(log.find(kErrorPrefix + recorded + "\n"), std::string::npos) << log;
    }

    // Still usable: initialise again if the row left the library down, then a
    // good request with the probe voice must come back decodable.
    testing::internal::CaptureStderr();
    int init = g_initialized ? 0 : orvel_init(nullptr);
    int voice = orvel_get_voice_sample_rate(0) > 0 ? 0 : orvel_load_voice(probe_model().c_str(), nullptr);
    int16_t *samples = nullptr;
    int32_t count = 0;
    int spoken = voice >= 0 ? orvel_speak_to_buffer(voice, kGoodText, &samples, &count) : -1;
    std::string recovery_log = testing::internal::GetCapturedStderr();
    ASSERT_EQ(init, 0) << recovery_log;
    ASSERT_GE(voice, 0) << recovery_log;
    ASSERT_EQ(spoken, 0) << recovery_log;
    EXPECT_EQ(orvel_get_error(), nullptr);
    ProbeReading reading;
    EXPECT_TRUE(decode_probe(samples, count, &reading));
    EXPECT_GT(reading.ids.size(), 4u);
    orvel_free_audio(samples);
}

INSTANTIATE_TEST_SUITE_P(Table, BadInput, ::testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

}  // namespace
