#include "http_connections.h"

#include "listen_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace orvel_server {

namespace {

using Clock = std::chrono::steady_clock;

// The connection of the request this thread is answering; -1 on other threads.
thread_local int t_answering_fd = -1;

void close_socket(int fd) {
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
}

// One request of a connection, as httplib reads and answers it: the bytes
// already received, then the socket for the answer.
class BufferedStream : public httplib::Stream {
public:
    BufferedStream(int fd, const char *data, size_t size, std::chrono::milliseconds write_timeout)
        : fd_(fd), data_(data), size_(size), write_timeout_(write_timeout) {}

    bool is_readable() const override { return offset_ < size_; }
    bool is_writable() const override {
        pollfd p{fd_, POLLOUT, 0};
        return ::poll(&p, 1, static_cast<int>(write_timeout_.count())) > 0 && !(p.revents & (POLLERR | POLLHUP));
    }
    ssize_t read(char *ptr, size_t size) override {
        size_t n = std::min(size, size_ - offset_);
        std::memcpy(ptr, data_ + offset_, n);
        offset_ += n;
        return static_cast<ssize_t>(n);
    }
    ssize_t write(const char *ptr, size_t size) override {
        for (;;) {
            ssize_t n = ::send(fd_, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n >= 0) return n;
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
            // A client that reads nothing for a whole write timeout has gone.
            if (!is_writable()) return -1;
        }
    }
    void get_remote_ip_and_port(std::string &ip, int &port) const override { address(true, ip, port); }
    void get_local_ip_and_port(std::string &ip, int &port) const override { address(false, ip, port); }
    socket_t socket() const override { return fd_; }

private:
    void address(bool remote, std::string &ip, int &port) const {
        sockaddr_storage addr{};
        socklen_t length = sizeof addr;
        int rc = remote ? ::getpeername(fd_, reinterpret_cast<sockaddr *>(&addr), &length)
                        : ::getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &length);
        char host[NI_MAXHOST] = "", service[NI_MAXSERV] = "";
        if (rc == 0 && ::getnameinfo(reinterpret_cast<sockaddr *>(&addr), length, host, sizeof host, service,
                                     sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
            ip = host;
            port = std::atoi(service);
        }
    }

    int fd_;
    const char *data_;
    size_t size_;
    size_t offset_ = 0;
    std::chrono::milliseconds write_timeout_;
};

struct Connection {
    int fd = -1;
    std::string buffer;         // received, from the current request's first byte on
    size_t served = 0;          // requests answered on it
    size_t request_length = 0;  // once complete
    bool started = false;       // a byte of the current request has come
    bool head_done = false;     // its blank line has come
    bool closing = false;       // refused: what still comes is read and dropped
    size_t dropped = 0;
    Clock::time_point deadline;
};

// A refused connection is read from a little longer before it is closed:
// closing a socket with unread bytes resets it, and the reset can destroy the
// answer before the client has read it.
constexpr auto kLingerTime = std::chrono::seconds(2);
constexpr size_t kLingerBytes = 16 * 1024 * 1024;

// What a refused request is answered with: a status line, then the body the
// API gives for it, and the connection closes.
std::string refusal_bytes(int status, const std::string &body) {
    const char *reason = status == 400   ? "Bad Request"
                         : status == 408 ? "Request Timeout"
                         : status == 411 ? "Length Required"
                         : status == 413 ? "Payload Too Large"
                         : status == 431 ? "Request Header Fields Too Large"
                                         : "Service Unavailable";
    std::string text = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                       "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                       "\r\nConnection: close\r\n";
    if (status == 503) text += "Retry-After: 1\r\n";
    return text + "\r\n" + body;
}

}  // namespace

struct HttpServer::Impl {
    HttpServer *server = nullptr;
    ConnectionLimits limits;
    RefusalBody refusal_body;
    int wake_fd = -1;    // wakes the reader
    int stop_fd = -1;    // readable once stop() is called: wakes the accepting loop
    int listen_fd = -1;  // closed once accepting ends

    std::mutex mutex;
    std::vector<std::unique_ptr<Connection>> arriving;  // for the reader: new or kept alive
    std::deque<std::unique_ptr<Connection>> complete;   // for the workers
    std::condition_variable work_cv;
    // Stopping, in steps: stop() was called (answers close their connection,
    // idle kept-alive ones close); the listening socket is closed, so the
    // reader ends once no connection is left; the reader has ended, so the
    // workers end once the queue is empty. abort() cuts all of it short.
    bool draining = false;
    bool listener_closed = false;
    bool reader_done = false;
    bool aborting = false;
    size_t answering = 0;  // requests in the workers' hands

    std::thread reader;
    std::vector<std::thread> workers;

    void wake() {
        uint64_t one = 1;
        ssize_t ignored = ::write(wake_fd, &one, sizeof one);
        (void)ignored;
    }

    // A new connection, or one kept alive after an answer (`returning`),
    // which has no next request to wait for once stopping has begun.
    void hand_to_reader(std::unique_ptr<Connection> connection, bool returning) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!reader_done && !aborting && !(returning && draining)) {
                arriving.push_back(std::move(connection));
                connection = nullptr;
            }
        }
        if (connection) {
            close_socket(connection->fd);
        } else {
            wake();
        }
    }

    void refuse(Connection &connection, int status, const std::string &message) {
        std::string bytes = refusal_bytes(status, refusal_body(status, message));
        // Best effort: the send buffer of a connection that has read nothing
        // yet has room for this; a client that cannot take it is gone anyway.
        ssize_t ignored = ::send(connection.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        (void)ignored;
        ::shutdown(connection.fd, SHUT_WR);
        connection.closing = true;
        connection.buffer = std::string();
        connection.deadline = Clock::now() + kLingerTime;
    }

    // Looks at a connection's bytes: false when it has been handed to the
    // workers, true when it stays with the reader (refused ones linger).
    bool examine(std::unique_ptr<Connection> &connection, Clock::time_point now) {
        Connection &c = *connection;
        if (c.buffer.empty()) return true;
        if (!c.started) {
            c.started = true;
            c.deadline = now + limits.head_timeout;
        }
        RequestFraming framing = frame_request(c.buffer, limits.max_head_bytes, limits.max_body_bytes);
        if (framing.state == RequestFraming::State::Refused) {
            refuse(c, framing.status, framing.reason);
            return true;
        }
        if (!c.head_done && c.buffer.find("\r\n\r\n") != std::string::npos) {
            c.head_done = true;
            c.deadline = now + limits.body_timeout;
            if (framing.expects_continue) {
                // The body is read here, before httplib sees the request, so
                // the interim answer is sent here too and the field dropped.
                c.buffer.erase(framing.expect_line, framing.expect_line_length);
                static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
                ssize_t ignored = ::send(c.fd, kContinue, sizeof kContinue - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                (void)ignored;
                framing = frame_request(c.buffer, limits.max_head_bytes, limits.max_body_bytes);
            }
        }
        if (framing.state != RequestFraming::State::Complete) return true;
        c.request_length = framing.length;
        {
            std::lock_guard<std::mutex> lock(mutex);
            complete.push_back(std::move(connection));
        }
        work_cv.notify_one();
        return false;
    }

    void read_connections() {
        std::vector<std::unique_ptr<Connection>> open;
        std::vector<pollfd> polled;
        std::vector<char> chunk(64 * 1024);
        for (;;) {
            Clock::time_point now = Clock::now();
            std::vector<std::unique_ptr<Connection>> taken;
            bool draining_now, listener_closed_now;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (aborting) break;
                draining_now = draining;
                listener_closed_now = listener_closed;
                taken.swap(arriving);
            }
            for (std::unique_ptr<Connection> &connection : taken) {
                if (open.size() >= limits.max_connections) {
                    // Lingering ones are few and short-lived; they may pass the bound.
                    refuse(*connection, 503, "the server has too many connections open; try again shortly");
                    open.push_back(std::move(connection));
                    continue;
                }
                Connection &c = *connection;
                c.started = c.head_done = false;
                c.request_length = 0;
                c.deadline = now + (c.served == 0 ? limits.head_timeout : limits.idle_timeout);
                // A pipelined request may be here already.
                if (examine(connection, now)) open.push_back(std::move(connection));
            }
            if (draining_now) {
                // What was accepted before the stop is work taken on: a new
                // connection (a balancer sends its request right after
                // connecting) and a request begun. A kept-alive connection
                // with nothing begun is not, and closes now.
                auto idle = [](const std::unique_ptr<Connection> &c) {
                    return !c->closing && c->served > 0 && !c->started;
                };
                for (auto &connection : open)
                    if (idle(connection)) close_socket(connection->fd);
                open.erase(std::remove_if(open.begin(), open.end(), idle), open.end());
                if (listener_closed_now && open.empty()) break;
            }

            Clock::time_point next = now + std::chrono::seconds(1);
            polled.assign(1, pollfd{wake_fd, POLLIN, 0});
            for (const auto &connection : open) {
                polled.push_back(pollfd{connection->fd, POLLIN, 0});
                next = std::min(next, connection->deadline);
            }
            int wait = static_cast<int>(
                std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1));
            if (::poll(polled.data(), polled.size(), wait) < 0 && errno != EINTR) break;
            if (polled[0].revents & POLLIN) {
                uint64_t count;
                ssize_t ignored = ::read(wake_fd, &count, sizeof count);
                (void)ignored;
            }

            now = Clock::now();
            size_t buffered = 0;
            for (const auto &connection : open) buffered += connection->buffer.size();
            std::vector<std::unique_ptr<Connection>> kept;
            for (size_t i = 0; i < open.size(); ++i) {
                std::unique_ptr<Connection> &connection = open[i];
                if (connection->closing) {
                    ssize_t n = polled[i + 1].revents ? ::recv(connection->fd, chunk.data(), chunk.size(), MSG_DONTWAIT) : -1;
                    if (n > 0) connection->dropped += static_cast<size_t>(n);
                    bool gone = n == 0 || (n < 0 && polled[i + 1].revents && errno != EAGAIN && errno != EINTR);
                    if (gone || connection->dropped > kLingerBytes || now >= connection->deadline) {
                        ::close(connection->fd);
                    } else {
                        kept.push_back(std::move(connection));
                    }
                    continue;
                }
                if (polled[i + 1].revents) {
                    ssize_t n = ::recv(connection->fd, chunk.data(), chunk.size(), MSG_DONTWAIT);
                    if (n > 0 && buffered + static_cast<size_t>(n) > limits.max_buffered_bytes) {
                        refuse(*connection, 503, "the server is receiving too much at once; try again shortly");
                        kept.push_back(std::move(connection));
                        continue;
                    }
                    if (n > 0) {
                        buffered += static_cast<size_t>(n);
                        connection->buffer.append(chunk.data(), static_cast<size_t>(n));
                        if (!examine(connection, now)) continue;
                    } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                        close_socket(connection->fd);
                        continue;
                    }
                }
                if (now >= connection->deadline && !connection->closing) {
                    // A connection that never began a request just closes.
                    if (!connection->started) {
                        close_socket(connection->fd);
                        continue;
                    }
                    refuse(*connection, 408, "the request did not arrive in time");
                }
                kept.push_back(std::move(connection));
            }
            open.swap(kept);
        }
        for (auto &connection : open) close_socket(connection->fd);
        {
            std::lock_guard<std::mutex> lock(mutex);
            reader_done = true;
        }
        work_cv.notify_all();
    }

    void answer_requests() {
        for (;;) {
            std::unique_ptr<Connection> connection;
            {
                std::unique_lock<std::mutex> lock(mutex);
                work_cv.wait(lock, [&] { return reader_done || aborting || !complete.empty(); });
                if (complete.empty()) return;
                connection = std::move(complete.front());
                complete.pop_front();
                if (aborting) {
                    close_socket(connection->fd);
                    continue;
                }
                ++answering;
            }
            Connection &c = *connection;
            bool last = c.served + 1 >= limits.max_requests_per_connection;
            {
                std::lock_guard<std::mutex> lock(mutex);
                last = last || draining;
            }
            BufferedStream stream(c.fd, c.buffer.data(), c.request_length, limits.write_timeout);
            bool closed = false;
            t_answering_fd = c.fd;
            bool ok = server->process_request(stream, last, closed, nullptr);
            t_answering_fd = -1;
            {
                std::lock_guard<std::mutex> lock(mutex);
                --answering;
            }
            c.buffer.erase(0, c.request_length);
            ++c.served;
            if (!ok || closed || last) {
                close_socket(c.fd);
            } else {
                hand_to_reader(std::move(connection), true);
            }
        }
    }

    void take(int fd) {
        int flags = ::fcntl(fd, F_GETFL);
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        int yes = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        hand_to_reader(std::move(connection), false);
    }

    // Takes every connection waiting on the (non-blocking) socket; false when
    // the socket itself has failed. Another process sharing the socket may
    // take a connection first: then there is none here.
    bool accept_waiting() {
        for (;;) {
            int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                take(fd);
                continue;
            }
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors or memory: connections wait until some close.
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                return true;
            }
            return false;
        }
    }

    // Accepts until stop(). Then it takes what the kernel completed
    // meanwhile before it closes the socket: closing resets those, after
    // their client (a balancer) has sent its request and can no longer try
    // another server. A connection arriving after that is refused.
    bool accept_connections() {
        bool ok = true;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (draining) break;
            }
            pollfd polled[2] = {{listen_fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
            if (::poll(polled, 2, -1) < 0) {
                if (errno == EINTR) continue;
                ok = false;
                break;
            }
            if ((polled[0].revents & (POLLIN | POLLERR | POLLHUP)) && !accept_waiting()) {
                ok = false;
                break;
            }
        }
        if (ok) ok = accept_waiting();
        ::close(listen_fd);
        listen_fd = -1;
        return ok;
    }
};

HttpServer::HttpServer(const ConnectionLimits &limits, RefusalBody refusal_body) : impl_(new Impl) {
    impl_->server = this;
    impl_->limits = limits;
    impl_->refusal_body = std::move(refusal_body);
    impl_->wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    impl_->stop_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    // Only for the Keep-Alive header httplib writes: the limits are kept here.
    set_keep_alive_max_count(limits.max_requests_per_connection);
    set_keep_alive_timeout(std::max<time_t>(1, static_cast<time_t>(limits.idle_timeout.count() / 1000)));
}

HttpServer::~HttpServer() {
    if (impl_->wake_fd >= 0) ::close(impl_->wake_fd);
    if (impl_->stop_fd >= 0) ::close(impl_->stop_fd);
    if (impl_->listen_fd >= 0) ::close(impl_->listen_fd);
}

int HttpServer::bind(const std::string &host, int port, std::string *error) {
    int bound = -1;
    int fd = listen_on(host, port, &bound, error);
    if (fd < 0) return -1;
    adopt(fd);
    return bound;
}

// httplib streams an answer for as long as svr_sock_ holds a socket (its
// accepting loop, unused here, clears it to stop): it keeps the listening
// socket's number from adopt() to abort(), closed or not.
void HttpServer::adopt(int listen_fd) {
    impl_->listen_fd = listen_fd;
    svr_sock_ = listen_fd;
}

void HttpServer::stop() {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->draining = true;
    }
    uint64_t one = 1;
    ssize_t ignored = ::write(impl_->stop_fd, &one, sizeof one);
    (void)ignored;
    impl_->wake();
}

void HttpServer::abort() {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->aborting = true;
    }
    svr_sock_ = INVALID_SOCKET;  // answers being streamed end
    impl_->wake();
    impl_->work_cv.notify_all();
}

size_t HttpServer::answering() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->answering;
}

bool client_has_left() {
    if (t_answering_fd < 0) return false;
    pollfd p{t_answering_fd, POLLIN | POLLRDHUP, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    if (p.revents & (POLLERR | POLLHUP | POLLRDHUP)) return true;
    // Readable: the next pipelined request, or the end of the stream.
    char byte;
    return ::recv(t_answering_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

bool HttpServer::serve() {
    impl_->reader = std::thread([this] { impl_->read_connections(); });
    for (size_t i = 0; i < std::max<size_t>(1, impl_->limits.workers); ++i)
        impl_->workers.emplace_back([this] { impl_->answer_requests(); });
    bool ok = impl_->listen_fd >= 0 && impl_->accept_connections();
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->draining = impl_->listener_closed = true;
    }
    impl_->wake();
    if (impl_->reader.joinable()) impl_->reader.join();
    for (std::thread &worker : impl_->workers) worker.join();
    impl_->workers.clear();
    for (auto &connection : impl_->arriving) close_socket(connection->fd);
    impl_->arriving.clear();
    return ok;
}

}  // namespace orvel_server
