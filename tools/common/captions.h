// Captions for spoken text: a cue per sentence, written as WebVTT or SubRip.
// The times come from the samples written, so they match the audio exactly.
#ifndef ORVEL_TOOLS_CAPTIONS_H
#define ORVEL_TOOLS_CAPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

namespace orvel_tools {

enum class CaptionFormat { WebVtt, SubRip };

struct Cue {
    uint64_t start = 0;  // first sample of its audio
    uint64_t end = 0;    // one past its last sample
    std::string text;
};

// The format a file name asks for: ".vtt" or ".srt" (in any case); false for
// any other name.
bool caption_format_for(const std::string &path, CaptionFormat *format);

// The whole file. WebVTT's cue text has "&", "<" and ">" escaped; line breaks
// in a text become spaces, so no cue ends early.
std::string format_captions(const std::vector<Cue> &cues, int sample_rate, CaptionFormat format);

// Builds the cues while the audio is written: a sentence's cue runs from its
// first piece's audio to its last's, the pauses left out.
class CueBuilder {
public:
    // A piece spoken from sample `start` to `end`; starts_sentence opens a new cue.
    void add(const std::string &text, bool starts_sentence, uint64_t start, uint64_t end);
    const std::vector<Cue> &cues() const { return cues_; }

private:
    std::vector<Cue> cues_;
};

}  // namespace orvel_tools

#endif
