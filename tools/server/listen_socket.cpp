#include "listen_socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace orvel_server {

int listen_on(const std::string &host, int port, int *bound_port, std::string *error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    std::string service = std::to_string(port);
    int status = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &found);
    if (status != 0) {
        *error = std::string("not an address of this machine (") + ::gai_strerror(status) + ")";
        return -1;
    }
    std::string last_error = "no address";
    for (addrinfo *a = found; a; a = a->ai_next) {
        int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) {
            last_error = std::strerror(errno);
            continue;
        }
        int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, SOMAXCONN) != 0) {
            last_error = std::strerror(errno);
            ::close(fd);
            continue;
        }
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &length);
        *bound_port = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port)
                                                  : ntohs(reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
        ::freeaddrinfo(found);
        return fd;
    }
    ::freeaddrinfo(found);
    *error = last_error;
    return -1;
}

}  // namespace orvel_server
