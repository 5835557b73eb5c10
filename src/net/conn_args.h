// The record handed from the accept thread to a connection thread. It is the
// one heap record of a connection and doubles as its entry in the registry of
// live connections, so that stop can reach every connection's sockets.
#pragma once

#include <atomic>

#include "platform/socket.h"

struct ConnArgs {
    // Guarded by the registry lock: stop shuts these down, so they are closed
    // only through the registry (a closed descriptor number may be reused).
    plat::Socket sock = plat::kNoSocket;          // the client
    plat::Socket backend_sock = plat::kNoSocket;  // once the backend socket exists

    char client_ip[64] = "";
    int tls = 0;
    unsigned generation = 0;             // the start this connection belongs to
    std::atomic<bool> relaying{false};   // set when the two-way relay begins

    ConnArgs* prev = nullptr;            // registry links, under its lock
    ConnArgs* next = nullptr;
};
