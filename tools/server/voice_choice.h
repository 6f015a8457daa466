// How a request names its voice, for every front-end: HTTP's "voice" string
// and Wyoming's {"name", "speaker", "language"} both come here, so a name
// means the same voice whichever protocol carries it.
#ifndef ORVEL_SERVER_VOICE_CHOICE_H
#define ORVEL_SERVER_VOICE_CHOICE_H

#include "voice_info.h"

#include <cstddef>
#include <string>
#include <vector>

namespace orvel_server {

using orvel_tools::VoiceInfo;

// OpenAI's voice names, mapped in this order onto the default voice's
// speakers: the n-th name is speaker n modulo the speaker count.
extern const char *const kOpenAIVoices[11];

struct VoiceRequest {
    // A voice's name, "name:speaker" (a name from its speaker_id_map, or a
    // number), a speaker name of any voice, or one of OpenAI's names. Empty:
    // the voice of `language`, else the default voice.
    std::string name;
    std::string speaker;   // a speaker of the chosen voice; overrides one the name gives
    // A language tag ("cs", "en_US"): chooses the voice when the name is empty
    // or one of OpenAI's (whose speakers are then the language's voice's).
    std::string language;
    // Whether a voice named by its own name must speak `language` too (HTTP);
    // otherwise the name wins (Wyoming).
    bool name_must_fit_language = false;
};

struct VoiceChoice {
    size_t voice = 0;  // an index into the voices; 0 is the default voice
    int speaker = -1;  // -1: the voice's default speaker
};

// Picks one of `voices` (the first is the default, and it leads the voices
// that speak a language equally well). Returns false with one message in
// *error, and in *field the part of the request at fault ("voice",
// "language" or "speaker"), when nothing fits.
bool choose_voice(const std::vector<VoiceInfo> &voices, const VoiceRequest &request, VoiceChoice *choice,
                  std::string *error, const char **field = nullptr);

}  // namespace orvel_server

#endif
