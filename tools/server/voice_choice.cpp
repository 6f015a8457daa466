#include "voice_choice.h"

#include <algorithm>
#include <cctype>

namespace orvel_server {

const char *const kOpenAIVoices[11] = {"alloy", "ash",  "ballad", "coral",   "echo", "fable",
                                       "onyx",  "nova", "sage",   "shimmer", "verse"};

namespace {

// Our voices' own names, in the order they win: a voice, "voice:speaker", a
// speaker of any voice.
bool choose_by_name(const std::vector<VoiceInfo> &voices, const std::string &name, VoiceChoice *choice) {
    for (size_t i = 0; i < voices.size(); ++i) {
        if (voices[i].name == name) {
            *choice = {i, -1};
            return true;
        }
    }
    size_t colon = name.find(':');
    if (colon != std::string::npos) {
        std::string voice = name.substr(0, colon), who = name.substr(colon + 1);
        for (size_t i = 0; i < voices.size(); ++i) {
            if (voices[i].name != voice) continue;
            int id = orvel_tools::find_speaker(voices[i], who);
            if (id < 0) return false;
            *choice = {i, id};
            return true;
        }
        return false;
    }
    for (size_t i = 0; i < voices.size(); ++i) {
        for (const auto &entry : voices[i].speakers) {
            if (entry.first == name) {
                *choice = {i, entry.second};
                return true;
            }
        }
    }
    return false;
}

int openai_index(const std::string &name) {
    for (int i = 0; i < 11; ++i)
        if (name == kOpenAIVoices[i]) return i;
    return -1;
}

}  // namespace

bool choose_voice(const std::vector<VoiceInfo> &voices, const VoiceRequest &request, VoiceChoice *choice,
                  std::string *error, const char **field) {
    *choice = VoiceChoice();
    const char *ignored = nullptr;
    const char *&at = field ? *field : ignored;
    at = "voice";
    if (voices.empty()) {
        *error = "no voice is loaded";
        return false;
    }
    bool ours = !request.name.empty() && choose_by_name(voices, request.name, choice);
    int openai = ours ? -1 : openai_index(request.name);
    if (!ours && !request.name.empty() && openai < 0) {
        *error = "unknown voice '" + request.name + "'";
        return false;
    }
    if (ours && !request.language.empty() && request.name_must_fit_language &&
        orvel_tools::voices_for_language({voices[choice->voice]}, request.language).empty()) {
        at = "language";
        *error = "the voice '" + request.name + "' speaks " + voices[choice->voice].language + ", not '" +
                 request.language + "'";
        return false;
    }
    if (!ours && !request.language.empty()) {
        std::vector<size_t> found = orvel_tools::voices_for_language(voices, request.language);
        if (found.empty()) {
            at = "language";
            *error = "no voice speaks the language '" + request.language + "' (the voices speak " +
                     orvel_tools::language_list(voices) + ")";
            return false;
        }
        choice->voice = found[0];
    }
    // OpenAI's names are speakers of the default voice, or of the language's.
    if (openai >= 0)
        choice->speaker = openai % std::max(1, voices[choice->voice].num_speakers);
    if (!request.speaker.empty()) {
        const VoiceInfo &voice = voices[choice->voice];
        choice->speaker = orvel_tools::find_speaker(voice, request.speaker);
        if (choice->speaker < 0) {
            at = "speaker";
            *error = "the voice '" + voice.name + "' has no speaker '" + request.speaker + "'";
            return false;
        }
    }
    return true;
}

}  // namespace orvel_server
