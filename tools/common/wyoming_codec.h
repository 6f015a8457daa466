// Wyoming protocol framing: the event stream Home Assistant and its voice
// services speak over TCP.
//
// An event is one UTF-8 JSON header line ending in "\n":
//   {"type": ..., "data": {...}?, "data_length": N?, "payload_length": M?, "version": ...}
// then exactly N bytes of JSON that are merged over the header's "data", then
// exactly M bytes of payload (raw audio for audio events).
#ifndef ORVEL_TOOLS_WYOMING_CODEC_H
#define ORVEL_TOOLS_WYOMING_CODEC_H

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>

namespace wyoming {

// The protocol version written into every header; streaming synthesis came with 1.7.
extern const char *const kProtocolVersion;

struct Event {
    std::string type;
    nlohmann::json data = nlohmann::json::object();
    std::string payload;
};

struct Limits {
    size_t max_header_bytes = 64 * 1024;       // one header line, "\n" excluded
    size_t max_data_bytes = 1024 * 1024;       // the separate data block
    size_t max_payload_bytes = 4 * 1024 * 1024;
};

// The header line, then the data as a block of its own (when there is any),
// then the payload. Strings that are not valid UTF-8 are written with U+FFFD.
std::string encode(const Event &event);

// Reads events from a byte stream fed in pieces of any size.
class Reader {
public:
    enum class Result {
        NeedMore,   // no complete event yet
        Event,      // *event holds the next event
        Malformed,  // one event or line was unusable and is skipped; the stream goes on
        Fatal,      // the stream cannot be followed any more (a length over its limit)
    };

    explicit Reader(const Limits &limits = Limits()) : limits_(limits) {}

    void feed(const char *bytes, size_t size) { buffer_.append(bytes, size); }
    // After Malformed or Fatal, *error says why.
    Result next(Event *event, std::string *error);
    // Bytes received and not yet returned as events.
    size_t buffered() const { return buffer_.size() - start_; }

private:
    Limits limits_;
    std::string buffer_;
    size_t start_ = 0;       // bytes of buffer_ already consumed
    size_t scanned_ = 0;     // bytes of buffer_ known to hold no '\n' (from start_ on)
    bool in_body_ = false;   // a header was read; its data and payload are awaited
    Event pending_;
    size_t data_length_ = 0;
    size_t payload_length_ = 0;

    void consume(size_t n);
};

}  // namespace wyoming

#endif
