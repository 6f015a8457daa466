// Where one HTTP/1.1 request ends in the bytes received so far, judged from
// its head alone where possible, so that a request that can never be
// accepted is refused before its body is sent.
#ifndef ORVEL_SERVER_HTTP_FRAMING_H
#define ORVEL_SERVER_HTTP_FRAMING_H

#include <cstddef>
#include <string>

namespace orvel_server {

// What is known about a request from its bytes so far.
struct RequestFraming {
    enum class State { Incomplete, Complete, Refused };
    State state = State::Incomplete;
    size_t length = 0;       // Complete: the request's bytes, head and body
    int status = 0;          // Refused: the answer's status
    const char *reason = ""; // Refused: the answer's message
    bool expects_continue = false;  // the head asks for "100 Continue" before its body
    size_t expect_line = 0;         // where that Expect field's line is in the head
    size_t expect_line_length = 0;
};

// Scans buffered bytes for one whole request: the head up to its blank
// line, then a Content-Length or chunked body.
RequestFraming frame_request(const std::string &bytes, size_t max_head_bytes, size_t max_body_bytes);

}  // namespace orvel_server

#endif
