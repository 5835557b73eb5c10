// The readiness wait with the start of its zero-byte receive given by the
// caller, so that a test can make the start fail as Windows may let it.
#pragma once

#include "platform/socket.h"

namespace plat {

// Starts the receive into the OVERLAPPED given: 0 when it is under way or
// done, else the Winsock error.
using ProbeStart = int (*)(Socket s, void* overlapped);

// wait_readable, with its receive started by `start`.
Wait wait_readable_probed_by(ProbeStart start, Socket s, int timeout_ms, const Wake* woken);

}  // namespace plat
