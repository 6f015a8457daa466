#include "engine.h"

#include "cli.h"
#include "orvel.h"
#include "text_plan.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace orvel_server {

struct EngineShared {
    std::mutex mutex;
    std::condition_variable work_cv;  // the engine thread waits here for something to speak
    // Counts changes the engine thread may have to act on. It drops the lock
    // in the middle of a round, so a notification can come while it is not
    // waiting; comparing counts keeps that wake-up from being lost.
    uint64_t changes = 0;
    void wake() {
        ++changes;
        work_cv.notify_all();
    }
    std::deque<std::weak_ptr<Request>> round;
    std::vector<Request *> live;      // every request not yet destroyed
    size_t max_requests = 0;
    size_t max_buffered = 0;
    double silence_ms = 0;
    bool accepting = false;
    bool stopping = false;
    double synthesis_seconds = 0;
    double audio_seconds = 0;
    std::function<void()> round_gap_hook;
};

namespace {

using orvel_tools::library_error;

// Frees the library's buffer on every path.
struct AudioBuffer {
    int16_t *samples = nullptr;
    int32_t count = 0;
    ~AudioBuffer() { orvel_free_audio(samples); }
};

}  // namespace

// ---------------------------------------------------------------------------
// Request

Request::Request(std::shared_ptr<EngineShared> shared, int slot, int speaker, float length_scale, int sample_rate)
    : shared_(std::move(shared)), slot_(slot), speaker_(speaker), length_scale_(length_scale),
      sample_rate_(sample_rate) {}

Request::~Request() {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    auto &live = shared_->live;
    live.erase(std::remove(live.begin(), live.end(), this), live.end());
    shared_->wake();
}

Request::Status Request::next(std::vector<int16_t> *samples, std::chrono::milliseconds wait, ChunkInfo *info) {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        if (!ready_.empty()) {
            samples->swap(ready_.front());
            ready_.pop_front();
            if (info) *info = std::move(ready_info_.front());
            ready_info_.pop_front();
            // The engine may have skipped this request while its buffer was full.
            if (ready_.size() + 1 >= shared_->max_buffered) shared_->wake();
            return Status::Chunk;
        }
        if (cancelled_ || failed_) return Status::Failed;
        if (pending_.empty() && !input_open_ && !speaking_) {
            if (spoke_) return Status::Done;
            failed_ = true;
            input_error_ = true;
            if (error_.empty()) error_ = "the input has nothing that can be spoken";
            return Status::Failed;
        }
        if (ready_cv_.wait_until(lock, deadline) == std::cv_status::timeout && ready_.empty() && !cancelled_ &&
            !failed_ && (input_open_ || speaking_ || !pending_.empty()))
            return Status::Timeout;
    }
}

void Request::append(std::vector<Piece> pieces) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (!input_open_ || cancelled_ || failed_) return;
    for (Piece &piece : pieces) pending_.push_back(std::move(piece));
    if (!queued_ && !pending_.empty()) {
        shared_->round.push_back(weak_from_this());
        queued_ = true;
    }
    shared_->wake();
}

void Request::finish_input() {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    input_open_ = false;
    ready_cv_.notify_all();
}

void Request::cancel() {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (!cancelled_) {
        cancelled_ = true;
        if (error_.empty()) error_ = "the request was cancelled";
    }
    pending_.clear();
    ready_cv_.notify_all();
    shared_->wake();
}

std::string Request::error() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return error_;
}

bool Request::cancelled() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return cancelled_;
}

bool Request::input_error() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return input_error_;
}

// ---------------------------------------------------------------------------
// Engine

Engine::Engine() : shared_(std::make_shared<EngineShared>()) {}

Engine::~Engine() { stop(); }

bool Engine::start(const EngineOptions &options, std::string *error) {
    if (options.voices.empty()) {
        *error = "no voice to load";
        return false;
    }
    shared_->max_requests = std::max<size_t>(1, options.max_requests);
    shared_->max_buffered = std::max<size_t>(1, options.max_buffered_chunks);
    shared_->silence_ms = options.sentence_silence_ms;
    shared_->round_gap_hook = options.round_gap_hook;

    // The library is started and the voices are loaded on the thread that
    // will use them; start() waits for the outcome.
    bool ok = false, started = false;
    thread_ = std::thread([this, &options, error, &ok, &started] { run(options, error, &ok, &started); });
    std::unique_lock<std::mutex> lock(shared_->mutex);
    shared_->work_cv.wait(lock, [&] { return started; });
    lock.unlock();
    if (!ok) {
        thread_.join();
        voices_.clear();
    }
    return ok;
}

void Engine::run(const EngineOptions &options, std::string *error, bool *ok, bool *started) {
#if defined(__linux__)
    // Named before the library starts, so the threads ONNX Runtime creates
    // from here carry the name too: the library's share of the process's CPU
    // time can then be told apart from the server's own.
    pthread_setname_np(pthread_self(), "orvel-engine");
#endif
    auto report = [&](bool result) {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        *ok = result;
        *started = true;
        shared_->accepting = result;
        shared_->wake();
    };
    if (orvel_init(options.espeak_data.empty() ? nullptr : options.espeak_data.c_str()) != 0) {
        *error = std::string("cannot start the library: ") + library_error();
        orvel_shutdown();
        report(false);
        return;
    }
    std::vector<VoiceInfo> loaded;
    for (size_t i = 0; i < options.voices.size(); ++i) {
        const VoiceInfo &voice = options.voices[i];
        int slot = orvel_load_voice(voice.model_path.c_str(), voice.config_path.c_str());
        if (slot >= 0) {
            slots_.push_back(slot);
            loaded.push_back(voice);
            // The library's reading of the configuration is the one the
            // voice speaks by, whatever the tools could read of it.
            loaded.back().sample_rate = orvel_get_voice_sample_rate(slot);
            loaded.back().num_speakers = orvel_get_num_speakers(slot);
            continue;
        }
        std::string message = "cannot load the voice '" + voice.model_path + "': " + library_error();
        if (i < options.required_voices) {
            *error = message;
            orvel_shutdown();
            report(false);
            return;
        }
        skipped_.push_back(message);
    }
    if (loaded.empty()) {
        *error = "none of the voices could be loaded";
        orvel_shutdown();
        report(false);
        return;
    }
    voices_ = std::move(loaded);
    report(true);

    std::unique_lock<std::mutex> lock(shared_->mutex);
    for (;;) {
        std::shared_ptr<Request> job;
        while (!shared_->stopping) {
            const uint64_t seen = shared_->changes;
            // One piece per request per round; requests whose listener has
            // fallen behind keep their place but are skipped.
            for (size_t n = shared_->round.size(); n > 0 && !job; --n) {
                std::shared_ptr<Request> candidate = shared_->round.front().lock();
                shared_->round.pop_front();
                if (!candidate) continue;
                if (candidate->cancelled_ || candidate->failed_ || candidate->pending_.empty()) {
                    candidate->queued_ = false;
                } else if (candidate->ready_.size() >= shared_->max_buffered) {
                    shared_->round.push_back(candidate);
                } else {
                    job = std::move(candidate);
                }
                if (!job && candidate) {
                    // The destructor must not run under the lock.
                    lock.unlock();
                    candidate.reset();
                    if (shared_->round_gap_hook) shared_->round_gap_hook();
                    lock.lock();
                }
            }
            if (job) break;
            shared_->work_cv.wait(lock, [&] { return shared_->stopping || shared_->changes != seen; });
        }
        if (!job) break;

        Piece piece = std::move(job->pending_.front());
        job->pending_.pop_front();
        job->speaking_ = true;
        const int speaker = job->speaker_;
        const float length_scale = job->length_scale_;
        const int slot = job->slot_;
        lock.unlock();

        // Speed and speaker are set for every piece, so nothing carries over
        // from one request to the next.
        if (orvel_get_num_speakers(slot) > 1) orvel_set_speaker(slot, speaker < 0 ? 0 : speaker);
        orvel_set_speed(slot, length_scale / piece.rate);
        AudioBuffer audio;
        auto begin = std::chrono::steady_clock::now();
        int result = orvel_speak_to_buffer(slot, piece.text.c_str(), &audio.samples, &audio.count);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        std::string failure = result == 0 ? std::string() : library_error();
        // A piece eSpeak NG gives no phonemes for (only punctuation, or
        // characters it cannot read) is passed over, as the command-line tool
        // does; any other failure ends the request.
        bool skipped = result != 0 && textplan::is_nothing_to_say(failure);
        bool tell = false;

        lock.lock();
        job->speaking_ = false;
        shared_->synthesis_seconds += seconds;
        if (job->cancelled_ || job->failed_) {
            // Nothing more for it.
        } else if (result == 0) {
            std::vector<int16_t> chunk;
            size_t silence = 0;
            if (job->spoke_ && piece.starts_sentence)
                silence = static_cast<size_t>(std::llround(shared_->silence_ms * job->sample_rate_ / 1000.0));
            silence += static_cast<size_t>(std::llround(piece.pause_ms * job->sample_rate_ / 1000.0));
            chunk.reserve(silence + static_cast<size_t>(audio.count));
            chunk.assign(silence, 0);
            chunk.insert(chunk.end(), audio.samples, audio.samples + audio.count);
            shared_->audio_seconds += static_cast<double>(chunk.size()) / job->sample_rate_;
            job->ready_.push_back(std::move(chunk));
            ChunkInfo info;
            info.silence = silence;
            info.starts_sentence = piece.starts_sentence;
            info.ends_sentence = job->pending_.empty() || job->pending_.front().starts_sentence;
            info.text = piece.text;
            job->ready_info_.push_back(std::move(info));
            job->spoke_ = true;
        } else if (skipped) {
            job->error_ = "the input has nothing that can be spoken (" + failure + ")";
            // Letters or digits are lost from the audio: logged once a request.
            tell = !job->told_unread_ && textplan::has_letter_or_digit(piece.text);
            job->told_unread_ = job->told_unread_ || tell;
        } else {
            job->failed_ = true;
            job->error_ = "synthesis failed: " + failure;
            job->pending_.clear();
        }
        if (!job->pending_.empty() && !job->cancelled_ && !job->failed_) {
            shared_->round.push_back(job);
        } else {
            job->queued_ = false;
        }
        job->ready_cv_.notify_all();
        lock.unlock();
        if (tell)
            orvel_tools::message("skipped a piece of a request that eSpeak NG has no phonemes for: \"%s\"",
                                 textplan::excerpt(piece.text, 60).c_str());
        job.reset();
        lock.lock();
    }
    lock.unlock();
    orvel_shutdown();
}

std::shared_ptr<Request> Engine::submit(size_t voice, int speaker, float length_scale, std::vector<Piece> pieces,
                                        bool open, Refusal *refusal) {
    *refusal = Refusal::None;
    if (voice >= voices_.size() || !(length_scale >= 0.0f)) {
        *refusal = Refusal::Stopping;
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (!shared_->accepting || shared_->stopping) {
        *refusal = Refusal::Stopping;
        return nullptr;
    }
    if (shared_->live.size() >= shared_->max_requests) {
        *refusal = Refusal::Busy;
        return nullptr;
    }
    // The voice's own scale for 0, so that a piece's rate (SSML prosody) still divides it.
    const float scale = length_scale > 0.0f ? length_scale : voices_[voice].length_scale;
    std::shared_ptr<Request> request(new Request(shared_, slots_[voice], speaker, scale, voices_[voice].sample_rate));
    shared_->live.push_back(request.get());
    request->input_open_ = open;
    for (Piece &piece : pieces) request->pending_.push_back(std::move(piece));
    if (!request->pending_.empty()) {
        shared_->round.push_back(request);
        request->queued_ = true;
        shared_->wake();
    }
    return request;
}

EngineStats Engine::stats() const {
    EngineStats stats;
    std::lock_guard<std::mutex> lock(shared_->mutex);
    for (const Request *request : shared_->live) stats.queued_pieces += request->pending_.size();
    stats.live_requests = shared_->live.size();
    stats.synthesis_seconds = shared_->synthesis_seconds;
    stats.audio_seconds = shared_->audio_seconds;
    return stats;
}

void Engine::cancel_all(const std::string &reason) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    for (Request *request : shared_->live) {
        if (!request->cancelled_) {
            request->cancelled_ = true;
            request->error_ = reason;
        }
        request->pending_.clear();
        request->ready_cv_.notify_all();
    }
    shared_->wake();
}

void Engine::stop() {
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->accepting = false;
    }
    cancel_all("the server is shutting down");
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->stopping = true;
        shared_->wake();
    }
    if (thread_.joinable()) thread_.join();
}

}  // namespace orvel_server
