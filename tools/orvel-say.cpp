// orvel-say: speaks text with a talmerin-orvel voice into a WAV file or raw PCM.
//
// Uses only the public C API (orvel.h). Long texts are split into requests the
// library can take whole, spoken in order and written out as each finishes.
#include "orvel.h"
#include "cli.h"
#include "text_plan.h"
#include "replacing_file.h"
#include "ssml.h"
#include "captions.h"
#include "voice_info.h"
#include "wav_header.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace fs = std::filesystem;
using orvel_tools::library_error;
using orvel_tools::message;

namespace {

enum ExitCode {
    EXIT_OK = 0,
    EXIT_USAGE = 2,   // bad option, unreadable or empty text, no voice given
    EXIT_INIT = 3,    // orvel_init failed (eSpeak NG or ONNX Runtime)
    EXIT_VOICE = 4,   // orvel_load_voice failed
    EXIT_SYNTH = 5,   // a request failed, or nothing could be spoken
    EXIT_OUTPUT = 6,  // the WAV file or standard output could not be written
};

const char *const kBundledVoice = "orvel-en-us-arctic.onnx";

// Each request is spoken on its own, so the pause that would follow a sentence
// inside one request is lost at a request's end; this puts back a short pause,
// about what a reader leaves between sentences.
constexpr double kDefaultSentenceSilenceMs = 200.0;
constexpr double kMaxSentenceSilenceMs = 60000.0;

// The audio, and the memory the model needs for it, grows with the length
// scale: 10000 took 80 s and 6.1 GB for "Hello world.", and 1e30 failed inside
// ONNX Runtime. Twenty times slower or faster is beyond any use already.
constexpr double kMinSpeed = 0.05;
constexpr double kMaxSpeed = 20.0;
// The noise width scales the durations' randomness, and they grow
// exponentially with it: at 10 two sentences lasted 7 s, at 50 the model
// took 1.6 GB and over two minutes, at 1000 it failed inside ONNX Runtime.
constexpr double kMaxNoiseW = 10.0;

struct Params {
    std::string model;        // empty: the bundled voice
    std::string config;       // empty: model + ".json"
    std::string output;       // WAV path
    std::string text_file;    // empty: arguments or standard input
    std::string espeak_data;  // empty: eSpeak NG's default
    std::string language;     // non-empty: the voice is the folders' voice for it
    std::string voice_dir;    // empty: the bundled voice folders
    bool list_voices = false;
    bool raw = false;
    bool play = false;        // neither -o nor --raw: the sound device, through a player
    bool verbose = false;     // the library's and ONNX Runtime's own lines too
    bool ssml = false;        // the text is SSML even if it does not start with <speak
    bool plain = false;       // the text is plain even if it starts with <speak
    float speed = 0.0f;       // 0: the voice's configured value
    float noise = 0.0f;
    float noise_w = 0.0f;
    std::string speaker;      // empty: the voice's default; else an id or a name
    double sentence_silence_ms = kDefaultSentenceSilenceMs;
    std::vector<std::string> lexicons;  // --lexicon files, in order
    std::string subtitles;    // empty: no captions; else a .vtt or .srt path
    std::vector<std::string> text_args;
};

// ---------------------------------------------------------------------------
// Command line

void print_help(const char *argv0) {
    std::string bundled = orvel_tools::find_bundled_voice(argv0, kBundledVoice);
    std::printf(
        "usage: orvel-say [options] [TEXT...]\n"
        "\n"
        "Speaks UTF-8 text with a talmerin-orvel voice. The text comes from the arguments,\n"
        "from -f FILE, or else from standard input. Long texts are split at paragraphs,\n"
        "sentences and words, spoken in full and written out as they are spoken.\n"
        "\n"
        "options:\n"
        "  -h, --help                show this help and exit\n"
        "      --version             print the library version and exit\n"
        "  -m, --model FILE.onnx     voice model (default: %s)\n"
        "  -c, --config FILE.json    voice configuration (default: the model path + \".json\")\n"
        "      --language LANG       speak with the voice for LANG (e.g. cs, en, en-us) from the\n"
        "                            voice folders instead of -m; of several: the closest tag, then\n"
        "                            the bundled voice, then the first by name\n"
        "      --voice-dir DIR       the voice folder for --language, --list-voices and the bundled\n"
        "                            voice (default: the bundled voices' folders)\n"
        "      --list-voices         list the voice folders' voices with their languages (with\n"
        "                            --language: the voices for LANG, the one it picks first) and exit\n"
        "  -f, --file FILE           read the text from FILE, \"-\" for standard input\n"
        "                            (default: the arguments, else standard input)\n"
        "  -o, --output FILE.wav     write a 16-bit mono WAV file (at most 4 GB)\n"
        "      --raw                 write signed 16-bit little-endian mono PCM at the voice's\n"
        "                            sample rate to standard output instead\n"
        "      --speed X             length scale from %g to %g, larger is slower\n"
        "                            (default: the voice's own)\n"
        "      --speaker N|NAME      speaker of a multi-speaker voice: its number, or a name from\n"
        "                            the configuration's speaker_id_map (default: the voice's own)\n"
        "      --noise X             noise scale (default: the voice's own)\n"
        "      --noise-w X           noise width, at most %g (default: the voice's own)\n"
        "      --sentence-silence MS silence between sentences in milliseconds (default: %g)\n"
        "      --espeak-data DIR     eSpeak NG data folder (default: eSpeak NG's own)\n"
        "      --ssml                read the text as SSML (default: when it starts with <speak)\n"
        "      --plain               read the text as plain text, even when it starts with <speak\n"
        "      --lexicon FILE        say words as FILE respells them: one \"word respelling\" a line\n"
        "                            (repeatable)\n"
        "      --subtitles FILE      also write captions, a cue per sentence: WebVTT for FILE.vtt,\n"
        "                            SubRip for FILE.srt\n"
        "  -v, --verbose             also show the library's and ONNX Runtime's own lines\n"
        "\n"
        "Without -o or --raw the audio goes to the sound device through the first of pw-play,\n"
        "paplay and aplay found on the PATH. A run that speaks the whole text prints nothing;\n"
        "a failure prints one line with its cause.\n"
        "\n"
        "exit codes:\n"
        "  0  success\n"
        "  2  usage or input: a bad option, unreadable or empty text, no voice\n"
        "  3  the library could not start (eSpeak NG or ONNX Runtime)\n"
        "  4  the voice could not be loaded\n"
        "  5  synthesis failed, or no part of the text could be spoken\n"
        "  6  the output could not be written\n",
        bundled.empty() ? "the bundled voice, none installed" : bundled.c_str(), kMinSpeed, kMaxSpeed,
        kMaxNoiseW, kDefaultSentenceSilenceMs);
}

// A scale above 0, at most 1e6.
bool parse_scale(const std::string &text, float *out) {
    double value = 0.0;
    if (!orvel_tools::parse_number(text, 0.0, 1e6, &value) || value == 0.0) return false;
    *out = static_cast<float>(value);
    return true;
}

// Returns EXIT_OK to go on, -1 after --help or --version, or EXIT_USAGE.
int parse_args(int argc, char **argv, Params *params) {
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (options_done || arg.empty() || arg[0] != '-' || arg == "-") {
            params->text_args.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            print_help(argv[0]);
            return -1;
        }
        if (arg == "--version") {
            std::printf("orvel-say %s\n", orvel_version());
            return -1;
        }
        if (arg == "--raw") {
            params->raw = true;
            continue;
        }
        if (arg == "--list-voices") {
            params->list_voices = true;
            continue;
        }
        if (arg == "-v" || arg == "--verbose") {
            params->verbose = true;
            continue;
        }
        if (arg == "--ssml" || arg == "--plain") {
            (arg == "--ssml" ? params->ssml : params->plain) = true;
            continue;
        }
        // The remaining options take a value, as "--opt VALUE" or "--opt=VALUE".
        std::string name = arg, value;
        bool have_value = false;
        size_t equals = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
            have_value = true;
        }
        static const char *const kValued[] = {"-m", "--model", "-c", "--config", "-o", "--output", "-f", "--file",
                                              "--speed", "--speaker", "--noise", "--noise-w", "--sentence-silence",
                                              "--espeak-data", "--language", "--voice-dir", "--lexicon", "--subtitles"};
        bool known = false;
        for (const char *option : kValued) known = known || name == option;
        if (!known) {
            message("unknown option '%s' (see --help)", arg.c_str());
            return EXIT_USAGE;
        }
        if (!have_value) {
            if (i + 1 >= argc) {
                message("option '%s' needs a value (see --help)", name.c_str());
                return EXIT_USAGE;
            }
            value = argv[++i];
        }
        bool ok = true;
        if (name == "-m" || name == "--model") {
            params->model = value;
        } else if (name == "-c" || name == "--config") {
            params->config = value;
        } else if (name == "-o" || name == "--output") {
            params->output = value;
        } else if (name == "-f" || name == "--file") {
            params->text_file = value;
        } else if (name == "--espeak-data") {
            params->espeak_data = value;
        } else if (name == "--language") {
            params->language = value;
        } else if (name == "--voice-dir") {
            params->voice_dir = value;
        } else if (name == "--lexicon") {
            params->lexicons.push_back(value);
        } else if (name == "--subtitles") {
            orvel_tools::CaptionFormat format;
            if (!orvel_tools::caption_format_for(value, &format)) {
                message("bad value '%s' for --subtitles: give a file name ending in .vtt or .srt", value.c_str());
                return EXIT_USAGE;
            }
            params->subtitles = value;
        } else if (name == "--speed") {
            double speed = 0.0;
            if (!orvel_tools::parse_number(value, kMinSpeed, kMaxSpeed, &speed)) {
                message("bad value '%s' for --speed: give a length scale from %g to %g", value.c_str(), kMinSpeed,
                        kMaxSpeed);
                return EXIT_USAGE;
            }
            params->speed = static_cast<float>(speed);
        } else if (name == "--noise") {
            ok = parse_scale(value, &params->noise);
        } else if (name == "--noise-w") {
            if (!parse_scale(value, &params->noise_w) || params->noise_w > kMaxNoiseW) {
                message("bad value '%s' for --noise-w: give a noise width above 0, at most %g", value.c_str(),
                        kMaxNoiseW);
                return EXIT_USAGE;
            }
        } else if (name == "--speaker") {
            params->speaker = value;
        } else {  // --sentence-silence
            ok = orvel_tools::parse_number(value, 0.0, kMaxSentenceSilenceMs, &params->sentence_silence_ms);
        }
        if (!ok || (value.empty() && name != "--espeak-data")) {
            message("bad value '%s' for %s (see --help)", value.c_str(), name.c_str());
            return EXIT_USAGE;
        }
    }
    if (!params->model.empty() && !params->language.empty()) {
        message("give either -m MODEL.onnx or --language, not both");
        return EXIT_USAGE;
    }
    if (params->list_voices) return EXIT_OK;
    if (params->raw && !params->output.empty()) {
        message("give either -o FILE.wav or --raw, not both");
        return EXIT_USAGE;
    }
    params->play = !params->raw && params->output.empty();
    if (params->ssml && params->plain) {
        message("give either --ssml or --plain, not both");
        return EXIT_USAGE;
    }
    if (!params->text_file.empty() && !params->text_args.empty()) {
        message("give the text either as arguments or with -f, not both");
        return EXIT_USAGE;
    }
    return EXIT_OK;
}

// ---------------------------------------------------------------------------
// Voices

std::vector<std::string> voice_dirs(const Params &params, const char *argv0) {
    if (!params.voice_dir.empty()) return {params.voice_dir};
    return orvel_tools::bundled_voice_dirs(argv0);
}

std::string joined_dirs(const std::vector<std::string> &dirs) {
    std::string out;
    for (size_t i = 0; i < dirs.size(); ++i) out += (i == 0 ? "" : i + 1 == dirs.size() ? " and " : ", ") + dirs[i];
    return out;
}

// The folders' voices by name; a name in an earlier folder hides the same
// name in a later one, as for the bundled voice. With report, each voice that
// cannot be read gets a line. False after a message when a folder cannot be
// listed.
bool collect_voices(const std::vector<std::string> &dirs, bool report, std::vector<orvel_tools::VoiceInfo> *voices) {
    for (const std::string &dir : dirs) {
        std::vector<orvel_tools::VoiceInfo> found;
        std::vector<std::string> problems;
        std::string error;
        if (!orvel_tools::scan_voice_dir(dir, &found, &problems, &error)) {
            message("%s", error.c_str());
            return false;
        }
        if (report)
            for (const std::string &problem : problems) message("skipping a voice: %s", problem.c_str());
        for (orvel_tools::VoiceInfo &info : found) {
            bool hidden = std::any_of(voices->begin(), voices->end(),
                                      [&](const orvel_tools::VoiceInfo &v) { return v.name == info.name; });
            if (!hidden) voices->push_back(std::move(info));
        }
    }
    std::sort(voices->begin(), voices->end(),
              [](const orvel_tools::VoiceInfo &a, const orvel_tools::VoiceInfo &b) { return a.name < b.name; });
    return true;
}

// The voices for params.language, the one to speak with first: among voices
// whose tags fit it equally, the bundled voice leads, so "--language en"
// speaks as orvel-say does without options. Empty after a message that names
// the languages there are.
std::vector<orvel_tools::VoiceInfo> voices_for(const Params &params, const std::vector<std::string> &dirs,
                                                std::vector<orvel_tools::VoiceInfo> voices) {
    std::stable_partition(voices.begin(), voices.end(),
                          [](const orvel_tools::VoiceInfo &v) { return v.name + ".onnx" == kBundledVoice; });
    std::vector<orvel_tools::VoiceInfo> out;
    for (size_t index : orvel_tools::voices_for_language(voices, params.language)) out.push_back(voices[index]);
    if (out.empty()) {
        std::string where = joined_dirs(dirs);
        if (voices.empty()) {
            message("no voice for the language '%s': %s", params.language.c_str(),
                    dirs.empty() ? "no voices are installed (give a folder with --voice-dir)"
                                 : ("there are no voices in " + where).c_str());
        } else {
            message("no voice for the language '%s': the voices in %s speak %s", params.language.c_str(),
                    where.c_str(), orvel_tools::language_list(voices).c_str());
        }
    }
    return out;
}

// --list-voices: a line per voice, name first.
int list_voices(const Params &params, const char *argv0) {
    std::vector<std::string> dirs = voice_dirs(params, argv0);
    std::vector<orvel_tools::VoiceInfo> voices;
    if (!collect_voices(dirs, true, &voices)) return EXIT_USAGE;
    if (!params.language.empty()) {
        voices = voices_for(params, dirs, std::move(voices));
        if (voices.empty()) return EXIT_USAGE;
    } else if (voices.empty()) {
        message("no voices to list: %s", dirs.empty() ? "none are installed (give a folder with --voice-dir)"
                                                       : ("there are none in " + joined_dirs(dirs)).c_str());
        return EXIT_USAGE;
    }
    std::vector<std::string> speakers;
    size_t name_width = 0, language_width = 0, speakers_width = 0;
    for (const orvel_tools::VoiceInfo &voice : voices) {
        std::string text = std::to_string(voice.num_speakers) + (voice.num_speakers == 1 ? " speaker" : " speakers");
        for (size_t i = 0; i < voice.speakers.size(); ++i)
            text += (i == 0 ? ": " : ", ") + voice.speakers[i].first;
        speakers.push_back(text);
        name_width = std::max(name_width, voice.name.size());
        language_width = std::max(language_width, voice.language.size());
        speakers_width = std::max(speakers_width, text.size());
    }
    for (size_t i = 0; i < voices.size(); ++i) {
        const orvel_tools::VoiceInfo &voice = voices[i];
        std::printf("%-*s  %-*s  %6d Hz  %-*s  %s\n", static_cast<int>(name_width), voice.name.c_str(),
                    static_cast<int>(language_width), voice.language.c_str(), voice.sample_rate,
                    static_cast<int>(speakers_width), speakers[i].c_str(), voice.model_path.c_str());
    }
    return EXIT_OK;
}

// Without -m: the voice for --language, else the bundled voice, from the
// voice folders.
int choose_voice(const Params &params, const char *argv0, std::string *model) {
    std::vector<std::string> dirs = voice_dirs(params, argv0);
    if (!params.language.empty()) {
        std::vector<orvel_tools::VoiceInfo> voices;
        if (!collect_voices(dirs, false, &voices)) return EXIT_USAGE;
        voices = voices_for(params, dirs, std::move(voices));
        if (voices.empty()) return EXIT_USAGE;
        *model = voices[0].model_path;
        return EXIT_OK;
    }
    *model = orvel_tools::find_in_dirs(dirs, kBundledVoice);
    if (!model->empty()) return EXIT_OK;
    message("a voice is needed: give one with -m MODEL.onnx (its configuration is read from MODEL.onnx.json, "
            "or give -c CONFIG.json) or with --language; %s",
            params.voice_dir.empty() ? "no bundled voice is installed"
                                     : (params.voice_dir + " has no " + kBundledVoice).c_str());
    return EXIT_USAGE;
}

// ---------------------------------------------------------------------------
// Text

int read_text(const Params &params, std::string *text) {
    if (!params.text_args.empty()) {
        for (size_t i = 0; i < params.text_args.size(); ++i) {
            if (i) *text += ' ';
            *text += params.text_args[i];
        }
        return EXIT_OK;
    }
    if (params.text_file.empty() || params.text_file == "-") {
        orvel_tools::set_binary_mode(stdin);
        if (!orvel_tools::read_stream(stdin, text)) {
            message("cannot read standard input: %s", std::strerror(errno));
            return EXIT_USAGE;
        }
        return EXIT_OK;
    }
    std::string error;
    if (!orvel_tools::read_file(params.text_file, text, &error)) {
        message("%s", error.c_str());
        return EXIT_USAGE;
    }
    return EXIT_OK;
}

// ---------------------------------------------------------------------------
// Output
//
// A WAV file appears complete or not at all (see replacing_file.h).

class AudioSink {
public:
    // Opens the WAV file (writing its header) or standard output.
    bool open(const Params &params, int sample_rate) {
        raw_ = params.raw || params.play;
        if (params.play) return open_player(sample_rate);
        if (raw_) {
            if (orvel_tools::is_terminal(stdout)) {
                message("--raw writes binary audio: pipe standard output into a player or a file");
                return false;
            }
            orvel_tools::set_binary_mode(stdout);
            file_ = stdout;
            return true;
        }
        path_ = params.output;
        sample_rate_ = static_cast<uint32_t>(sample_rate);
        std::error_code ec;
        if (fs::is_directory(path_, ec)) {
            message("cannot write '%s': it is a directory", path_.c_str());
            return false;
        }
        if (!wav_.open(path_)) {
            message("cannot open '%s' for writing: %s", path_.c_str(), std::strerror(errno));
            return false;
        }
        file_ = wav_.file();
        if (!write_header(0) || std::fflush(file_) != 0) return fail_write();
        // The sizes are fixed up at the end, so the file must be seekable.
        if (std::fseek(file_, 0, SEEK_END) != 0) {
            message("cannot write a WAV file to '%s': it is not seekable (use --raw for pipes)", path_.c_str());
            abandon();
            return false;
        }
        return true;
    }

    bool write(const int16_t *samples, size_t count) {
        uint64_t bytes = static_cast<uint64_t>(count) * 2;
        if (!raw_ && data_bytes_ + bytes > orvel_wav::kMaxDataBytes) {
            message("the audio is longer than a WAV file can hold (4 GB); use --raw, or split the text");
            abandon();
            return false;
        }
        buffer_.resize(count * 2);
        orvel_wav::put_samples(buffer_.data(), samples, count);
        if (count && std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) return fail_write();
        // Raw output goes on to the player as soon as it is there.
        if (raw_ && std::fflush(file_) != 0) return fail_write();
        data_bytes_ += bytes;
        return true;
    }

    bool write_silence(size_t count) {
        std::vector<int16_t> zeros(count, 0);
        return write(zeros.data(), zeros.size());
    }

    bool finish() {
        if (player_) return close_player();
        if (raw_) return std::fflush(file_) == 0 || fail_write();
        if (std::fseek(file_, 0, SEEK_SET) != 0 || !write_header(static_cast<uint32_t>(data_bytes_)) ||
            std::fflush(file_) != 0)
            return fail_write();
        file_ = nullptr;
        if (!wav_.commit()) {
            message("cannot write '%s': %s", path_.c_str(), std::strerror(errno));
            return false;
        }
        return true;
    }

    // Drops a WAV file that will not be complete; a file the target named
    // before is left as it was.
    void abandon() {
        file_ = nullptr;
        wav_.discard();
    }

    uint64_t samples_written() const { return data_bytes_ / 2; }

private:
    // The raw stream goes to a player's standard input, as espeak-ng would
    // play it: the first of the usual players that is installed.
    bool open_player(int sample_rate) {
#ifdef _WIN32
        (void)sample_rate;
        message("no output: give -o FILE.wav, or --raw for PCM on standard output");
        return false;
#else
        const std::string rate = std::to_string(sample_rate);
        const struct {
            const char *name;
            std::string command;
        } players[] = {
            {"pw-play", "pw-play --rate " + rate + " --channels 1 --format s16 -"},
            {"paplay", "paplay --raw --rate=" + rate + " --channels=1 --format=s16le"},
            {"aplay", "aplay -q -t raw -f S16_LE -c 1 -r " + rate},
        };
        for (const auto &player : players) {
            if (!orvel_tools::find_on_path(player.name)) continue;
            player_ = popen(player.command.c_str(), "w");
            if (!player_) break;
            player_name_ = player.name;
            file_ = player_;
            // A player that quits early closes the pipe: an ordinary end, not a signal.
            std::signal(SIGPIPE, SIG_IGN);
            return true;
        }
        message("no audio player (pw-play, paplay or aplay) found: give -o FILE.wav, or --raw for PCM");
        return false;
#endif
    }

    bool close_player() {
#ifndef _WIN32
        bool flushed = std::fflush(file_) == 0 || errno == EPIPE;
        int status = pclose(player_);
        player_ = nullptr;
        file_ = nullptr;
        if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            message("%s could not play the audio (exit status %d)", player_name_.c_str(),
                    status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1);
            return false;
        }
        return flushed;
#else
        return false;
#endif
    }

    bool write_header(uint32_t data_bytes) {
        unsigned char h[orvel_wav::kHeaderBytes];
        orvel_wav::fill_header(h, data_bytes, sample_rate_);
        return std::fwrite(h, 1, sizeof h, file_) == sizeof h;
    }

    bool fail_write() {
        int saved = errno;
        if (player_) {
            // The player's own end says why better than the pipe does.
            if (!close_player() && saved != EPIPE) message("cannot write to the player: %s", std::strerror(saved));
            return false;
        }
        if (raw_) {
            // A player that quit (a closed pipe) is an ordinary end: no message.
            if (saved != EPIPE) message("cannot write to standard output: %s", std::strerror(saved));
        } else {
            message("cannot write '%s': %s", path_.c_str(), std::strerror(saved));
            abandon();
        }
        return false;
    }

    orvel_tools::ReplacingFile wav_;
    std::FILE *file_ = nullptr;  // standard output or wav_'s file
    std::string path_;
    bool raw_ = false;          // a stream: standard output or a player
    std::FILE *player_ = nullptr;
    std::string player_name_;
    uint32_t sample_rate_ = 0;
    uint64_t data_bytes_ = 0;
    std::vector<unsigned char> buffer_;
};

// The speaker --speaker names: a number below the loaded voice's count of
// speakers, or a name from its configuration's speaker_id_map; -1 after a
// message. A number needs only the library; a name needs the file as JSON.
int resolve_speaker(const Params &params, const orvel_tools::VoiceInfo &info, const std::string &info_error) {
    int id = orvel_tools::find_speaker(info, params.speaker);
    if (id >= 0) return id;
    const std::string &unread = !info_error.empty() ? info_error : info.config_problem;
    const bool number = std::all_of(params.speaker.begin(), params.speaker.end(),
                                    [](char c) { return c >= '0' && c <= '9'; });
    if (!unread.empty() && !number) {
        message("cannot look up the speaker '%s' by name: %s", params.speaker.c_str(), unread.c_str());
        return -1;
    }
    std::string names;
    for (const auto &entry : info.speakers) names += (names.empty() ? "; names: " : ", ") + entry.first;
    const int count = info.num_speakers;
    message("speaker %s does not exist: the voice has %d speaker%s (0-%d%s)", params.speaker.c_str(), count,
            count == 1 ? "" : "s", count - 1, names.c_str());
    return -1;
}

// Written once the audio is complete, so a failed run leaves neither.
bool write_captions(const std::string &path, const std::vector<orvel_tools::Cue> &cues, int sample_rate) {
    orvel_tools::CaptionFormat format = orvel_tools::CaptionFormat::WebVtt;
    orvel_tools::caption_format_for(path, &format);
    const std::string text = orvel_tools::format_captions(cues, sample_rate, format);
    orvel_tools::ReplacingFile file;
    if (!file.open(path)) {
        message("cannot open '%s' for writing: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    if (std::fwrite(text.data(), 1, text.size(), file.file()) != text.size() || std::fflush(file.file()) != 0 ||
        !file.commit()) {
        message("cannot write '%s': %s", path.c_str(), std::strerror(errno));
        file.discard();
        return false;
    }
    return true;
}

int speak(const Params &params, int voice, const std::vector<textplan::Request> &requests) {
    const int sample_rate = orvel_get_voice_sample_rate(voice);
    orvel_tools::VoiceInfo info;
    std::string info_error;
    if (!orvel_tools::read_voice_info(params.model, params.config, &info, &info_error) && info_error.empty())
        info_error = "unreadable configuration";
    info.num_speakers = orvel_get_num_speakers(voice);  // what the loaded voice takes
    int speaker = -1;  // the voice's own
    if (!params.speaker.empty()) {
        speaker = resolve_speaker(params, info, info_error);
        if (speaker < 0) return EXIT_USAGE;
        orvel_set_speaker(voice, speaker);
    }
    // SSML's prosody rate divides this; the voice's own unless --speed.
    const double length_scale = params.speed > 0 ? params.speed : info_error.empty() ? info.length_scale : 1.0;
    orvel_set_speed(voice, params.speed);
    orvel_set_noise(voice, params.noise, params.noise_w);
    double rate_now = 1.0;
    std::string voice_now;

    AudioSink sink;
    if (!sink.open(params, sample_rate)) return EXIT_OUTPUT;
    const size_t silence = static_cast<size_t>(std::llround(params.sentence_silence_ms * sample_rate / 1000.0));
    orvel_tools::Progress progress(requests.size(), sample_rate);
    size_t spoken = 0;
    std::string last_skip_error;
    // Pieces with letters or digits that eSpeak NG could not read: told once
    // at the end, as the audio lacks them (lone punctuation is no loss).
    size_t unread = 0;
    std::string first_unread;
    orvel_tools::CueBuilder cues;
    for (size_t i = 0; i < requests.size(); ++i) {
        progress.clear();
        const textplan::Request &request = requests[i];
        if (request.rate != rate_now) {
            rate_now = request.rate;
            double scale = std::min(kMaxSpeed, std::max(kMinSpeed, length_scale / rate_now));
            orvel_set_speed(voice, rate_now == 1.0 ? params.speed : static_cast<float>(scale));
        }
        if (request.voice != voice_now) {
            // SSML's <voice name> picks a speaker of this voice; other names keep the run's speaker.
            voice_now = request.voice;
            int named = voice_now.empty() ? -1 : orvel_tools::find_speaker(info, voice_now);
            int id = named >= 0 ? named : speaker;
            if (info.num_speakers > 1) orvel_set_speaker(voice, id < 0 ? 0 : id);
        }
        int16_t *samples = nullptr;
        int32_t count = 0;
        if (orvel_speak_to_buffer(voice, requests[i].text.c_str(), &samples, &count) != 0) {
            // A piece eSpeak NG gives no phonemes for is passed over; any
            // other failure would repeat for every piece.
            if (textplan::is_nothing_to_say(library_error())) {
                last_skip_error = library_error();
                if (textplan::has_letter_or_digit(requests[i].text) && unread++ == 0)
                    first_unread = requests[i].text;
                progress.update(i + 1, sink.samples_written());
                continue;
            }
            message("synthesis failed: %s", library_error());
            sink.abandon();
            return EXIT_SYNTH;
        }
        bool ok = true;
        size_t pause = static_cast<size_t>(std::llround(request.pause_ms * sample_rate / 1000.0));
        if (spoken > 0 && request.starts_sentence) pause += silence;
        if (pause > 0) ok = sink.write_silence(pause);
        const uint64_t start = sink.samples_written();
        if (ok) ok = sink.write(samples, static_cast<size_t>(count));
        cues.add(request.text, request.starts_sentence, start, sink.samples_written());
        orvel_free_audio(samples);
        if (!ok) return EXIT_OUTPUT;
        ++spoken;
        progress.update(i + 1, sink.samples_written());
    }
    if (spoken == 0) {
        progress.clear();
        message("synthesis failed: no part of the text could be spoken (%s)", last_skip_error.c_str());
        sink.abandon();
        return EXIT_SYNTH;
    }
    progress.finish();
    if (!sink.finish()) return EXIT_OUTPUT;
    if (!params.subtitles.empty() && !write_captions(params.subtitles, cues.cues(), sample_rate)) return EXIT_OUTPUT;
    if (unread > 0) {
        // %zu is unknown to the Windows C runtime's printf.
        message("skipped %s part%s of the text that eSpeak NG has no phonemes for, the first: \"%s\"",
                std::to_string(unread).c_str(), unread == 1 ? "" : "s", textplan::excerpt(first_unread, 60).c_str());
    }
    return EXIT_OK;
}

// The exit code of a failure at the current step, exceptions included.
int g_step_code = EXIT_USAGE;
bool g_started = false;

int run(int argc, char **argv) {
    Params params;
    int status = parse_args(argc, argv, &params);
    if (status == -1) return EXIT_OK;
    if (status != EXIT_OK) return status;

    if (params.list_voices) return list_voices(params, argv[0]);
    if (params.model.empty()) {
        status = choose_voice(params, argv[0], &params.model);
        if (status != EXIT_OK) return status;
    }

    std::string text;
    status = read_text(params, &text);
    if (status != EXIT_OK) return status;
    orvel_tools::Lexicon lexicon;
    for (const std::string &path : params.lexicons) {
        std::string error;
        if (!lexicon.load(path, &error)) {
            message("%s", error.c_str());
            return EXIT_USAGE;
        }
    }
    std::string ssml_warning;
    std::vector<textplan::Request> requests =
        params.plain ? textplan::plan_requests(lexicon.apply(text))
                     : orvel_tools::plan_speech(text, params.ssml, &ssml_warning, &lexicon);
    if (!ssml_warning.empty()) message("%s", ssml_warning.c_str());
    if (requests.empty()) {
        message("the text is empty: nothing to say");
        return EXIT_USAGE;
    }

    if (!params.verbose) orvel_tools::hide_library_output();
    g_step_code = EXIT_INIT;
    g_started = true;
    if (orvel_init(params.espeak_data.empty() ? nullptr : params.espeak_data.c_str()) != 0) {
        message("cannot start the library: %s", library_error());
        orvel_shutdown();
        return EXIT_INIT;
    }
    g_step_code = EXIT_VOICE;
    int voice = orvel_load_voice(params.model.c_str(), params.config.empty() ? nullptr : params.config.c_str());
    if (voice < 0) {
        message("cannot load the voice '%s': %s", params.model.c_str(), library_error());
        orvel_shutdown();
        return EXIT_VOICE;
    }
    g_step_code = EXIT_SYNTH;
    status = speak(params, voice, requests);
    orvel_shutdown();
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    orvel_tools::set_program_name("orvel-say");
    // Closed at start (2>&-), a standard descriptor would be taken by the next
    // file opened, and the library's log lines would go into the WAV.
    orvel_tools::keep_standard_descriptors_open();
    orvel_tools::handle_fatal_signals();
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc &) {
        message("out of memory (is the text too large to hold at once?)");
    } catch (const std::exception &e) {
        message("unexpected failure: %s", e.what());
    } catch (...) {
        message("unexpected failure");
    }
    if (g_started) orvel_shutdown();
    return g_step_code;
}
