// A connection's current backend connection: the timed connect, counted as a
// hit or an error, and the relay thread that carries its responses back.
#pragma once

#include <span>

#include "net/client_conn.h"
#include "net/conn_args.h"
#include "net/exchange.h"
#include "net/relay.h"
#include "state.h"

struct Backend {
    int route = -1;  // index of the route it was made for; -1: none open
    plat::Socket sock = plat::kNoSocket;
    plat::SendSlot slot;  // with an idle limit: sends handed over (timed_io.h)
    RelayArgs relay;
};

// Sends all n bytes to the open backend connection, within the idle limit
// when one is set. False when the send failed or the limit was up.
bool backend_send(Backend& b, Exchange& x, const char* p, size_t n);

enum class BackendOpen {
    kOpen,     // connected, the hit counted, the relay running
    kFailed,   // the error counted and the "backend connection failed" 502 sent
    kDropped,  // stop is under way, or no relay thread could start: end quietly
};

// Connects to the backend of routes[route] within 5 s and starts its relay.
// `x` starts afresh: nothing is outstanding on a new backend connection.
// `scratch` takes the client's input while the 502 lingers.
BackendOpen backend_open(Backend& b, ClientConn& conn, ConnArgs& args, Exchange& x,
                         int route, std::span<char> scratch);

// Tears the relay down (its thread has ended when this returns) and closes
// the backend socket. Nothing when no backend connection is open.
void backend_close(Backend& b, ClientConn& conn, ConnArgs& args);
