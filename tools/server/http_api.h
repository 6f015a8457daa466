// The HTTP front-end of orvel-server: OpenAI's speech endpoint and friends
// over the engine.
#ifndef ORVEL_SERVER_HTTP_API_H
#define ORVEL_SERVER_HTTP_API_H

#include "engine.h"

#include <atomic>
#include <memory>
#include <string>

#include <vector>

namespace orvel_server {

class HttpServer;

struct HttpOptions {
    std::string api_key;            // empty: no key needed
    size_t max_input_chars = 100000;
    size_t max_body_bytes = 0;      // 0: derived from max_input_chars
    size_t threads = 0;             // 0: derived from the engine's request bound
    size_t max_requests = 64;
    size_t worker = 0;              // with --workers: this process's index, and how many there are
    size_t workers = 1;
    // Host names a request may give besides loopback ones when the server
    // listens on loopback (a reverse proxy's name, say).
    std::vector<std::string> allowed_hosts;
};

class HttpApi {
public:
    HttpApi(Engine &engine, const HttpOptions &options);
    ~HttpApi();

    // Binds host:port (0: any free port); returns the port, or -1 with *error.
    int bind(const std::string &host, int port, std::string *error);
    // Serves a listening socket that another process bound for host instead.
    void adopt(int listen_fd, const std::string &host);
    // Serves until stop() and the requests it had taken on are answered;
    // returns false when serving failed.
    bool serve();
    // Closes the listener at once, also when serve() has not started yet;
    // the requests already taken on are answered.
    void stop();
    // After stop(): drops the requests not yet begun (the grace time is over).
    void abort();
    // Requests being answered now.
    size_t answering() const;
    // /health answers 503 from now on.
    void set_stopping() { stopping_ = true; }

    struct State;

private:
    std::unique_ptr<HttpServer> server_;
    std::shared_ptr<State> state_;
    std::atomic<bool> stopping_{false};
};

}  // namespace orvel_server

#endif
