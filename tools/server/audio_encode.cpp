#include "audio_encode.h"

#include "wav_header.h"

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace orvel_server {

namespace {

const AudioFormatInfo kFormats[] = {
    {AudioFormat::Mp3, "mp3", "audio/mpeg"},
    {AudioFormat::Opus, "opus", "audio/ogg"},
    {AudioFormat::Flac, "flac", "audio/flac"},
    {AudioFormat::Wav, "wav", "audio/wav"},
    {AudioFormat::Pcm, "pcm", "audio/pcm"},
};

}  // namespace

const AudioFormatInfo *find_audio_format(const std::string &name) {
    for (const AudioFormatInfo &info : kFormats)
        if (name == info.name) return &info;
    return nullptr;
}

// libsndfile writes into this in-memory file. Bytes before `base` have been
// handed to the caller. MP3 and Opus only append; FLAC goes back at the end
// to fill in its header's length, MD5 and frame sizes, which by then have
// been sent as "unknown" (zero), as for any FLAC stream: decoders read such
// a stream to its end, sample for sample the same.
struct AudioEncoder::Impl {
    AudioFormat format = AudioFormat::Pcm;
    int input_rate = 0;
    soxr_t resampler = nullptr;
    SNDFILE *file = nullptr;
    std::string data;      // bytes from `base` on
    sf_count_t base = 0;   // file offset of data[0]
    sf_count_t position = 0;
    sf_count_t length = 0;
    std::vector<int16_t> resampled;

    ~Impl() {
        if (file) sf_close(file);
        if (resampler) soxr_delete(resampler);
    }

    static sf_count_t get_length(void *user) { return static_cast<Impl *>(user)->length; }
    static sf_count_t seek(sf_count_t offset, int whence, void *user) {
        Impl *self = static_cast<Impl *>(user);
        sf_count_t target = whence == SEEK_SET ? offset : whence == SEEK_CUR ? self->position + offset
                                                                            : self->length + offset;
        if (target < 0) return -1;
        self->position = target;
        return target;
    }
    static sf_count_t read(void *, sf_count_t, void *) { return 0; }
    static sf_count_t write(const void *bytes, sf_count_t count, void *user) {
        Impl *self = static_cast<Impl *>(user);
        const char *p = static_cast<const char *>(bytes);
        sf_count_t end = self->position + count;
        // Bytes already sent cannot change any more; an encoder that rewrites
        // them (a tag patched at the end) loses only that patch.
        sf_count_t skip = std::max<sf_count_t>(0, std::min(end, self->base) - self->position);
        for (sf_count_t at = self->position + skip; at < end; ++at) {
            size_t index = static_cast<size_t>(at - self->base);
            if (index >= self->data.size()) self->data.resize(index + 1);
            self->data[index] = p[at - self->position];
        }
        self->position = end;
        self->length = std::max(self->length, end);
        return count;
    }
    static sf_count_t tell(void *user) { return static_cast<Impl *>(user)->position; }

    // Hands out everything written so far.
    void drain(std::string *out) {
        out->append(data);
        base += static_cast<sf_count_t>(data.size());
        data.clear();
    }
};

AudioEncoder::AudioEncoder() : impl_(new Impl) {}
AudioEncoder::~AudioEncoder() = default;

bool AudioEncoder::open(AudioFormat format, int input_rate, std::string *error) {
    impl_->format = format;
    impl_->input_rate = input_rate;
    output_rate_ = (format == AudioFormat::Pcm || format == AudioFormat::Opus) ? kFixedOutputRate : input_rate;
    if (output_rate_ != input_rate) {
        soxr_error_t failure = nullptr;
        soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
        soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        impl_->resampler = soxr_create(input_rate, output_rate_, 1, &failure, &io, &quality, nullptr);
        if (!impl_->resampler || failure) {
            *error = std::string("cannot start the resampler: ") + (failure ? failure : "unknown error");
            return false;
        }
    }
    if (format == AudioFormat::Pcm || format == AudioFormat::Wav) return true;

    SF_INFO info;
    std::memset(&info, 0, sizeof info);
    info.samplerate = output_rate_;
    info.channels = 1;
    if (format == AudioFormat::Mp3) {
        info.format = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
    } else if (format == AudioFormat::Opus) {
        info.format = SF_FORMAT_OGG | SF_FORMAT_OPUS;
    } else {
        info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    }
    static SF_VIRTUAL_IO io = {Impl::get_length, Impl::seek, Impl::read, Impl::write, Impl::tell};
    impl_->file = sf_open_virtual(&io, SFM_WRITE, &info, impl_.get());
    if (!impl_->file) {
        *error = std::string("cannot start the encoder: ") + sf_strerror(nullptr);
        return false;
    }
    if (format == AudioFormat::Opus) {
        // Short pages, so a sentence reaches the listener without waiting for
        // the next one to fill a page.
        double latency_ms = 100.0;
        sf_command(impl_->file, SFC_SET_OGG_PAGE_LATENCY_MS, &latency_ms, sizeof latency_ms);
    }
    return true;
}

bool AudioEncoder::write(const int16_t *samples, size_t count, std::string *out, std::string *error) {
    if (impl_->resampler) {
        size_t room = static_cast<size_t>(static_cast<double>(count) * output_rate_ / impl_->input_rate) + 64;
        impl_->resampled.resize(room);
        size_t used = 0, made = 0;
        soxr_error_t failure =
            soxr_process(impl_->resampler, samples, count, &used, impl_->resampled.data(), room, &made);
        if (failure) {
            *error = std::string("resampling failed: ") + failure;
            return false;
        }
        samples = impl_->resampled.data();
        count = made;
    }
    if (impl_->format == AudioFormat::Pcm || impl_->format == AudioFormat::Wav) {
        if (impl_->format == AudioFormat::Wav && impl_->base == 0 && impl_->data.empty()) {
            unsigned char h[orvel_wav::kHeaderBytes];
            orvel_wav::fill_stream_header(h, static_cast<uint32_t>(output_rate_));
            impl_->data.append(reinterpret_cast<const char *>(h), sizeof h);
        }
        impl_->drain(out);  // the header, when just made
        // Straight into the output.
        size_t at = out->size();
        out->resize(at + 2 * count);
        if (count) orvel_wav::put_samples(reinterpret_cast<unsigned char *>(&(*out)[at]), samples, count);
        impl_->base += static_cast<sf_count_t>(2 * count);
        return true;
    }
    if (count > 0 && sf_write_short(impl_->file, samples, static_cast<sf_count_t>(count)) !=
                         static_cast<sf_count_t>(count)) {
        *error = std::string("encoding failed: ") + sf_strerror(impl_->file);
        return false;
    }
    impl_->drain(out);
    return true;
}

bool AudioEncoder::finish(std::string *out, std::string *error) {
    if (impl_->resampler) {
        // What the resampler still holds back.
        std::vector<int16_t> tail(4096);
        size_t made = 0;
        do {
            soxr_error_t failure = soxr_process(impl_->resampler, nullptr, 0, nullptr, tail.data(), tail.size(), &made);
            if (failure) {
                *error = std::string("resampling failed: ") + failure;
                return false;
            }
            soxr_t resampler = impl_->resampler;
            impl_->resampler = nullptr;
            bool ok = write(tail.data(), made, out, error);
            impl_->resampler = resampler;
            if (!ok) return false;
        } while (made == tail.size());
    }
    if (impl_->format == AudioFormat::Wav && impl_->base == 0 && impl_->data.empty()) {
        // Nothing was written: still a valid, empty stream.
        if (!write(nullptr, 0, out, error)) return false;
    }
    if (impl_->file) {
        int status = sf_close(impl_->file);
        impl_->file = nullptr;
        if (status != 0) {
            *error = std::string("encoding failed: ") + sf_error_number(status);
            return false;
        }
    }
    impl_->drain(out);
    return true;
}

}  // namespace orvel_server
