// The Wyoming front-end of orvel-server: Home Assistant's protocol for voice
// services over TCP, speaking through the same engine and queue as HTTP.
//
// Events: describe -> info; synthesize -> audio-start, audio-chunk (raw 16-bit
// mono, sentence by sentence), audio-stop; a streamed request
// (synthesize-start, synthesize-chunk..., synthesize-stop) speaks each
// sentence as soon as it is complete and ends with synthesize-stopped; ping ->
// pong. An error event ends the exchange it belongs to: audio under way is
// closed with audio-stop (and synthesize-stopped), otherwise the connection is
// closed after it. Unknown events are ignored.
#ifndef ORVEL_SERVER_WYOMING_SERVICE_H
#define ORVEL_SERVER_WYOMING_SERVICE_H

#include "engine.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orvel_server {

struct WyomingOptions {
    size_t max_input_chars = 100000;  // per request, streamed ones included
    size_t max_connections = 64;      // then the longest idle one is closed; when none is idle, new ones are refused
    double idle_timeout_s = 300;      // without a complete event, idle or in an open stream
    double event_timeout_s = 10;      // from an event's first byte to its last
    double chunk_pause_s = 0;         // tests only: a pause before each audio-chunk is sent
    std::string version;              // reported in info
};

// Reads "tcp://HOST:PORT" (PORT 0: any free port).
bool parse_tcp_uri(const std::string &uri, std::string *host, int *port);

class WyomingService {
public:
    WyomingService(Engine &engine, const WyomingOptions &options);
    ~WyomingService();
    WyomingService(const WyomingService &) = delete;
    WyomingService &operator=(const WyomingService &) = delete;

    // Binds host:port; returns the port, or -1 with *error.
    int bind(const std::string &host, int port, std::string *error);
    // Serves a listening socket bound by another process instead (a worker's
    // parent); other processes may accept from it too.
    void adopt(int listen_fd);
    // Accepts connections on a thread of its own until stop().
    void start();
    // Stops accepting, ends every connection (cancelling what they were
    // speaking) and waits for their threads.
    void stop();

private:
    struct Connection;
    void accept_loop();
    void reap(bool all);
    // With mutex_ held:
    size_t live_connections() const;
    bool evict_longest_idle();

    Engine &engine_;
    WyomingOptions options_;
    int listen_fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Connection>> connections_;
};

}  // namespace orvel_server

#endif
