// The connection layer under orvel-server's HTTP API. cpp-httplib reads a
// request in a worker thread, with a timeout per read and no bound on the
// header bytes, so a client sending a byte a second, or megabytes of header
// fields, holds a worker or the heap. Here one thread reads every
// connection's request (head and body) with a total deadline and a size cap,
// and only a complete request reaches a worker, which hands it to httplib.
// Pipelined requests are kept and answered in order.
#ifndef ORVEL_SERVER_HTTP_CONNECTIONS_H
#define ORVEL_SERVER_HTTP_CONNECTIONS_H

#include "http_framing.h"

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace orvel_server {

struct ConnectionLimits {
    size_t max_head_bytes = 64 * 1024;     // request line and header fields
    size_t max_body_bytes = 1024 * 1024;
    std::chrono::milliseconds head_timeout{10000};  // from a request's first byte to its blank line
    std::chrono::milliseconds body_timeout{30000};  // from the blank line to the body's last byte
    std::chrono::milliseconds idle_timeout{5000};   // a kept-alive connection with no next request
    std::chrono::milliseconds write_timeout{5000};  // one write of an answer
    size_t max_connections = 512;          // being read or idle; more are refused with 503
    size_t max_buffered_bytes = 64 * 1024 * 1024;  // requests being received, all connections together
    size_t workers = 8;                    // requests answered at once
    size_t max_requests_per_connection = 1000;
};

class HttpServer : public httplib::Server {
public:
    // The body of a refusal made before httplib sees the request (status, message).
    using RefusalBody = std::function<std::string(int, const std::string &)>;

    HttpServer(const ConnectionLimits &limits, RefusalBody refusal_body);
    ~HttpServer() override;

    // Binds without SO_REUSEPORT, so a second server cannot share a port that
    // is in use. Returns the port (port 0: any free one), or -1 with *error.
    int bind(const std::string &host, int port, std::string *error);
    // Serves a listening socket bound by another process (a worker's parent),
    // instead of bind(). Several processes may accept from one socket.
    void adopt(int listen_fd);
    // Accepts connections until stop(), then answers what it took on before
    // it returns: the requests being answered or received, and connections
    // accepted but not yet read from. Returns false when serving failed.
    bool serve();
    // Stops accepting and closes the listening socket at once, also when
    // serve() has not started yet; idle kept-alive connections close, and
    // answers close theirs. Other processes sharing the socket go on
    // accepting until they stop too.
    void stop();
    // After stop(): ends the answers being streamed and drops the requests
    // not yet begun and the connections still being read.
    void abort();
    // Requests being answered now.
    size_t answering() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// On a thread answering a request: whether its client has closed the
// connection (or reset it). An answer being awaited notices a departed client
// this way before it has anything to write. A client that only shuts its
// sending side counts as gone too: before a write, the two look alike.
bool client_has_left();

}  // namespace orvel_server

#endif
