#include "voice_info.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#if defined(_WIN32)
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  ifndef NOMINMAX
#    define NOMINMAX
#  endif
#  include <windows.h>
#endif

namespace fs = std::filesystem;
using nlohmann::json;

namespace orvel_tools {

namespace {

const char *const kInstalledVoiceDir = "share/talmerin-orvel/voices";
constexpr int kMinSampleRate = 1000;  // the library's bounds at load
constexpr int kMaxSampleRate = 384000;

// The library reads the same file more tolerantly; here a number written as a
// string or a missing section keeps the default rather than failing the scan
// (the sample rate aside: see read_voice_info).
template <typename T>
T number_at(const json &object, const char *key, T fallback) {
    if (!object.is_object()) return fallback;
    auto it = object.find(key);
    if (it == object.end() || !it->is_number()) return fallback;
    return it->get<T>();
}

fs::path executable_path(const char *argv0) {
    std::error_code ec;
#if defined(_WIN32)
    char buffer[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    if (length > 0 && length < MAX_PATH) return fs::path(std::string(buffer, length));
#elif defined(__linux__)
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec && !self.empty()) return self;
#endif
    if (argv0 && std::strpbrk(argv0, "/\\")) {
        fs::path path = fs::absolute(argv0, ec);
        if (!ec) return path;
    }
    return {};
}

// The string at config[section][key], empty when there is none.
std::string text_at(const json &config, const char *section, const char *key) {
    auto object = config.find(section);
    if (object == config.end() || !object->is_object()) return {};
    auto value = object->find(key);
    return value != object->end() && value->is_string() ? value->get<std::string>() : std::string();
}

std::string language_of(const json &config) {
    std::string code = text_at(config, "language", "code");
    if (!code.empty()) return code;
    // eSpeak NG takes "en-us+f3" as the voice en-us with the variant f3.
    std::string voice = text_at(config, "espeak", "voice");
    voice = voice.substr(0, voice.find('+'));
    return voice.empty() ? "en-us" : voice;
}

// The text with each comma that stands just before a '}' or ']' (blanks
// between) left out; strings are copied as they are.
std::string without_trailing_commas(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    bool in_string = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            out += c;
            if (c == '\\' && i + 1 < text.size()) out += text[++i];
            else if (c == '"') in_string = false;
            continue;
        }
        if (c == ',') {
            size_t next = text.find_first_not_of(" \t\r\n", i + 1);
            if (next != std::string::npos && (text[next] == '}' || text[next] == ']')) continue;
        }
        in_string = c == '"';
        out += c;
    }
    return out;
}

// The configuration as JSON, or a discarded value with where it stops being
// JSON ("line 3, column 1: ...") in *problem.
json parse_config(const std::string &text, std::string *problem) {
    try {
        return json::parse(text);
    } catch (const json::parse_error &e) {
        const std::string what = e.what(), lead = "parse error at ";
        const size_t at = what.find(lead);
        *problem = at == std::string::npos ? what : what.substr(at + lead.size());
    }
    return json::parse(without_trailing_commas(text), nullptr, false);
}

std::vector<std::string> subtags(const std::string &key) {
    std::vector<std::string> out;
    size_t start = 0;
    while (true) {
        size_t dash = key.find('-', start);
        out.push_back(key.substr(start, dash - start));
        if (dash == std::string::npos) return out;
        start = dash + 1;
    }
}

}  // namespace

bool read_voice_info(const std::string &model_path, const std::string &config_path, VoiceInfo *out,
                     std::string *error) {
    VoiceInfo info;
    info.model_path = model_path;
    info.config_path = config_path.empty() ? model_path + ".json" : config_path;
    info.name = fs::path(model_path).filename().string();
    if (info.name.size() > 5 && info.name.compare(info.name.size() - 5, 5, ".onnx") == 0)
        info.name.resize(info.name.size() - 5);

    std::ifstream file(info.config_path, std::ios::binary);
    if (!file) {
        *error = "cannot read the configuration '" + info.config_path + "'";
        return false;
    }
    std::stringstream stream;
    stream << file.rdbuf();
    const std::string text = stream.str();
    std::string problem;
    json config = parse_config(text, &problem);
    if (config.is_discarded()) {
        // The library loads any file that begins with an object and keeps
        // what it can read of it; only what it does not tell is lost here.
        const size_t first = text.find_first_not_of(" \t\r\n");
        if (first != std::string::npos && text[first] == '{') {
            info.config_problem = "the configuration '" + info.config_path + "' is not valid JSON (" + problem + ")";
            *out = std::move(info);
            return true;
        }
        *error = "the configuration '" + info.config_path + "' is not valid JSON (" + problem + ")";
        return false;
    }
    if (!config.is_object()) {
        *error = "the configuration '" + info.config_path + "' is not a JSON object";
        return false;
    }

    // The library reads a sample rate written as a string as 0 Hz and refuses
    // the voice, as it refuses one outside these bounds: so do the tools,
    // saying why, rather than showing a rate the voice never gets.
    if (auto audio = config.find("audio"); audio != config.end() && audio->is_object()) {
        auto rate = audio->find("sample_rate");
        if (rate != audio->end()) {
            if (!rate->is_number()) {
                *error = "the configuration '" + info.config_path + "' has audio.sample_rate " + rate->dump() +
                         ", not a number";
                return false;
            }
            double hz = rate->get<double>();
            if (!(hz >= kMinSampleRate && hz < kMaxSampleRate + 1.0)) {
                *error = "the configuration '" + info.config_path + "' has an impossible sample rate, " +
                         rate->dump() + " Hz (the library takes " + std::to_string(kMinSampleRate) + " to " +
                         std::to_string(kMaxSampleRate) + ")";
                return false;
            }
            info.sample_rate = static_cast<int>(hz);
        }
    }
    if (auto inference = config.find("inference"); inference != config.end())
        info.length_scale = number_at(*inference, "length_scale", info.length_scale);
    info.num_speakers = number_at(config, "num_speakers", 1);
    info.language = language_key(language_of(config));
    if (info.num_speakers < 1 || !(info.length_scale > 0.0f)) {
        *error = "the configuration '" + info.config_path + "' has an impossible speaker count or length scale";
        return false;
    }
    if (auto map = config.find("speaker_id_map"); map != config.end() && map->is_object()) {
        for (auto it = map->begin(); it != map->end(); ++it) {
            if (!it.value().is_number_integer()) continue;
            int id = it.value().get<int>();
            if (id >= 0 && id < info.num_speakers && !it.key().empty()) info.speakers.emplace_back(it.key(), id);
        }
        std::sort(info.speakers.begin(), info.speakers.end(),
                  [](const auto &a, const auto &b) { return a.second != b.second ? a.second < b.second : a.first < b.first; });
    }
    *out = std::move(info);
    return true;
}

bool scan_voice_dir(const std::string &dir, std::vector<VoiceInfo> *out, std::vector<std::string> *problems,
                    std::string *error) {
    std::error_code ec;
    fs::directory_iterator it(dir, ec), end;
    if (ec) {
        *error = "cannot list the voice folder '" + dir + "': " + ec.message();
        return false;
    }
    std::vector<fs::path> models;
    for (; it != end; it.increment(ec)) {
        if (ec) break;
        const fs::path &path = it->path();
        if (path.extension() == ".onnx" && it->is_regular_file(ec)) models.push_back(path);
    }
    std::sort(models.begin(), models.end());
    for (const fs::path &model : models) {
        VoiceInfo info;
        std::string problem;
        const bool read = read_voice_info(model.string(), "", &info, &problem);
        if (read && !info.config_problem.empty()) {
            problems->push_back(info.config_problem + ", so the voice's language is unknown");
        } else if (read) {
            out->push_back(std::move(info));
        } else {
            problems->push_back(problem);
        }
    }
    return true;
}

int find_speaker(const VoiceInfo &voice, const std::string &speaker) {
    for (const auto &entry : voice.speakers)
        if (entry.first == speaker) return entry.second;
    if (speaker.empty() || speaker.size() > 6 || !std::all_of(speaker.begin(), speaker.end(), [](char c) {
            return c >= '0' && c <= '9';
        }))
        return -1;
    int id = std::stoi(speaker);
    return id < voice.num_speakers ? id : -1;
}

std::string speaker_name(const VoiceInfo &voice, int speaker_id) {
    for (const auto &entry : voice.speakers)
        if (entry.second == speaker_id) return entry.first;
    return std::to_string(speaker_id);
}

std::string language_key(const std::string &tag) {
    std::string out;
    for (char c : tag) out += c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string region_of(const std::string &language) {
    const std::vector<std::string> tag = subtags(language);
    // A region is two letters or three digits; a script (four letters) may
    // come before it, a singleton ("x") starts what follows the tag proper.
    for (size_t i = 1; i < tag.size() && tag[i].size() > 1; ++i) {
        const std::string &subtag = tag[i];
        size_t letters = 0, digits = 0;
        for (char c : subtag) {
            letters += std::isalpha(static_cast<unsigned char>(c)) != 0;
            digits += std::isdigit(static_cast<unsigned char>(c)) != 0;
        }
        if ((subtag.size() == 2 && letters == 2) || (subtag.size() == 3 && digits == 3)) return subtag;
    }
    return {};
}

std::vector<size_t> voices_for_language(const std::vector<VoiceInfo> &voices, const std::string &language) {
    const std::vector<std::string> wanted = subtags(language_key(language));
    struct Match {
        size_t index;
        size_t agreeing;  // leading subtags equal to the request's
        size_t beyond;    // the voice's subtags past those
    };
    std::vector<Match> matches;
    for (size_t i = 0; i < voices.size(); ++i) {
        const std::vector<std::string> tag = subtags(voices[i].language);
        size_t agreeing = 0;
        while (agreeing < tag.size() && agreeing < wanted.size() && tag[agreeing] == wanted[agreeing]) ++agreeing;
        if (agreeing > 0 && !wanted[0].empty()) matches.push_back({i, agreeing, tag.size() - agreeing});
    }
    std::stable_sort(matches.begin(), matches.end(), [](const Match &a, const Match &b) {
        return a.agreeing != b.agreeing ? a.agreeing > b.agreeing : a.beyond < b.beyond;
    });
    std::vector<size_t> out;
    for (const Match &match : matches) out.push_back(match.index);
    return out;
}

std::string language_list(const std::vector<VoiceInfo> &voices) {
    std::vector<std::string> languages;
    for (const VoiceInfo &voice : voices) languages.push_back(voice.language);
    std::sort(languages.begin(), languages.end());
    languages.erase(std::unique(languages.begin(), languages.end()), languages.end());
    std::string out;
    for (const std::string &language : languages) out += (out.empty() ? "" : ", ") + language;
    return out;
}

std::vector<std::string> bundled_voice_dirs(const char *argv0) {
    std::vector<fs::path> candidates;
    fs::path exe = executable_path(argv0);
    if (!exe.empty()) candidates.push_back(exe.parent_path() / ".." / kInstalledVoiceDir);
#ifdef ORVEL_SOURCE_VOICES_DIR
    candidates.push_back(fs::path(ORVEL_SOURCE_VOICES_DIR));
#endif
    std::vector<std::string> dirs;
    for (const fs::path &candidate : candidates) {
        std::error_code ec;
        if (fs::is_directory(candidate, ec)) dirs.push_back(candidate.lexically_normal().string());
    }
    return dirs;
}

std::string find_bundled_voice(const char *argv0, const std::string &file_name) {
    return find_in_dirs(bundled_voice_dirs(argv0), file_name);
}

std::string find_in_dirs(const std::vector<std::string> &dirs, const std::string &file_name) {
    for (const std::string &dir : dirs) {
        fs::path candidate = fs::path(dir) / file_name;
        std::error_code ec;
        if (fs::is_regular_file(candidate, ec)) return candidate.string();
    }
    return {};
}

}  // namespace orvel_tools
