#include "captions.h"

#include <cinttypes>
#include <cstdio>

namespace orvel_tools {

namespace {

std::string lower(std::string text) {
    for (char &c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

bool ends_with(const std::string &text, const char *suffix) {
    std::string s(suffix);
    return text.size() >= s.size() && text.compare(text.size() - s.size(), s.size(), s) == 0;
}

// hh:mm:ss.mmm (WebVTT) or hh:mm:ss,mmm (SubRip), rounded to the millisecond.
std::string timestamp(uint64_t sample, int sample_rate, char separator) {
    uint64_t ms = (sample * 1000 + static_cast<uint64_t>(sample_rate) / 2) / static_cast<uint64_t>(sample_rate);
    char out[48];
    std::snprintf(out, sizeof out, "%02" PRIu64 ":%02" PRIu64 ":%02" PRIu64 "%c%03" PRIu64, ms / 3600000,
                  ms / 60000 % 60, ms / 1000 % 60, separator, ms % 1000);
    return out;
}

std::string cue_text(const std::string &text, CaptionFormat format) {
    std::string out;
    for (char c : text) {
        if (c == '\n' || c == '\r') {
            out += ' ';
        } else if (format == CaptionFormat::WebVtt && c == '&') {
            out += "&amp;";
        } else if (format == CaptionFormat::WebVtt && c == '<') {
            out += "&lt;";
        } else if (format == CaptionFormat::WebVtt && c == '>') {
            out += "&gt;";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

bool caption_format_for(const std::string &path, CaptionFormat *format) {
    std::string name = lower(path);
    if (ends_with(name, ".vtt")) {
        *format = CaptionFormat::WebVtt;
    } else if (ends_with(name, ".srt")) {
        *format = CaptionFormat::SubRip;
    } else {
        return false;
    }
    return true;
}

std::string format_captions(const std::vector<Cue> &cues, int sample_rate, CaptionFormat format) {
    const bool vtt = format == CaptionFormat::WebVtt;
    std::string out = vtt ? "WEBVTT\n\n" : "";
    for (size_t i = 0; i < cues.size(); ++i) {
        const char separator = vtt ? '.' : ',';
        out += std::to_string(i + 1) + "\n" + timestamp(cues[i].start, sample_rate, separator) + " --> " +
               timestamp(cues[i].end, sample_rate, separator) + "\n" + cue_text(cues[i].text, format) + "\n\n";
    }
    return out;
}

void CueBuilder::add(const std::string &text, bool starts_sentence, uint64_t start, uint64_t end) {
    if (starts_sentence || cues_.empty()) {
        cues_.push_back({start, end, text});
    } else {
        cues_.back().end = end;
        cues_.back().text += " " + text;
    }
}

}  // namespace orvel_tools
