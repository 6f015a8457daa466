#include "http_api.h"

#include "audio_encode.h"
#include "cli.h"
#include "http_connections.h"
#include "page.h"
#include "text_pieces.h"
#include "voice_choice.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

using nlohmann::json;

namespace orvel_server {

namespace {

// OpenAI's `speed`: a speaking rate, 2 being twice as fast.
constexpr double kMinSpeed = 0.25;
constexpr double kMaxSpeed = 4.0;
// Requests with more header fields than this are refused; ordinary clients
// send about a dozen.
constexpr size_t kMaxHeaderFields = 100;
// How often a waiting response checks on its request.
constexpr auto kPoll = std::chrono::milliseconds(100);
// The status recorded for a request whose client left before its answer began.
constexpr int kClientLeft = 499;

// Prometheus's text format: a metric's HELP and TYPE lines, then each sample,
// the name followed by what the format makes of its labels and value.
void metric_head(std::string *text, const char *name, const char *type, const char *help) {
    *text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

__attribute__((format(printf, 3, 4))) void metric_sample(std::string *text, const char *name, const char *format,
                                                         ...) {
    char sample[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(sample, sizeof sample, format, args);
    va_end(args);
    *text += std::string(name) + sample + "\n";
}

// A metric of one sample.
template <typename... Values>
void add_metric(std::string *text, const char *name, const char *type, const char *help, const char *format,
                Values... values) {
    metric_head(text, name, type, help);
    metric_sample(text, name, format, values...);
}

struct Metrics {
    std::mutex mutex;
    std::map<int, uint64_t> by_status;
    // Speech requests answered in full, and their time from arrival to the
    // last byte handed to the socket: against the engine's synthesis time,
    // what the server adds.
    uint64_t speech_completed = 0;
    double speech_seconds = 0;
};

std::string error_body(const std::string &message, const char *type, const char *param = nullptr,
                       const char *code = nullptr) {
    json error = {{"message", message},
                  {"type", type},
                  {"param", param ? json(param) : json(nullptr)},
                  {"code", code ? json(code) : json(nullptr)}};
    return json{{"error", error}}.dump();
}

void send_error(httplib::Response &res, int status, const std::string &message, const char *type,
                const char *param = nullptr, const char *code = nullptr) {
    res.status = status;
    res.set_content(error_body(message, type, param, code), "application/json");
}

bool iequal(const std::string &a, const char *b) {
    size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string trimmed(const std::string &text) {
    size_t begin = text.find_first_not_of(" \t"), end = text.find_last_not_of(" \t");
    return begin == std::string::npos ? std::string() : text.substr(begin, end + 1 - begin);
}

// Whether an Authorization value carries the key: the scheme's name in any
// case, and the key compared in a time that does not tell how much of it matched.
bool has_key(const std::string &authorization, const std::string &key) {
    std::string value = trimmed(authorization);
    size_t space = value.find_first_of(" \t");
    if (space == std::string::npos || !iequal(value.substr(0, space), "bearer")) return false;
    std::string given = trimmed(value.substr(space));
    unsigned char differ = given.size() == key.size() ? 0 : 1;
    for (size_t i = 0; i < given.size(); ++i)
        differ |= static_cast<unsigned char>(given[i] ^ key[key.empty() ? 0 : i % key.size()]);
    return differ == 0;
}

// The media type of a Content-Type value, without parameters, in lower case.
std::string media_type(const std::string &content_type) {
    std::string type = trimmed(content_type.substr(0, content_type.find(';')));
    for (char &c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return type;
}

bool is_loopback_address(const std::string &host) {
    in_addr v4;
    in6_addr v6;
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
    return false;
}

// A Host header's name, without its port and an IPv6 literal's brackets.
std::string host_name(const std::string &header) {
    if (!header.empty() && header[0] == '[') return header.substr(1, header.find(']') - 1);
    size_t colon = header.find(':');
    if (colon != std::string::npos && header.find(':', colon + 1) == std::string::npos)
        return header.substr(0, colon);
    return header;
}

// Whether a server listening on loopback should answer a request for
// `header`: a web page that rebinds its own name to 127.0.0.1 still sends
// that name, so only loopback names and the allowed ones pass.
bool host_allowed(const std::string &header, const std::vector<std::string> &allowed) {
    if (header.empty()) return true;  // HTTP/1.0 clients; a browser always sends one
    std::string name = host_name(header);
    if (is_loopback_address(name) || iequal(name, "localhost")) return true;
    const std::string suffix = ".localhost";
    if (name.size() > suffix.size() && iequal(name.substr(name.size() - suffix.size()), suffix.c_str())) return true;
    return std::any_of(allowed.begin(), allowed.end(), [&](const std::string &a) { return iequal(name, a.c_str()); });
}

// Whether every address the name stands for is a loopback one.
bool loopback_only(const std::string &host) {
    addrinfo hints{}, *found = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    bool loopback = getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0;
    for (addrinfo *a = loopback ? found : nullptr; a; a = a->ai_next) {
        char text[INET6_ADDRSTRLEN] = "";
        if (getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0 ||
            !is_loopback_address(text))
            loopback = false;
    }
    if (found) freeaddrinfo(found);
    return loopback;
}

void bad_request(httplib::Response &res, const std::string &message, const char *param = nullptr,
                 const char *code = nullptr) {
    send_error(res, 400, message, "invalid_request_error", param, code);
}

// The answer for a request that failed before its response started: the
// input's fault, a shutdown, or synthesis (or encoding) itself.
void fail_request(httplib::Response &res, const Request &request, const std::string &error = std::string()) {
    if (request.cancelled()) {
        send_error(res, 503, request.error(), "server_error", nullptr, "shutting_down");
        res.set_header("Retry-After", "5");
    } else if (request.input_error()) {
        bad_request(res, request.error(), "input");
    } else {
        send_error(res, 500, error.empty() ? request.error() : error, "server_error");
    }
}

std::string base64(const std::string &bytes) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        uint32_t v = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                     static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (i < bytes.size()) {
        uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string sse_event(const json &event) { return "data: " + event.dump() + "\n\n"; }

// Waits for the request's next chunk (or its end). A client that leaves
// while nothing is coming, before its first sentence say, has its request
// cancelled here rather than at the next write, which may be far off.
Request::Status next_chunk(Request &request, std::vector<int16_t> *samples, ChunkInfo *info = nullptr) {
    for (;;) {
        Request::Status status = request.next(samples, kPoll, info);
        if (status != Request::Status::Timeout) return status;
        if (client_has_left()) {
            request.cancel();
            return Request::Status::Failed;
        }
    }
}

// OpenAI's speed is a speaking rate; the library takes a length scale (as
// orvel_set_speed and orvel-say's --speed do), the voice's own divided by it.
float length_scale_for_speed(const VoiceInfo &voice, double speed) {
    return static_cast<float>(voice.length_scale / speed);
}

// A response being produced: the request's audio, encoded as it comes.
struct SpeechStream {
    std::shared_ptr<Request> request;
    AudioEncoder encoder;
    bool sse = false;
    const char *content_type = nullptr;
    std::vector<int16_t> pending;  // spoken samples not yet encoded, from `offset` on
    size_t offset = 0;
    bool sliced = false;
    bool finished = false;
    // SSE's timestamps: the samples spoken so far, the sentence being spoken
    // (its start, end and text), and whether its event waits for the end of
    // the chunk being encoded.
    uint64_t spoken = 0;
    double cue_start = 0, cue_end = 0;
    std::string cue_text;
    bool cue_due = false;
    Metrics *metrics = nullptr;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

    void record_completion() {
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::lock_guard<std::mutex> lock(metrics->mutex);
        ++metrics->speech_completed;
        metrics->speech_seconds += seconds;
    }

    // Waits for the request's next chunk into `pending`, noting its sentence's times.
    Request::Status pull() {
        ChunkInfo info;
        Request::Status status = next_chunk(*request, &pending, &info);
        if (status == Request::Status::Chunk) {
            const double rate = request->sample_rate();
            if (info.starts_sentence || cue_text.empty()) {
                cue_start = static_cast<double>(spoken + info.silence) / rate;
                cue_text = info.text;
            } else {
                cue_text += " " + info.text;
            }
            spoken += pending.size();
            cue_end = static_cast<double>(spoken) / rate;
            cue_due = info.ends_sentence;
        }
        return status;
    }

    // Produces the next bytes to send. Returns false on failure (message in
    // *error); sets *done after the last bytes. With a real encoder (MP3,
    // Opus) a spoken chunk is encoded a quarter second at a time, so the first
    // bytes of a sentence go out before the encoder has worked through all of
    // it; raw samples go whole, in fewer writes.
    bool next_bytes(std::string *out, bool *done, std::string *error) {
        *done = false;
        std::string encoded;
        if (offset >= pending.size()) {
            pending.clear();
            offset = 0;
            Request::Status status = pull();
            if (status == Request::Status::Failed) {
                *error = request->error();
                return false;
            }
            if (status == Request::Status::Done) {
                if (!encoder.finish(&encoded, error)) return false;
                *done = true;
                finished = true;
            }
        }
        const size_t slice = sliced ? static_cast<size_t>(request->sample_rate() / 4) : pending.size();
        while (!*done && offset < pending.size() && encoded.empty()) {
            size_t n = std::min(slice, pending.size() - offset);
            if (!encoder.write(pending.data() + offset, n, &encoded, error)) return false;
            offset += n;
        }
        if (!sse) {
            *out = std::move(encoded);
            return true;
        }
        out->clear();
        if (!encoded.empty()) *out = sse_event({{"type", "speech.audio.delta"}, {"audio", base64(encoded)}});
        // A sentence's times follow the last of its audio, in seconds of the
        // audio from its start (before any encoder delay), to the millisecond.
        if (cue_due && (offset >= pending.size() || *done)) {
            auto ms = [](double seconds) { return std::round(seconds * 1000.0) / 1000.0; };
            *out += sse_event({{"type", "speech.timestamps"},
                               {"text", cue_text},
                               {"start", ms(cue_start)},
                               {"end", ms(cue_end)}});
            cue_due = false;
            cue_text.clear();
        }
        if (*done) *out += sse_event({{"type", "speech.audio.done"}});
        return true;
    }
};

}  // namespace

struct HttpApi::State {
    Engine *engine = nullptr;
    HttpOptions options;
    Metrics metrics;
    std::atomic<bool> loopback{false};  // listening on loopback addresses only
};

namespace {

// The steps of one POST /v1/audio/speech, in order. Each answers a refusal
// itself and then returns false (or null).

// What a speech request asks for, read from its JSON body.
struct SpeechParams {
    std::string text;
    VoiceChoice voice;
    const AudioFormatInfo *format = nullptr;
    double speed = 1.0;  // OpenAI's: a speaking rate
    bool sse = false;
};

using Field = const json *;

bool read_input(Field input, size_t max_chars, SpeechParams *params, httplib::Response &res) {
    if (!input || !input->is_string()) {
        bad_request(res, "'input' is required and must be a string", "input");
        return false;
    }
    params->text = input->get<std::string>();
    size_t characters = count_characters(params->text);
    if (characters > max_chars) {
        bad_request(res,
                    "'input' is too long: " + std::to_string(characters) + " characters, at most " +
                        std::to_string(max_chars),
                    "input", "string_above_max_length");
        return false;
    }
    return true;
}

// A voice string, or an object with one as its "id", as some clients send;
// and our own field `language` ("cs", "en-us"), which chooses the voice when
// none of ours is named.
bool read_voice(Field voice, Field language, const std::vector<VoiceInfo> &voices, SpeechParams *params,
                httplib::Response &res) {
    VoiceRequest wanted;
    wanted.name_must_fit_language = true;
    if (voice && !voice->is_null()) {
        if (voice->is_object() && voice->contains("id") && (*voice)["id"].is_string()) {
            wanted.name = (*voice)["id"].get<std::string>();
        } else if (voice->is_string()) {
            wanted.name = voice->get<std::string>();
        } else {
            bad_request(res, "'voice' must be a string", "voice");
            return false;
        }
    }
    if (language && !language->is_null()) {
        if (!language->is_string()) {
            bad_request(res, "'language' must be a string", "language");
            return false;
        }
        wanted.language = language->get<std::string>();
    }
    std::string error;
    const char *field = nullptr;
    if (!choose_voice(voices, wanted, &params->voice, &error, &field)) {
        bool voice_unknown = std::strcmp(field, "voice") == 0;
        bad_request(res, voice_unknown ? error + " (GET /v1/audio/voices lists them)" : error, field);
        return false;
    }
    return true;
}

bool read_format(Field format, SpeechParams *params, httplib::Response &res) {
    std::string name = "mp3";
    if (format && !format->is_null()) {
        if (!format->is_string()) {
            bad_request(res, "'response_format' must be a string", "response_format");
            return false;
        }
        name = format->get<std::string>();
    }
    params->format = find_audio_format(name);
    if (!params->format) {
        bad_request(res,
                    name == "aac" ? "response_format 'aac' is not supported: use mp3, opus, flac, wav or pcm"
                                  : "unknown response_format '" + name + "': use mp3, opus, flac, wav or pcm",
                    "response_format");
        return false;
    }
    return true;
}

bool read_speed(Field speed, SpeechParams *params, httplib::Response &res) {
    if (!speed || speed->is_null()) return true;
    if (!speed->is_number() || !std::isfinite(speed->get<double>()) || speed->get<double>() < kMinSpeed ||
        speed->get<double>() > kMaxSpeed) {
        bad_request(res, "'speed' must be a number from 0.25 to 4.0", "speed");
        return false;
    }
    params->speed = speed->get<double>();
    return true;
}

bool read_stream_format(Field value, SpeechParams *params, httplib::Response &res) {
    if (!value || value->is_null()) return true;
    if (!value->is_string() || (*value != "audio" && *value != "sse")) {
        bad_request(res, "'stream_format' must be \"audio\" or \"sse\"", "stream_format");
        return false;
    }
    params->sse = *value == "sse";
    return true;
}

// Step 1: the body, field by field.
bool read_speech_params(const httplib::Request &req, const HttpApi::State &state, SpeechParams *params,
                        httplib::Response &res) {
    if (media_type(req.get_header_value("Content-Type")) != "application/json") {
        send_error(res, 415, "the request body must be JSON (Content-Type: application/json)",
                   "invalid_request_error");
        return false;
    }
    json body = json::parse(req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
        bad_request(res, "the request body is not a JSON object (or not valid UTF-8)");
        return false;
    }
    auto field = [&body](const char *name) -> Field { return body.contains(name) ? &body[name] : nullptr; };
    if (Field model = field("model"); model && !model->is_string() && !model->is_null()) {
        bad_request(res, "'model' must be a string", "model");
        return false;
    }
    return read_input(field("input"), state.options.max_input_chars, params, res) &&
           read_voice(field("voice"), field("language"), state.engine->voices(), params, res) &&
           read_format(field("response_format"), params, res) && read_speed(field("speed"), params, res) &&
           read_stream_format(field("stream_format"), params, res);
}

// Step 2: the text planned into sentences and queued on the engine, with
// the encoder the answer will use.
// A request that comes in while the server stops is still spoken: its
// connection was accepted before the listener closed, so its client (a
// balancer, say) had no other server to turn to.
std::shared_ptr<SpeechStream> start_speech(HttpApi::State &state, SpeechParams params, httplib::Response &res) {
    std::vector<Piece> pieces = plan_input(params.text);
    if (pieces.empty()) {
        bad_request(res, "'input' is empty: there is nothing to say", "input");
        return nullptr;
    }
    auto refuse = [&res](bool busy) {
        send_error(res, 503,
                   busy ? "the server is busy: too many requests queued, try again shortly"
                        : "the server is shutting down",
                   "server_error", nullptr, busy ? "queue_full" : "shutting_down");
        res.set_header("Retry-After", busy ? "1" : "5");
    };
    Engine &engine = *state.engine;
    const VoiceInfo &voice = engine.voices()[params.voice.voice];
    Engine::Refusal refusal;
    auto stream = std::make_shared<SpeechStream>();
    stream->metrics = &state.metrics;
    stream->request = engine.submit(params.voice.voice, params.voice.speaker,
                                    length_scale_for_speed(voice, params.speed), std::move(pieces), false, &refusal);
    if (!stream->request) {
        refuse(refusal == Engine::Refusal::Busy);
        return nullptr;
    }
    std::string error;
    if (!stream->encoder.open(params.format->format, stream->request->sample_rate(), &error)) {
        send_error(res, 500, error, "server_error");
        return nullptr;
    }
    stream->sse = params.sse;
    stream->content_type = params.sse ? "text/event-stream" : params.format->content_type;
    stream->sliced = params.format->format == AudioFormat::Mp3 || params.format->format == AudioFormat::Opus;
    return stream;
}

// Step 3: the status depends on the first sentence, so it is spoken before
// the response starts: a failure still gets its proper answer.
bool wait_for_first_chunk(SpeechStream &stream, httplib::Response &res) {
    Request::Status status = stream.pull();
    if (status != Request::Status::Failed) return true;
    if (client_has_left()) {
        // Nobody reads this; nginx's "client closed request" keeps it apart in /metrics.
        res.status = kClientLeft;
    } else {
        fail_request(res, *stream.request);
    }
    return false;
}

// Step 4: every format goes out as it is spoken, so an answer holds only the
// sentences not yet sent, and a client that leaves is noticed at the next
// write, or while its next sentence is awaited.
void stream_answer(const std::shared_ptr<SpeechStream> &stream, httplib::Response &res) {
    res.set_header("Cache-Control", "no-cache");
    res.set_chunked_content_provider(
        stream->content_type,
        [stream](size_t, httplib::DataSink &sink) {
            std::string bytes, error;
            bool done = false;
            if (!stream->next_bytes(&bytes, &done, &error)) {
                orvel_tools::message("a streamed response ended early: %s", error.c_str());
                return false;
            }
            // A failed write means the client has gone: its remaining
            // sentences are dropped with the request.
            if (!bytes.empty() && !sink.write(bytes.data(), bytes.size())) {
                stream->request->cancel();
                return false;
            }
            if (done) sink.done();
            return true;
        },
        [stream](bool success) {
            stream->request->cancel();
            if (success && stream->finished) stream->record_completion();
        });
}

}  // namespace

HttpApi::HttpApi(Engine &engine, const HttpOptions &options) : state_(std::make_shared<State>()) {
    state_->engine = &engine;
    state_->options = options;
    if (state_->options.max_body_bytes == 0) {
        // The input at its longest, every character escaped ("\uXXXX"), plus room for the other fields.
        state_->options.max_body_bytes = options.max_input_chars * 6 + 65536;
    }
    std::shared_ptr<State> state = state_;
    ConnectionLimits limits;
    limits.max_body_bytes = state_->options.max_body_bytes;
    limits.workers = options.threads ? options.threads : options.max_requests + 8;
    // Clients keep one connection for many requests; closing it every few
    // requests only invites races with a client about to reuse it.
    limits.max_requests_per_connection = 1000;
    server_.reset(new HttpServer(limits, [state](int status, const std::string &message) {
        {
            std::lock_guard<std::mutex> lock(state->metrics.mutex);
            ++state->metrics.by_status[status];
        }
        return error_body(message, status == 503 ? "server_error" : "invalid_request_error");
    }));
    server_->set_payload_max_length(state_->options.max_body_bytes);

    std::atomic<bool> *stopping = &stopping_;

    server_->set_logger([state](const httplib::Request &req, const httplib::Response &res) {
        {
            std::lock_guard<std::mutex> lock(state->metrics.mutex);
            ++state->metrics.by_status[res.status];
        }
        // The path is the client's (decoded): no control character may start a
        // line of its own in the log, and a long one is cut.
        std::string path = req.path.substr(0, 200);
        for (char &c : path)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
        orvel_tools::message("%s %s %s %d", req.remote_addr.c_str(), req.method.c_str(), path.c_str(), res.status);
    });

    // httplib's own refusals (413, 400 for a request it cannot parse, 404)
    // come without a body; they get one in OpenAI's shape.
    server_->set_error_handler([](const httplib::Request &, httplib::Response &res) {
        if (!res.body.empty()) return;
        const char *message = res.status == 413 ? "the request body is too large"
                              : res.status == 404 ? "no such endpoint"
                              : res.status == 405 ? "method not allowed"
                                                  : "the request could not be read";
        send_error(res, res.status, message, "invalid_request_error");
    });

    server_->set_pre_routing_handler([state](const httplib::Request &req, httplib::Response &res) {
        if (req.headers.size() > kMaxHeaderFields) {
            send_error(res, 431, "too many header fields", "invalid_request_error");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (state->loopback && !host_allowed(req.get_header_value("Host"), state->options.allowed_hosts)) {
            send_error(res, 403,
                       "the Host header must name this machine (localhost or a loopback address, or a name given "
                       "with --allow-host)",
                       "invalid_request_error", nullptr, "host_not_allowed");
            return httplib::Server::HandlerResponse::Handled;
        }
        // A browser's preflight carries no key. No Access-Control-Allow-Origin
        // is sent, so pages of other origins stay unable to use the server.
        if (req.method == "OPTIONS") {
            res.status = 204;
            res.set_header("Allow", "GET, POST, OPTIONS");
            return httplib::Server::HandlerResponse::Handled;
        }
        const std::string &key = state->options.api_key;
        bool open_path = req.path == "/" || req.path == "/health" || req.path == "/metrics";
        if (!key.empty() && !open_path) {
            if (!has_key(req.get_header_value("Authorization"), key)) {
                send_error(res, 401, "a valid API key is needed: send it as \"Authorization: Bearer <key>\"",
                           "invalid_request_error", nullptr, "invalid_api_key");
                return httplib::Server::HandlerResponse::Handled;
            }
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });

    server_->Get("/", [](const httplib::Request &, httplib::Response &res) {
        res.set_content(kPageHtml, "text/html; charset=utf-8");
    });

    server_->Get("/health", [state, stopping](const httplib::Request &, httplib::Response &res) {
        json voices = json::array();
        for (const VoiceInfo &voice : state->engine->voices()) voices.push_back(voice.name);
        bool ready = !*stopping;
        res.status = ready ? 200 : 503;
        res.set_content(json{{"status", ready ? "ok" : "stopping"}, {"voices", voices}}.dump(), "application/json");
    });

    server_->Get("/metrics", [state](const httplib::Request &, httplib::Response &res) {
        EngineStats stats = state->engine->stats();
        std::string text;
        metric_head(&text, "orvel_requests_total", "counter", "HTTP requests answered, by status.");
        {
            std::lock_guard<std::mutex> lock(state->metrics.mutex);
            for (const auto &entry : state->metrics.by_status)
                metric_sample(&text, "orvel_requests_total", "{status=\"%d\"} %llu", entry.first,
                              static_cast<unsigned long long>(entry.second));
            add_metric(&text, "orvel_speech_completed_total", "counter", "Speech requests answered in full.", " %llu",
                       static_cast<unsigned long long>(state->metrics.speech_completed));
            add_metric(&text, "orvel_speech_request_seconds_total", "counter",
                       "Their time from arrival to the last byte sent.", " %.6f", state->metrics.speech_seconds);
        }
        add_metric(&text, "orvel_audio_seconds_total", "counter", "Seconds of audio produced.", " %.3f",
                   stats.audio_seconds);
        add_metric(&text, "orvel_synthesis_seconds_total", "counter", "Time spent synthesizing.", " %.6f",
                   stats.synthesis_seconds);
        add_metric(&text, "orvel_queue_length", "gauge", "Sentences waiting to be spoken.", " %zu", stats.queued_pieces);
        add_metric(&text, "orvel_requests_in_flight", "gauge", "Speech requests being spoken or sent.", " %zu",
                   stats.live_requests);
        // With --workers each process answers for itself: the figures are
        // those of the worker that took this connection.
        add_metric(&text, "orvel_worker", "gauge", "The worker process these figures are of (1 of 1 without --workers).",
                   "{worker=\"%zu\",workers=\"%zu\"} 1", state->options.worker + 1, state->options.workers);
        res.set_content(text, "text/plain; version=0.0.4");
    });

    auto models = [](const httplib::Request &, httplib::Response &res) {
        // Any model name is accepted; these are the usual ones. Both OpenAI's
        // list shape and the plain one some clients read.
        json data = json::array(), plain = json::array();
        for (const char *id : {"tts-1", "tts-1-hd", "gpt-4o-mini-tts", "orvel"}) {
            data.push_back({{"id", id}, {"object", "model"}, {"created", 0}, {"owned_by", "orvel"}});
            plain.push_back({{"id", id}});
        }
        res.set_content(json{{"object", "list"}, {"data", data}, {"models", plain}}.dump(), "application/json");
    };
    server_->Get("/v1/models", models);
    server_->Get("/v1/audio/models", models);

    server_->Get("/v1/audio/voices", [state](const httplib::Request &, httplib::Response &res) {
        json voices = json::array();
        for (const VoiceInfo &voice : state->engine->voices()) {
            json speakers = json::array();
            for (const auto &speaker : voice.speakers) speakers.push_back(speaker.first);
            voices.push_back({{"id", voice.name},
                              {"name", voice.name},
                              {"language", voice.language},
                              {"sample_rate", voice.sample_rate},
                              {"num_speakers", voice.num_speakers},
                              {"speakers", speakers}});
            for (const auto &speaker : voice.speakers)
                voices.push_back({{"id", voice.name + ":" + speaker.first},
                                  {"name", voice.name + " (" + speaker.first + ")"},
                                  {"language", voice.language}});
        }
        res.set_content(json{{"voices", voices}}.dump(), "application/json");
    });

    server_->Post("/v1/audio/speech", [state](const httplib::Request &req, httplib::Response &res) {
        SpeechParams params;
        if (!read_speech_params(req, *state, &params, res)) return;
        // A client that sent its request and left at once is not queued: the
        // engine would reach it before the wait below noticed.
        if (client_has_left()) {
            res.status = kClientLeft;
            return;
        }
        std::shared_ptr<SpeechStream> stream = start_speech(*state, std::move(params), res);
        if (!stream) return;
        if (!wait_for_first_chunk(*stream, res)) return;
        stream_answer(stream, res);
    });
}

HttpApi::~HttpApi() = default;

int HttpApi::bind(const std::string &host, int port, std::string *error) {
    int bound = server_->bind(host, port, error);
    if (bound >= 0) state_->loopback = loopback_only(host);
    return bound;
}

void HttpApi::adopt(int listen_fd, const std::string &host) {
    server_->adopt(listen_fd);
    state_->loopback = loopback_only(host);
}

bool HttpApi::serve() { return server_->serve(); }

void HttpApi::stop() { server_->stop(); }

void HttpApi::abort() { server_->abort(); }

size_t HttpApi::answering() const { return server_->answering(); }

}  // namespace orvel_server
