// The speech engine of orvel-server: one thread owns the library (which is
// process-wide and single-threaded) and speaks the queued requests' pieces in
// turn, one piece per request per round, so a long text never holds up a short
// one. Protocol front-ends submit requests and read each one's audio as a
// stream of chunks; dropping or cancelling a request ends its remaining work.
//
// The threads of one server process and what they hand each other:
//
//   HTTP accept thread --socket--> connection reader (one thread, every
//     connection: reads a whole request within its deadlines)
//     --complete request--> HTTP request workers (--max-queue + 8 threads):
//     http_api.cpp checks the request, submits it here and streams the audio
//   Wyoming acceptor --socket--> one thread per Wyoming connection: reads
//     events, submits requests here and sends their audio
//   engine thread (this file): takes one piece from each request of the
//     round in turn, speaks it with the library, and puts the samples in the
//     request's ready queue, which the front-end's thread reads with next()
//   signal thread (orvel-server.cpp): SIGTERM/SIGINT, the grace time, stop
//
// All the queues of one engine share one mutex (EngineShared::mutex); the
// engine thread waits on work_cv, a front-end's thread on its request's
// ready_cv. With --workers N, each of N processes has all of this, on
// listening sockets its parent bound (orvel-server.cpp).
#ifndef ORVEL_SERVER_ENGINE_H
#define ORVEL_SERVER_ENGINE_H

#include "voice_info.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orvel_server {

using orvel_tools::VoiceInfo;

// One library request's worth of text; a pause goes before a piece that
// starts a sentence, unless nothing was spoken before it.
struct Piece {
    Piece() = default;
    Piece(std::string text_, bool starts_sentence_) : text(std::move(text_)), starts_sentence(starts_sentence_) {}
    std::string text;
    bool starts_sentence = true;
    double pause_ms = 0;  // silence asked for before it (an SSML break), besides the sentence pause
    float rate = 1.0f;    // speaking rate relative to the request's (SSML prosody)
};

// What a chunk of a request's audio holds: one piece's speech after
// `silence` samples of pause.
struct ChunkInfo {
    std::string text;
    size_t silence = 0;
    bool starts_sentence = true;
    bool ends_sentence = true;  // no piece of the same sentence was waiting after it
};

struct EngineOptions {
    std::string espeak_data;           // empty: eSpeak NG's default
    std::vector<VoiceInfo> voices;     // loaded in this order; the first is the default voice
    size_t required_voices = 0;        // the first ones must load; a later one that fails is skipped
    size_t max_requests = 64;          // requests alive at once (queued, speaking or being sent)
    size_t max_buffered_chunks = 16;   // spoken but unread chunks before a request's turns are skipped
    double sentence_silence_ms = 200.0;
    // Tests only: run on the engine thread each time it has dropped the lock
    // in the middle of a round, the window in which a wake-up can come while
    // it is not waiting.
    std::function<void()> round_gap_hook;
};

struct EngineStats {
    size_t queued_pieces = 0;     // pieces waiting to be spoken
    size_t live_requests = 0;
    double synthesis_seconds = 0; // time spent inside the library
    double audio_seconds = 0;     // audio produced
};

class Engine;
struct EngineShared;

// A submitted request. The front-end reads chunks until Done or Failed; a
// request that is destroyed or cancelled stops being spoken at once.
class Request : public std::enable_shared_from_this<Request> {
public:
    enum class Status { Chunk, Done, Failed, Timeout };

    ~Request();
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;

    // Waits up to `wait` for the next chunk of samples (at sample_rate()),
    // and what it holds when info is given.
    Status next(std::vector<int16_t> *samples, std::chrono::milliseconds wait, ChunkInfo *info = nullptr);
    // More text for a request submitted open; ignored after finish_input().
    void append(std::vector<Piece> pieces);
    // No more text will come: the request is Done once its pieces are spoken.
    void finish_input();
    void cancel();

    int sample_rate() const { return sample_rate_; }
    // After Failed: the message, and whether the input was at fault (it had
    // nothing that could be spoken) rather than synthesis.
    std::string error() const;
    bool input_error() const;
    // Whether it was cancelled (by cancel() or the engine's cancel_all()).
    bool cancelled() const;

private:
    friend class Engine;
    Request(std::shared_ptr<EngineShared> shared, int slot, int speaker, float length_scale, int sample_rate);

    std::shared_ptr<EngineShared> shared_;
    int slot_;            // the library's voice id
    int speaker_;
    float length_scale_;  // as orvel_set_speed takes it, before a piece's rate
    int sample_rate_;
    // Guarded by shared_->mutex:
    std::deque<Piece> pending_;
    std::deque<std::vector<int16_t>> ready_;
    std::deque<ChunkInfo> ready_info_;  // beside ready_
    bool input_open_ = false;
    bool cancelled_ = false;
    bool failed_ = false;
    bool input_error_ = false;
    bool queued_ = false;      // in the engine's round
    bool spoke_ = false;       // something was spoken already
    bool speaking_ = false;    // the engine thread holds a piece of it
    bool told_unread_ = false; // the log has a piece of it eSpeak NG could not read
    std::string error_;
    std::condition_variable ready_cv_;
    friend struct EngineShared;
};

class Engine {
public:
    enum class Refusal { None, Busy, Stopping };

    Engine();
    ~Engine();
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;

    // Starts the engine thread, which starts the library and loads the voices.
    // Returns false with one message when the library or a voice fails.
    bool start(const EngineOptions &options, std::string *error);

    // Queues a request for voice (an index into voices()) and speaker (-1: the
    // voice's default). length_scale is the library's (orvel_set_speed):
    // larger is slower, 0 keeps the voice's configured value. open: more text
    // may follow through append(). Returns null with the reason when the
    // engine is full or stopping.
    std::shared_ptr<Request> submit(size_t voice, int speaker, float length_scale, std::vector<Piece> pieces,
                                    bool open, Refusal *refusal);

    const std::vector<VoiceInfo> &voices() const { return voices_; }
    // One message for each voice that was skipped because it failed to load.
    const std::vector<std::string> &skipped() const { return skipped_; }
    EngineStats stats() const;

    // Ends every request now (their streams report Failed).
    void cancel_all(const std::string &reason);
    // Refuses new requests, ends the remaining ones, stops the thread and
    // shuts the library down. Called by the destructor too.
    void stop();

private:
    void run(const EngineOptions &options, std::string *error, bool *ok, bool *started);

    std::shared_ptr<EngineShared> shared_;
    std::vector<VoiceInfo> voices_;
    std::vector<int> slots_;
    std::vector<std::string> skipped_;
    std::thread thread_;
};

}  // namespace orvel_server

#endif
