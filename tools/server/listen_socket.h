// The listening sockets of orvel-server (HTTP and Wyoming): bound once, by the
// process that starts, and shared by its workers.
#ifndef ORVEL_SERVER_LISTEN_SOCKET_H
#define ORVEL_SERVER_LISTEN_SOCKET_H

#include <string>

namespace orvel_server {

// A non-blocking socket listening on host:port (port 0: any free one), with
// SO_REUSEADDR but never SO_REUSEPORT: a port another server holds is refused
// ("Address already in use"), however that server was started. Returns the
// socket and sets *bound_port, or returns -1 with one message in *error.
int listen_on(const std::string &host, int port, int *bound_port, std::string *error);

}  // namespace orvel_server

#endif
