// Fuzzes the connection reader's request framing with arbitrary bytes and
// checks what it decides: a whole request is whole at the same length
// however much follows it, one byte less is not whole, refusals carry one of
// the statuses the reader answers with, and nothing waits for more bytes
// once it is past the bounds.
#include "http_framing.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using orvel_server::frame_request;
using orvel_server::RequestFraming;
using State = RequestFraming::State;

namespace {

constexpr size_t kHead = 512;
constexpr size_t kBody = 1024;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    RequestFraming framing = frame_request(bytes, kHead, kBody);
    switch (framing.state) {
    case State::Refused:
        if (framing.status != 400 && framing.status != 411 && framing.status != 413 && framing.status != 431)
            std::abort();
        if (!framing.reason || !*framing.reason) std::abort();
        break;
    case State::Complete: {
        if (framing.length == 0 || framing.length > bytes.size()) std::abort();
        if (framing.length > kHead + 2 * kBody + 4096 + kHead) std::abort();
        RequestFraming alone = frame_request(bytes.substr(0, framing.length), kHead, kBody);
        if (alone.state != State::Complete || alone.length != framing.length) std::abort();
        RequestFraming shorter = frame_request(bytes.substr(0, framing.length - 1), kHead, kBody);
        if (shorter.state == State::Complete) std::abort();
        if (framing.expects_continue &&
            (framing.expect_line + framing.expect_line_length > framing.length ||
             bytes.compare(framing.expect_line + framing.expect_line_length - 2, 2, "\r\n") != 0))
            std::abort();
        break;
    }
    case State::Incomplete:
        // Nothing whole yet, and nothing so far that is already too much:
        // past the head bound the head has ended, and the body's framing
        // is bounded too.
        if (bytes.size() >= kHead && bytes.find("\n\r\n") >= kHead) std::abort();
        if (bytes.size() > kHead + 2 * kBody + 4096 + kHead) std::abort();
        break;
    }
    return 0;
}
