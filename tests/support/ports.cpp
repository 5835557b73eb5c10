#include "support/ports.h"

#include "support/process.h"
#include "support/sockets.h"

namespace ports {

// No SO_REUSEADDR: a listener of our own on the port must make any other
// bind to it fail, whatever options that other socket sets.
HeldPort::HeldPort(int port) : sock_(sockets::tcp_socket()) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t len = sizeof a;
    if (!sock_.valid() || bind(sock_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(sock_.get(), 4) != 0 ||
        getsockname(sock_.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        sock_.reset();
        return;
    }
    port_ = ntohs(a.sin_port);
}

int open_descriptor_count() { return process::descriptor_count(); }

bool sees_accepts() { return process::sees_accepts(); }

}  // namespace ports
