// The record handed from the accept thread to a connection thread. It is the
// one heap record of a connection and doubles as its entry in the registry of
// live connections, so that stop can reach every connection's sockets.
#pragma once

#include <atomic>

#include "platform/socket.h"

// How the client's side of a connection ends. It leaves kOpen at most once.
enum ClientEnd : int {
    kEndOpen,      // nothing decided: the connection closes in order
    kEndAnswered,  // the backend's answer ended cleanly and the client was told
                   // (end of stream or close-notify); the close stays orderly
    kEndCut,       // the answer was cut (backend failure, stop, a client that
                   // never read): the client gets a reset and no close-notify
};

struct ConnArgs {
    // Guarded by the registry lock: stop shuts these down, so they are closed
    // only through the registry (a closed descriptor number may be reused).
    plat::Socket sock = plat::kNoSocket;          // the client
    plat::Socket backend_sock = plat::kNoSocket;  // once the backend socket exists

    char client_ip[64] = "";
    int tls = 0;
    unsigned generation = 0;             // the start this connection belongs to
    // When the TLS handshake and the whole request head must have arrived,
    // on plat::monotonic_ms; -1 for no limit.
    long long head_deadline = -1;
    // True until the head is in. Whoever clears it decides: the connection
    // thread goes on to serve, or stop ends the connection at once
    // (claim_head).
    std::atomic<bool> awaiting_head{true};

    std::atomic<int> client_end{kEndOpen};
    // Set by plat::socket_wake on the client socket: every wait on the client
    // gives up, so the connection thread and its relay thread come to an end.
    plat::Wake woken;

    ConnArgs* prev = nullptr;            // registry links, under its lock
    ConnArgs* next = nullptr;
    // Links among the connections whose address falls in the same bucket,
    // kept only while a per-client cap is set; under the registry lock.
    int client_bucket = -1;
    ConnArgs* peer_prev = nullptr;
    ConnArgs* peer_next = nullptr;
};

// Takes the connection past its head; false when stop took it first, and
// the connection is then to end without being served.
inline bool claim_head(ConnArgs& c) { return c.awaiting_head.exchange(false); }

// Moves the connection from kEndOpen to `how`; false when it had already left
// kEndOpen (the first decision stands).
inline bool decide_client_end(ConnArgs& c, ClientEnd how) {
    int open = kEndOpen;
    return c.client_end.compare_exchange_strong(open, how);
}
