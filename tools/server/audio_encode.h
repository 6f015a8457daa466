// Response formats of orvel-server: the voice's 16-bit samples, resampled
// where the format needs a fixed rate, encoded chunk by chunk so a response
// can be sent while the rest is still being spoken.
#ifndef ORVEL_SERVER_AUDIO_ENCODE_H
#define ORVEL_SERVER_AUDIO_ENCODE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace orvel_server {

enum class AudioFormat { Mp3, Opus, Flac, Wav, Pcm };

struct AudioFormatInfo {
    AudioFormat format;
    const char *name;          // as in a request's response_format
    const char *content_type;
};

// The format called `name`, or null.
const AudioFormatInfo *find_audio_format(const std::string &name);

// Raw PCM is 24 kHz, as OpenAI's clients expect; Opus takes only a few rates
// and 24 kHz is one. The other formats keep the voice's own rate.
constexpr int kFixedOutputRate = 24000;

class AudioEncoder {
public:
    AudioEncoder();
    ~AudioEncoder();
    AudioEncoder(const AudioEncoder &) = delete;
    AudioEncoder &operator=(const AudioEncoder &) = delete;

    bool open(AudioFormat format, int input_rate, std::string *error);
    // Appends whatever encoded bytes are ready to *out.
    bool write(const int16_t *samples, size_t count, std::string *out, std::string *error);
    // Flushes the resampler and encoder; appends the last bytes.
    bool finish(std::string *out, std::string *error);
    int output_rate() const { return output_rate_; }

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int output_rate_ = 0;
};

}  // namespace orvel_server

#endif
