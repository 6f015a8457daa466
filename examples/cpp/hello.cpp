// hello.cpp: talmerin-orvel from C++, through a small RAII wrapper over the C API.
//
//   orvel-hello-cpp VOICE.onnx [OUT.wav] [TEXT]
//
// Speaks TEXT into a buffer (and reports its length), then into OUT.wav.
#include <orvel.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>

namespace orvel {

// A failed call, with the library's message.
struct Error : std::runtime_error {
    explicit Error(const std::string &what) : std::runtime_error(what + ": " + last_message()) {}

    static std::string last_message() {
        const char *message = orvel_get_error();
        return message ? message : "no message";
    }
};

// The library is initialised for as long as an Engine lives; only one at a time.
class Engine {
public:
    explicit Engine(const char *espeak_data = nullptr) {
        if (orvel_init(espeak_data) != 0) throw Error("cannot start");
    }
    ~Engine() { orvel_shutdown(); }
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;
};

// Samples from orvel_speak_to_buffer, freed with the library's own function.
class Audio {
public:
    Audio(int16_t *samples, int32_t count, int sample_rate)
        : samples_(samples), count_(count), sample_rate_(sample_rate) {}
    ~Audio() { orvel_free_audio(samples_); }
    Audio(Audio &&other) noexcept
        : samples_(std::exchange(other.samples_, nullptr)), count_(std::exchange(other.count_, 0)),
          sample_rate_(other.sample_rate_) {}
    Audio(const Audio &) = delete;
    Audio &operator=(const Audio &) = delete;
    Audio &operator=(Audio &&) = delete;

    const int16_t *begin() const { return samples_; }
    const int16_t *end() const { return samples_ + count_; }
    int32_t size() const { return count_; }
    int sample_rate() const { return sample_rate_; }

private:
    int16_t *samples_;
    int32_t count_;
    int sample_rate_;
};

// A loaded voice; its slot is freed when it goes. Must not outlive the Engine.
class Voice {
public:
    explicit Voice(const std::string &model, const char *config = nullptr)
        : id_(orvel_load_voice(model.c_str(), config)) {
        if (id_ < 0) throw Error("cannot load " + model);
    }
    ~Voice() { orvel_unload_voice(id_); }
    Voice(const Voice &) = delete;
    Voice &operator=(const Voice &) = delete;

    int sample_rate() const { return orvel_get_voice_sample_rate(id_); }
    void set_speed(float length_scale) { orvel_set_speed(id_, length_scale); }

    Audio speak(const std::string &text) {
        int16_t *samples = nullptr;
        int32_t count = 0;
        if (orvel_speak_to_buffer(id_, text.c_str(), &samples, &count) != 0) throw Error("cannot speak");
        return Audio(samples, count, sample_rate());
    }

    void speak_to_file(const std::string &text, const std::string &wav_path) {
        if (orvel_speak_to_file(id_, text.c_str(), wav_path.c_str()) != 0)
            throw Error("cannot write " + wav_path);
    }

private:
    int id_;
};

}  // namespace orvel

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s VOICE.onnx [OUT.wav] [TEXT]\n", argv[0]);
        return 2;
    }
    std::string wav = argc > 2 ? argv[2] : "hello.wav";
    std::string text = argc > 3 ? argv[3] : "Hello world.";
    try {
        orvel::Engine engine;
        orvel::Voice voice(argv[1]);

        orvel::Audio audio = voice.speak(text);
        int peak = 0;
        for (int16_t sample : audio) peak = std::max(peak, sample < 0 ? -int(sample) : int(sample));
        std::printf("hello: %d samples at %d Hz (%.2f s), peak %d\n", int(audio.size()), audio.sample_rate(),
                    double(audio.size()) / audio.sample_rate(), peak);

        voice.speak_to_file(text, wav);
        std::printf("hello: wrote %s\n", wav.c_str());
    } catch (const std::exception &error) {
        std::fprintf(stderr, "hello: %s\n", error.what());
        return 1;
    }
    return 0;
}
