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
    std::string language;       // espeak.voice, e.g. "en-us"
    // speaker_id_map as (name, id), ordered by id then name.
    std::vector<std::pair<std::string, int>> speakers;
};

// Reads model_path's configuration (config_path, or model_path + ".json" when
// empty). Returns false with one message in *error when the file cannot be read
// or is not a voice configuration.
bool read_voice_info(const std::string &model_path, const std::string &config_path, VoiceInfo *out,
                     std::string *error);

// Every "<name>.onnx" with a readable "<name>.onnx.json" in dir, ordered by
// name. Voices that cannot be read are left out, with one message each in
// *problems. Returns false only when dir itself cannot be listed.
bool scan_voice_dir(const std::string &dir, std::vector<VoiceInfo> *out, std::vector<std::string> *problems,
                    std::string *error);

// The speaker id for a name in the voice's speaker_id_map, or for a decimal
// id below num_speakers; -1 when neither.
int find_speaker(const VoiceInfo &voice, const std::string &speaker);

// The speaker's name in the map, or its decimal id when it has none.
std::string speaker_name(const VoiceInfo &voice, int speaker_id);

// Where the bundled voices are: the installed folder beside the running
// program (<prefix>/share/talmerin-orvel/voices), then the source tree's
// voices/ folder when the tool was built with one. Only existing folders.
std::vector<std::string> bundled_voice_dirs(const char *argv0);

// The path of file_name in the first of those folders that has it; empty when
// none does.
std::string find_bundled_voice(const char *argv0, const std::string &file_name);

}  // namespace orvel_tools

#endif
