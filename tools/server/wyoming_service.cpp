#include "wyoming_service.h"

#include "cli.h"
#include "stream_text.h"
#include "listen_socket.h"
#include "text_pieces.h"
#include "voice_choice.h"
#include "wav_header.h"
#include "wyoming_codec.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace orvel_server {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kWidth = 2;     // bytes per sample
constexpr int kChannels = 1;
constexpr std::chrono::milliseconds kAudioWait(20);
constexpr int kIdlePollMs = 200;
constexpr size_t kReadBytes = 65536;
// While a request is being spoken, events that follow it wait in the reader;
// past this much the connection is not read until the request is done.
constexpr size_t kMaxQueuedInput = 8 * 1024 * 1024;
constexpr int kSendTimeoutS = 30;
// After an error that ends the connection, how long what the client still
// sends is read away (see close_gracefully).
constexpr std::chrono::milliseconds kLingerTime(1000);

const char *const kAttributionName = "talmerin-orvel";

// A voice's language in the form Home Assistant lists languages in, the
// language and its region: "en-us" -> "en_US", "en-gb-x-rp" -> "en_GB", "cs" -> "cs".
std::string display_language(const std::string &language) {
    std::string out = language.substr(0, language.find('-'));
    std::string region = orvel_tools::region_of(language);
    if (!region.empty()) out += '_';
    for (char c : region) out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

bool send_all(int fd, const std::string &bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool parse_tcp_uri(const std::string &uri, std::string *host, int *port) {
    const std::string scheme = "tcp://";
    if (uri.compare(0, scheme.size(), scheme) != 0) return false;
    std::string rest = uri.substr(scheme.size());
    size_t colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == rest.size()) return false;
    std::string name = rest.substr(0, colon), digits = rest.substr(colon + 1);
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
    if (digits.size() > 5 || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    long value = std::stol(digits);
    if (value > 65535) return false;
    *host = name;
    *port = static_cast<int>(value);
    return true;
}

// One client connection, served by a thread of its own: events are read and
// handled in order, and the audio of the request in progress is sent as the
// engine produces it.
struct WyomingService::Connection {
    WyomingService &service;
    int fd;
    std::thread thread;
    std::atomic<bool> done{false};
    // Idle: between exchanges, so the acceptor may close it to make room for
    // a new connection (it moves Idle to Evicted, the connection Idle to Busy
    // before it answers anything, so one never ends an exchange under way).
    enum Phase { kIdle, kBusy, kEvicted };
    std::atomic<int> phase{kIdle};
    std::atomic<Clock::rep> idle_since{Clock::now().time_since_epoch().count()};

    wyoming::Reader reader;
    bool input_closed = false;  // the client sent all it will send
    bool broken = false;        // a write failed: the client is gone
    bool closing = false;       // an error ended the connection
    Clock::time_point last_event = Clock::now();  // the last complete event, or the end of a request
    bool partial_event = false;  // the reader holds the start of an event
    Clock::time_point partial_since;

    // The request being spoken.
    std::shared_ptr<Request> request;
    bool streaming = false;     // between synthesize-start and synthesize-stopped
    bool stream_stopped = false;  // synthesize-stop arrived
    bool audio_started = false;
    int rate = 0;
    std::string stream_text;    // streamed text not yet complete as a sentence
    size_t stream_chars = 0;
    // A stream an error ended while the connection goes on: what the client
    // sent of it before reading the error is passed over up to its
    // synthesize-stop (its full-text synthesize included).
    bool abandoned_stream = false;

    Connection(WyomingService &s, int socket) : service(s), fd(socket) {}
    ~Connection() {
        if (thread.joinable()) thread.join();
        if (fd >= 0) ::close(fd);
    }

    Engine &engine() { return service.engine_; }

    void send(const std::string &type, json data = json::object(), std::string payload = {}) {
        if (broken) return;
        wyoming::Event event;
        event.type = type;
        event.data = std::move(data);
        event.payload = std::move(payload);
        if (!send_all(fd, wyoming::encode(event))) broken = true;
    }

    void send_error(const std::string &text, const char *code) {
        send("error", {{"text", text}, {"code", code}});
    }

    json audio_format() const { return {{"rate", rate}, {"width", kWidth}, {"channels", kChannels}}; }

    const WyomingOptions &options() const { return service.options_; }

    bool claim() {
        int expected = kIdle;
        return phase.compare_exchange_strong(expected, kBusy) || expected == kBusy;
    }

    void become_idle() {
        if (phase.load() != kBusy) return;
        idle_since = Clock::now().time_since_epoch().count();
        phase = kIdle;
    }

    void run() {
        timeval timeout{kSendTimeoutS, 0};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        while (!service.stopping_ && !broken && phase != kEvicted) {
            if (!handle_events()) break;
            // The client sent all it will: done once its last event is answered.
            if (input_closed && !request) break;
            if (request) pump_audio();
            if (closing) break;
            if (!request) become_idle();
            if (!read_input() || !within_time_limits()) break;
        }
        end_request();
        if (closing && !broken) close_gracefully();
        done = true;
    }

    // An event must arrive whole within event_timeout_s of its first byte,
    // and a connection is let go after idle_timeout_s without a complete
    // event, idle or in an open stream: bytes alone (blank lines, an event
    // trickled in) keep nobody's place. False when the connection must end.
    bool within_time_limits() {
        auto seconds_since = [](Clock::time_point t) {
            return std::chrono::duration<double>(Clock::now() - t).count();
        };
        if (partial_event && seconds_since(partial_since) > options().event_timeout_s) {
            if (claim()) fail("an event did not arrive in full within " + seconds_text(options().event_timeout_s),
                              "timeout", true);
            return false;
        }
        if ((!request || open_stream()) && seconds_since(last_event) > options().idle_timeout_s) {
            if (open_stream() && claim())
                fail("the stream was silent for " + seconds_text(options().idle_timeout_s), "timeout", true);
            return false;
        }
        return true;
    }

    static std::string seconds_text(double seconds) {
        char text[32];
        std::snprintf(text, sizeof text, "%g s", seconds);
        return text;
    }

    // Closing a socket with input unread resets the connection, and a reset
    // can destroy the error event before the client has read it: the write
    // side is shut first and what the client still sends is read away until
    // it closes too, for a moment at most.
    void close_gracefully() {
        ::shutdown(fd, SHUT_WR);
        Clock::time_point until = Clock::now() + kLingerTime;
        char buffer[4096];
        while (!input_closed) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            pollfd p{fd, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
            ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) break;
        }
    }

    void end_request() {
        if (request) request->cancel();
        request.reset();
        streaming = false;
        stream_stopped = false;
        audio_started = false;
        stream_text.clear();
    }

    // Every error ends the exchange it belongs to, so that a client reading
    // until audio-stop (or the end of the stream), as Home Assistant's does,
    // is never left waiting. With audio under way the error is followed by
    // audio-stop (and synthesize-stopped in a stream) and the connection goes
    // on; otherwise nothing more can be said and the connection is closed
    // after the error, as Wyoming's own servers do. fatal: closed either way
    // (the framing can no longer be followed).
    void fail(const std::string &text, const char *code, bool fatal = false) {
        send_error(text, code);
        if (request && audio_started) {
            send("audio-stop");
            if (streaming) {
                send("synthesize-stopped");
                abandoned_stream = true;
            }
        } else {
            fatal = true;
        }
        end_request();
        last_event = Clock::now();
        if (fatal) closing = true;
    }

    void note_partial_event() {
        if (reader.buffered() == 0) {
            partial_event = false;
        } else if (!partial_event) {
            partial_event = true;
            partial_since = Clock::now();
        }
    }

    // Handles the events that can be handled now: any when idle, the stream's
    // own while streaming. Returns false when the connection must end.
    bool handle_events() {
        while (!broken && !closing && (!request || open_stream())) {
            wyoming::Event event;
            std::string error;
            wyoming::Reader::Result result = reader.next(&event, &error);
            if (result == wyoming::Reader::Result::NeedMore) {
                note_partial_event();
                return true;
            }
            partial_event = false;
            if (!claim()) return false;  // evicted
            switch (result) {
            case wyoming::Reader::Result::NeedMore:
                break;
            case wyoming::Reader::Result::Malformed:
                fail(error, "malformed-event");
                break;
            case wyoming::Reader::Result::Fatal:
                fail(error, "malformed-event", true);
                break;
            case wyoming::Reader::Result::Event:
                last_event = Clock::now();
                handle(event);
                break;
            }
        }
        return !closing;
    }

    void handle(const wyoming::Event &event) {
        const std::string &type = event.type;
        if (type == "describe") {
            send("info", service_info());
        } else if (type == "ping") {
            json pong = json::object();
            if (event.data.contains("text")) pong["text"] = event.data["text"];
            send("pong", pong);
        } else if (type == "synthesize") {
            // Inside a stream this repeats the streamed text for older servers.
            if (!streaming && !abandoned_stream) synthesize(event.data);
        } else if (type == "synthesize-start") {
            abandoned_stream = false;
            start_stream(event.data);
        } else if (type == "synthesize-chunk") {
            if (!abandoned_stream) stream_chunk(event.data);
        } else if (type == "synthesize-stop") {
            if (abandoned_stream) {
                abandoned_stream = false;
            } else {
                stop_stream();
            }
        }
        // Anything else (other services' events, newer ones) is not ours to answer.
    }

    json service_info() const {
        const std::string &version = service.options_.version;
        json attribution = {{"name", kAttributionName}, {"url", ""}};
        json voices = json::array();
        for (const VoiceInfo &voice : service.engine_.voices()) {
            json speakers = json::array();
            if (voice.num_speakers > 1) {
                for (int id = 0; id < voice.num_speakers; ++id)
                    speakers.push_back({{"name", orvel_tools::speaker_name(voice, id)}});
            }
            // The protocol gives speakers no language of their own: a voice's speakers speak its language.
            json languages = json::array({display_language(voice.language)});
            voices.push_back({{"name", voice.name},
                              {"attribution", attribution},
                              {"installed", true},
                              {"description", voice.name + " (" + std::to_string(voice.sample_rate) + " Hz)"},
                              {"version", version},
                              {"languages", languages},
                              {"speakers", speakers}});
        }
        json tts = {{"name", "orvel"},
                    {"attribution", attribution},
                    {"installed", true},
                    {"description", "talmerin-orvel neural text to speech"},
                    {"version", version},
                    {"voices", voices},
                    {"supports_synthesize_streaming", true}};
        return {{"tts", json::array({tts})}};
    }

    // The voice of {"name", "speaker"} or {"language"}; absent: the default voice.
    bool resolve_voice(const json &data, VoiceChoice *choice, std::string *error) const {
        *choice = VoiceChoice();
        auto it = data.find("voice");
        if (it == data.end() || it->is_null()) return true;
        if (!it->is_object()) {
            *error = "\"voice\" must be an object";
            return false;
        }
        const json &voice = *it;
        auto text_of = [&voice](const char *key, std::string *out) {
            auto member = voice.find(key);
            if (member == voice.end() || member->is_null()) return true;
            if (member->is_string()) {
                *out = member->get<std::string>();
                return true;
            }
            if (member->is_number_integer()) {
                *out = std::to_string(member->get<long long>());
                return true;
            }
            return false;
        };
        std::string name, speaker_text, language;
        if (!text_of("name", &name) || !text_of("speaker", &speaker_text) || !text_of("language", &language)) {
            *error = "the voice's name, speaker and language must be strings";
            return false;
        }
        // A name wins over a language here, as Home Assistant sends both.
        return choose_voice(service.engine_.voices(), {name, speaker_text, language, false}, choice, error);
    }

    // Queues a request; false after an error event.
    bool submit(const json &data, std::vector<Piece> pieces, bool open) {
        VoiceChoice voice;
        std::string error;
        if (!resolve_voice(data, &voice, &error)) {
            fail(error, "unknown-voice");
            return false;
        }
        Engine::Refusal refusal;
        // Wyoming has no rate: the voice's own length scale.
        request = engine().submit(voice.voice, voice.speaker, 0.0f, std::move(pieces), open, &refusal);
        if (!request) {
            fail(refusal == Engine::Refusal::Busy ? "the server is busy; try again shortly"
                                                  : "the server is shutting down",
                 refusal == Engine::Refusal::Busy ? "busy" : "stopping");
            return false;
        }
        rate = engine().voices()[voice.voice].sample_rate;
        audio_started = false;
        // One log line an exchange, as HTTP has one a request.
        orvel_tools::message("wyoming %s, voice '%s'", open ? "synthesize-start" : "synthesize",
                             engine().voices()[voice.voice].name.c_str());
        return true;
    }

    bool read_text(const json &data, std::string *text) {
        auto it = data.find("text");
        if (it == data.end() || !it->is_string()) {
            fail("\"text\" is missing or not a string", "bad-request");
            return false;
        }
        *text = it->get<std::string>();
        return true;
    }

    bool within_limit(size_t characters) {
        if (characters <= service.options_.max_input_chars) return true;
        fail("the text is longer than " + std::to_string(service.options_.max_input_chars) + " characters",
             "text-too-long");
        return false;
    }

    void synthesize(const json &data) {
        std::string text;
        if (!read_text(data, &text) || !within_limit(count_characters(text))) return;
        submit(data, plan_input(text), false);
    }

    void start_stream(const json &data) {
        if (streaming) {
            fail("synthesize-start inside a stream", "bad-request");
            return;
        }
        if (!submit(data, {}, true)) return;
        streaming = true;
        stream_stopped = false;
        stream_text.clear();
        stream_chars = 0;
    }

    void stream_chunk(const json &data) {
        if (!streaming) {
            fail("synthesize-chunk outside a stream (send synthesize-start first)", "bad-request");
            return;
        }
        std::string text;
        if (!read_text(data, &text)) return;
        stream_chars += count_characters(text);
        if (!within_limit(stream_chars)) return;
        stream_text += text;
        std::string complete = textplan::take_complete_sentences(&stream_text);
        if (!complete.empty()) request->append(plan_pieces(complete));
    }

    void stop_stream() {
        if (!streaming) {
            fail("synthesize-stop outside a stream", "bad-request");
            return;
        }
        request->append(plan_pieces(stream_text));
        stream_text.clear();
        request->finish_input();
        stream_stopped = true;
    }

    void send_audio(const std::vector<int16_t> &samples) {
        if (!audio_started) {
            send("audio-start", audio_format());
            audio_started = true;
        }
        // At most a second of audio per event.
        size_t step = static_cast<size_t>(std::max(rate, 1));
        for (size_t at = 0; at < samples.size() && !broken; at += step) {
            size_t n = std::min(step, samples.size() - at);
            std::string payload(n * kWidth, '\0');
            orvel_wav::put_samples(reinterpret_cast<unsigned char *>(&payload[0]), samples.data() + at, n);
            if (options().chunk_pause_s > 0)
                std::this_thread::sleep_for(std::chrono::duration<double>(options().chunk_pause_s));
            send("audio-chunk", audio_format(), std::move(payload));
        }
    }

    void finish_request() {
        if (!audio_started) send("audio-start", audio_format());
        send("audio-stop");
        if (streaming) send("synthesize-stopped");
        request.reset();  // done: nothing to cancel
        end_request();
        last_event = Clock::now();
    }

    bool open_stream() const { return streaming && !stream_stopped; }

    void pump_audio() {
        std::vector<int16_t> samples;
        // An open stream waits on the socket instead (see read_input).
        switch (request->next(&samples, open_stream() ? std::chrono::milliseconds(0) : kAudioWait)) {
        case Request::Status::Chunk:
            send_audio(samples);
            break;
        case Request::Status::Timeout:
            break;
        case Request::Status::Done:
            finish_request();
            break;
        case Request::Status::Failed:
            if (request->input_error()) {
                finish_request();  // nothing to say: the audio is empty
            } else {
                fail(request->error(), request->cancelled() ? "stopping" : "synthesis-failed");
            }
            break;
        }
        // The client is gone: no stream is left to close when its end arrives.
        if (broken) end_request();
    }

    // Reads what the client sent. Returns false when the connection is over.
    bool read_input() {
        bool busy = request != nullptr;
        if (input_closed) return true;
        if (busy && reader.buffered() > kMaxQueuedInput) return true;
        pollfd p{fd, POLLIN, 0};
        int wait_ms = !busy ? kIdlePollMs : open_stream() ? static_cast<int>(kAudioWait.count()) : 0;
        int ready = ::poll(&p, 1, wait_ms);
        if (ready < 0) return errno == EINTR;
        if (ready == 0) return true;
        char buffer[kReadBytes];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0) return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK;
        if (n == 0) {
            input_closed = true;
            // A stream the client can no longer finish.
            if (open_stream()) end_request();
            return true;
        }
        reader.feed(buffer, static_cast<size_t>(n));
        return true;
    }
};

WyomingService::WyomingService(Engine &engine, const WyomingOptions &options) : engine_(engine), options_(options) {
    // Tests shorten the time limits (in seconds) rather than wait minutes.
    auto seconds_from = [](const char *name, double *out) {
        const char *text = std::getenv(name);
        char *end = nullptr;
        double value = text ? std::strtod(text, &end) : 0;
        if (text && end != text && *end == '\0' && value > 0) *out = value;
    };
    seconds_from("ORVEL_WYOMING_IDLE_TIMEOUT", &options_.idle_timeout_s);
    seconds_from("ORVEL_WYOMING_EVENT_TIMEOUT", &options_.event_timeout_s);
    // And widen the window in which a client leaves while its audio is being
    // written, which once crashed the server.
    seconds_from("ORVEL_WYOMING_TEST_CHUNK_PAUSE", &options_.chunk_pause_s);
}

WyomingService::~WyomingService() { stop(); }

int WyomingService::bind(const std::string &host, int port, std::string *error) {
    int bound = -1;
    listen_fd_ = listen_on(host, port, &bound, error);
    return listen_fd_ < 0 ? -1 : bound;
}

void WyomingService::adopt(int listen_fd) { listen_fd_ = listen_fd; }

void WyomingService::start() {
    if (listen_fd_ >= 0 && !acceptor_.joinable()) acceptor_ = std::thread([this] { accept_loop(); });
}

void WyomingService::reap(bool all) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto finished = [all](const std::unique_ptr<Connection> &c) { return all || c->done; };
    // Destroying a connection joins its thread (at once for a finished one).
    connections_.erase(std::remove_if(connections_.begin(), connections_.end(), finished), connections_.end());
}

size_t WyomingService::live_connections() const {
    return static_cast<size_t>(std::count_if(connections_.begin(), connections_.end(), [](const auto &c) {
        return !c->done && c->phase != Connection::kEvicted;
    }));
}

// Idle connections (open sockets between exchanges) must not lock out a
// client that wants to speak: at the limit the one idle the longest makes
// room. Only when every connection is in an exchange is a new one refused.
bool WyomingService::evict_longest_idle() {
    for (;;) {
        Connection *oldest = nullptr;
        for (const auto &c : connections_) {
            if (c->done || c->phase != Connection::kIdle) continue;
            if (!oldest || c->idle_since < oldest->idle_since) oldest = c.get();
        }
        if (!oldest) return false;
        int expected = Connection::kIdle;
        if (oldest->phase.compare_exchange_strong(expected, Connection::kEvicted)) {
            // Wakes its thread at once, and its client sees the end of the stream.
            ::shutdown(oldest->fd, SHUT_RDWR);
            return true;
        }
        // It has just begun an exchange: look again.
    }
}

void WyomingService::accept_loop() {
    while (!stopping_) {
        pollfd p{listen_fd_, POLLIN, 0};
        int ready = ::poll(&p, 1, kIdlePollMs);
        reap(false);
        if (ready <= 0) continue;
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        if (live_connections() >= options_.max_connections && !evict_longest_idle()) {
            wyoming::Event event;
            event.type = "error";
            event.data = {{"text", "too many connections; try again shortly"}, {"code", "busy"}};
            timeval timeout{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
            send_all(fd, wyoming::encode(event));
            ::close(fd);
            continue;
        }
        connections_.push_back(std::make_unique<Connection>(*this, fd));
        Connection *connection = connections_.back().get();
        connection->thread = std::thread([connection] { connection->run(); });
    }
}

void WyomingService::stop() {
    stopping_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    reap(true);
    if (listen_fd_ >= 0) {
        ::close(listen_fd_);
        listen_fd_ = -1;
    }
}

}  // namespace orvel_server
