// The connection reader hands a request to httplib only once it is whole, so
// its framing must never call a cut request whole (httplib would then wait on
// a socket it does not read), never refuse a request that is merely cut, and
// never let a pipelined request's bytes become part of the one before.
#include "http_framing.h"

#include <gtest/gtest.h>

#include <string>

using orvel_server::frame_request;
using orvel_server::RequestFraming;
using State = RequestFraming::State;

namespace {

constexpr size_t kHead = 1024;
constexpr size_t kBody = 4096;

RequestFraming frame(const std::string &bytes) { return frame_request(bytes, kHead, kBody); }

// Every proper prefix is incomplete; the whole is complete at its own length,
// whatever follows it.
void expect_framed(const std::string &request) {
    for (size_t n = 0; n < request.size(); ++n)
        ASSERT_EQ(frame(request.substr(0, n)).state, State::Incomplete) << "cut at " << n << ": " << request;
    for (const std::string &next : {std::string(), std::string("GET / HTTP/1.1\r\n\r\n"), std::string("G")}) {
        RequestFraming whole = frame(request + next);
        ASSERT_EQ(whole.state, State::Complete) << request;
        EXPECT_EQ(whole.length, request.size()) << request;
    }
}

int refusal(const std::string &bytes) {
    RequestFraming framing = frame(bytes);
    return framing.state == State::Refused ? framing.status : 0;
}

const std::string kPost = "POST /v1/audio/speech HTTP/1.1\r\nHost: h\r\n";

TEST(HttpFraming, FindsTheEndOfEveryKindOfRequest) {
    expect_framed("GET /health HTTP/1.1\r\nHost: h\r\n\r\n");
    expect_framed(kPost + "Content-Length: 11\r\n\r\n{\"input\":1}");
    expect_framed(kPost + "content-LENGTH:   0  \r\n\r\n");
    expect_framed(kPost + "Content-Length: 3\r\nContent-Length: 3\r\n\r\nabc");
    expect_framed(kPost + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\nA;ext=1\r\n0123456789\r\n0\r\n\r\n");
    expect_framed(kPost + "Transfer-Encoding: Chunked\r\n\r\n0\r\nX-Trailer: 1\r\n\r\n");
    // A GET's body is skipped whole, so that it is not read as the next request.
    expect_framed("GET / HTTP/1.1\r\nContent-Length: 4\r\n\r\nbody");
}

TEST(HttpFraming, RefusesFromTheHeadWithoutWaitingForTheBody) {
    EXPECT_EQ(refusal(kPost + "Content-Length: 4097\r\n\r\n"), 413);
    EXPECT_EQ(refusal(kPost + "Content-Length: 99999999999999999999999\r\n\r\n"), 400);
    EXPECT_EQ(refusal(kPost + "Content-Length: -1\r\n\r\n"), 400);
    EXPECT_EQ(refusal(kPost + "Content-Length: 1, 1\r\n\r\n"), 400);
    EXPECT_EQ(refusal(kPost + "Content-Length:\r\n\r\n"), 400);
    EXPECT_EQ(refusal(kPost + "Content-Length: 3\r\nContent-Length: 4\r\n\r\n"), 400);
    EXPECT_EQ(refusal(kPost + "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n"), 400);
    EXPECT_EQ(refusal(kPost + "Transfer-Encoding: gzip, chunked\r\n\r\n"), 400);
    EXPECT_EQ(refusal(kPost + "\r\n"), 411);
    EXPECT_EQ(refusal("PUT / HTTP/1.1\r\n\r\n"), 411);
}

TEST(HttpFraming, BoundsTheHeadAndTheChunks) {
    std::string head = "GET / HTTP/1.1\r\nX: ";
    head += std::string(kHead - head.size() - 4, 'a') + "\r\n\r\n";
    ASSERT_EQ(head.size(), kHead);
    EXPECT_EQ(frame(head).state, State::Complete);
    EXPECT_EQ(refusal("GET / HTTP/1.1\r\nX: a" + head.substr(16)), 431);
    // No blank line yet, but already too long to ever be a head.
    EXPECT_EQ(refusal("GET / HTTP/1.1\r\nX: " + std::string(kHead, 'a')), 431);
    EXPECT_EQ(frame("GET / HTTP/1.1\r\nX: " + std::string(kHead - 40, 'a')).state, State::Incomplete);

    const std::string chunked = kPost + "Transfer-Encoding: chunked\r\n\r\n";
    EXPECT_EQ(refusal(chunked + "1001\r\n"), 413);                  // one chunk over the body bound
    EXPECT_EQ(refusal(chunked + "800\r\n" + std::string(0x800, 'x') + "\r\n801\r\n"), 413);  // two together
    EXPECT_EQ(refusal(chunked + "ffffffffffffffffffffffff\r\n"), 413);  // no wrap-around
    EXPECT_EQ(refusal(chunked + "zz\r\n"), 400);
    EXPECT_EQ(refusal(chunked + "3\r\nabcX\r\n"), 400);             // data longer than its size
    EXPECT_EQ(refusal(chunked + std::string(kHead + 1, '1')), 400);  // a size line without end
}

TEST(HttpFraming, FindsAnExpectedContinueToAnswerAndRemove) {
    const std::string field = "Expect:  100-Continue \r\n";
    std::string request = kPost + field + "Content-Length: 2\r\n\r\n";
    RequestFraming framing = frame(request);
    ASSERT_TRUE(framing.expects_continue);
    EXPECT_EQ(request.substr(framing.expect_line, framing.expect_line_length), field);
    EXPECT_FALSE(frame(kPost + "Expect: something-else\r\nContent-Length: 2\r\n\r\n").expects_continue);
}

}  // namespace
