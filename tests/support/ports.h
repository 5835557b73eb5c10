// Ports and descriptors for service-level tests. Free ports and client
// connections come from support/loopback.h; these are the extras.
#pragma once

#include "support/loopback.h"

namespace ports {

// A listening socket on 127.0.0.1 that keeps a port taken for as long as it
// lives. port 0 takes any free port.
class HeldPort {
public:
    explicit HeldPort(int port = 0);
    bool held() const { return sock_.valid(); }
    int port() const { return port_; }

private:
    loopback::Fd sock_;
    int port_ = 0;
};

// Open descriptors of this process, counted in /proc/self/fd (Linux only:
// always 0 on Windows).
int open_descriptor_count();
// True where an accept inside the library shows in open_descriptor_count()
// as one more descriptor (Linux). On Windows the library accepts into a
// socket it made before the client came (AcceptEx). Tests that watch the
// count to see an accept happen skip elsewhere.
bool sees_accepts();

}  // namespace ports
