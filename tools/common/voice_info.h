// What the tools need to know about a voice before loading it: its name, files,
// sample rate, speakers and language, read from its JSON configuration.
#ifndef ORVEL_TOOLS_VOICE_INFO_H
#define ORVEL_TOOLS_VOICE_INFO_H

#include <string>
#include <utility>
#include <vector>

namespace orvel_tools {

struct VoiceInfo {
    std::string name;         // the model's file name without ".onnx"
    std::string model_path;
    std::string config_path;
    int sample_rate = 22050;
    int num_speakers = 1;
    float length_scale = 1.0f;  // the configured value, before any speed change
    // The language the voice speaks, as a lower-case tag with '-' ("en-us",
    // "cs"): the configuration's language.code, else its espeak.voice without
    // a "+variant", else "en-us", the eSpeak NG voice the library then uses.
    std::string language;
    // speaker_id_map as (name, id), ordered by id then name.
    std::vector<std::pair<std::string, int>> speakers;
    // Empty, or why the fields read only here (speaker names, language,
    // length scale) kept their defaults (the language is then empty): one line saying where the file
    // stops being JSON. The library still loads such a file, reading what it
    // can; its sample rate and speaker count are then the loaded voice's.
    std::string config_problem;
};

// Reads model_path's configuration (config_path, or model_path + ".json" when
// empty). Commas before a closing bracket are passed over, as the library
// passes them. Returns false with one message in *error when the file cannot
// be read or is not a voice configuration; true with config_problem set when
// it begins with an object, as the library requires, but is not valid JSON.
bool read_voice_info(const std::string &model_path, const std::string &config_path, VoiceInfo *out,
                     std::string *error);

// Every "<name>.onnx" with a readable "<name>.onnx.json" in dir, ordered by
// name. Voices that cannot be read, or whose language is unknown because the
// configuration is not valid JSON, are left out, with one message each in
// *problems. Returns false only when dir itself cannot be listed.
bool scan_voice_dir(const std::string &dir, std::vector<VoiceInfo> *out, std::vector<std::string> *problems,
                    std::string *error);

// The speaker id for a name in the voice's speaker_id_map, or for a decimal
// id below num_speakers; -1 when neither.
int find_speaker(const VoiceInfo &voice, const std::string &speaker);

// The speaker's name in the map, or its decimal id when it has none.
std::string speaker_name(const VoiceInfo &voice, int speaker_id);

// A language tag written either way ("en_US", "EN-us") as read_voice_info
// keeps it: lower case, subtags joined by '-'.
std::string language_key(const std::string &tag);

// The region subtag of a tag as read_voice_info keeps it: "us" for "en-us",
// "gb" for "en-gb-x-rp", "419" for "es-419"; empty for "cs" or "sr-latn".
std::string region_of(const std::string &language);

// The voices among `voices` that speak `language`, best first, as indices.
// A voice speaks it when their primary subtags agree ("en" and "en-us" do,
// "en" and "eo" do not). The voice whose tag agrees with the request in more
// leading subtags comes first, then the one with fewer subtags beyond those
// ("cs" before "cs-cz" for a request "cs"), then the earlier in `voices`:
// callers order them by preference. Empty when no voice speaks it.
std::vector<size_t> voices_for_language(const std::vector<VoiceInfo> &voices, const std::string &language);

// The distinct languages of `voices`, sorted and joined with ", ".
std::string language_list(const std::vector<VoiceInfo> &voices);

// Where the bundled voices are: the installed folder beside the running
// program (<prefix>/share/talmerin-orvel/voices), then the source tree's
// voices/ folder when the tool was built with one. Only existing folders.
std::vector<std::string> bundled_voice_dirs(const char *argv0);

// The path of file_name in the first of dirs that has it; empty when none does.
std::string find_in_dirs(const std::vector<std::string> &dirs, const std::string &file_name);

// find_in_dirs over bundled_voice_dirs.
std::string find_bundled_voice(const char *argv0, const std::string &file_name);

}  // namespace orvel_tools

#endif
