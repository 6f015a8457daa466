#include "http_framing.h"

#include <cctype>
#include <cstring>

namespace orvel_server {

namespace {

bool iequals(const char *a, size_t n, const char *b) {
    if (std::strlen(b) != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

void trim(const char **begin, const char **end) {
    while (*begin < *end && (**begin == ' ' || **begin == '\t')) ++*begin;
    while (*end > *begin && ((*end)[-1] == ' ' || (*end)[-1] == '\t')) --*end;
}

RequestFraming refuse(int status, const char *reason) {
    RequestFraming framing;
    framing.state = RequestFraming::State::Refused;
    framing.status = status;
    framing.reason = reason;
    return framing;
}

// A chunked body from `at`: its end, 0 while incomplete, or a refusal.
RequestFraming frame_chunked(const std::string &bytes, size_t at, size_t max_body_bytes, size_t max_line) {
    const size_t body_start = at;
    size_t total = 0;
    for (;;) {
        size_t eol = bytes.find("\r\n", at);
        if (eol == std::string::npos) {
            if (bytes.size() - at > max_line) return refuse(400, "a chunk size line is too long");
            return RequestFraming();
        }
        if (eol - at > max_line) return refuse(400, "a chunk size line is too long");
        size_t size = 0, digits = 0;
        for (size_t i = at; i < eol && std::isxdigit(static_cast<unsigned char>(bytes[i])); ++i, ++digits) {
            if (size > max_body_bytes) return refuse(413, "the request body is too large");
            char c = static_cast<char>(std::tolower(static_cast<unsigned char>(bytes[i])));
            size = size * 16 + static_cast<size_t>(c <= '9' ? c - '0' : c - 'a' + 10);
        }
        if (digits == 0) return refuse(400, "a chunk size is not a hexadecimal number");
        total += size;
        if (total > max_body_bytes) return refuse(413, "the request body is too large");
        at = eol + 2;
        if (size == 0) {
            // Trailer fields, if any, then the blank line.
            if (bytes.compare(at, 2, "\r\n") == 0) {
                RequestFraming done;
                done.state = RequestFraming::State::Complete;
                done.length = at + 2;
                return done;
            }
            size_t end = bytes.find("\r\n\r\n", at);
            if (end == std::string::npos) {
                if (bytes.size() - at > max_line) return refuse(431, "the request's trailer fields are too large");
                return RequestFraming();
            }
            RequestFraming done;
            done.state = RequestFraming::State::Complete;
            done.length = end + 4;
            return done;
        }
        if (bytes.size() < at + size + 2) return RequestFraming();
        // Framing may double a body at most: tiny chunks with long
        // extensions would otherwise hold far more than the body bound.
        if (at + size + 2 - body_start > 2 * max_body_bytes + 4096) return refuse(413, "the request body is too large");
        if (bytes.compare(at + size, 2, "\r\n") != 0) return refuse(400, "a chunk does not end where its size says");
        at += size + 2;
    }
}

}  // namespace

RequestFraming frame_request(const std::string &bytes, size_t max_head_bytes, size_t max_body_bytes) {
    // Lines as httplib reads them: each ends at a line feed, a field counts
    // only when its line ends with CR LF, and the head ends at a bare CR LF.
    const char *head = bytes.data();
    size_t request_line_end = bytes.find('\n');
    size_t head_length = 0;
    for (size_t at = request_line_end; at != std::string::npos && at + 1 <= max_head_bytes;) {
        size_t line = at + 1, end = bytes.find('\n', line);
        if (end == std::string::npos || end + 1 > max_head_bytes) break;
        if (end == line + 1 && head[line] == '\r') {
            head_length = end + 1;
            break;
        }
        at = end;
    }
    if (head_length == 0) {
        if (bytes.size() >= max_head_bytes) return refuse(431, "the request's header fields are too large");
        return RequestFraming();
    }
    const char *space = static_cast<const char *>(std::memchr(head, ' ', request_line_end));
    size_t method_length = space ? static_cast<size_t>(space - head) : 0;

    bool has_length = false, chunked = false, other_coding = false, expects_continue = false;
    size_t expect_line = 0, expect_line_length = 0;
    unsigned long long length = 0;
    for (size_t at = request_line_end + 1; at + 2 < head_length;) {
        const char *line = head + at;
        size_t next = bytes.find('\n', at) + 1;
        const char *end = head + next - 2;  // at its CR, if it has one
        at = next;
        if (*end != '\r') continue;
        const char *colon = static_cast<const char *>(std::memchr(line, ':', static_cast<size_t>(end - line)));
        if (colon) {
            const char *name_end = colon;
            const char *value = colon + 1, *value_end = end;
            trim(&value, &value_end);
            size_t name_length = static_cast<size_t>(name_end - line);
            if (iequals(line, name_length, "content-length")) {
                unsigned long long value_number = 0;
                if (value == value_end || value_end - value > 18) return refuse(400, "a bad Content-Length");
                for (const char *c = value; c < value_end; ++c) {
                    if (!std::isdigit(static_cast<unsigned char>(*c))) return refuse(400, "a bad Content-Length");
                    value_number = value_number * 10 + static_cast<unsigned>(*c - '0');
                }
                if (has_length && value_number != length) return refuse(400, "two different Content-Length fields");
                has_length = true;
                length = value_number;
            } else if (iequals(line, name_length, "transfer-encoding")) {
                if (iequals(value, static_cast<size_t>(value_end - value), "chunked"))
                    chunked = true;
                else
                    other_coding = true;
            } else if (iequals(line, name_length, "expect")) {
                expects_continue = iequals(value, static_cast<size_t>(value_end - value), "100-continue");
                expect_line = static_cast<size_t>(line - head);
                expect_line_length = static_cast<size_t>(end + 2 - line);
            }
        }
    }
    // Both framings at once is how requests are smuggled past proxies.
    if (other_coding || (chunked && has_length)) return refuse(400, "an unsupported Transfer-Encoding");

    RequestFraming framing;
    framing.expects_continue = expects_continue;
    if (chunked) {
        framing = frame_chunked(bytes, head_length, max_body_bytes, max_head_bytes);
    } else if (has_length) {
        if (length > max_body_bytes) return refuse(413, "the request body is too large");
        if (bytes.size() >= head_length + length) {
            framing.state = RequestFraming::State::Complete;
            framing.length = head_length + static_cast<size_t>(length);
        }
    } else if (iequals(head, method_length, "POST") || iequals(head, method_length, "PUT") ||
               iequals(head, method_length, "PATCH")) {
        // httplib would read such a body until the client closes.
        return refuse(411, "a request body needs a Content-Length");
    } else {
        framing.state = RequestFraming::State::Complete;
        framing.length = head_length;
    }
    framing.expects_continue = expects_continue;
    framing.expect_line = expect_line;
    framing.expect_line_length = expect_line_length;
    return framing;
}


}  // namespace orvel_server
