// The record handed from the accept thread to a connection thread. It is the
// one heap record of a connection and doubles as its entry in the registry of
// live connections, so that stop can reach every connection's sockets.
#pragma once

#include <atomic>

#include "platform/socket.h"

enum HeadWait : int {
    kHeadBusy,     // a request or response is under way
    kHeadWaiting,  // waiting for the next head, nothing under way: stop may end it
    kHeadTaken,    // stop took it: the connection ends without serving more
};

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
    long long accepted_at = 0;           // on plat::monotonic_ms
    // Whether the connection waits for a request head with nothing under way
    // (HeadWait). Whoever moves it out of kHeadWaiting decides: the
    // connection thread goes on to serve, or stop ends the connection at once.
    std::atomic<int> head_wait{kHeadWaiting};

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

// The connection thread, once a head is in: false when stop took the
// connection first, and it is then to end without being served.
inline bool claim_head(ConnArgs& c) { return c.head_wait.exchange(kHeadBusy) != kHeadTaken; }

// Stop: takes a connection that waits for a head with nothing under way.
inline bool take_waiting(ConnArgs& c) {
    int waiting = kHeadWaiting;
    return c.head_wait.compare_exchange_strong(waiting, kHeadTaken);
}

// Marks the connection as waiting for a head with nothing under way. False
// when stop is under way and took it: the caller ends the connection.
bool arm_head_wait(ConnArgs& c);

// Takes back an arm_head_wait whose head came in meanwhile (unless stop
// took the connection first).
inline void disarm_head_wait(ConnArgs& c) {
    int waiting = kHeadWaiting;
    c.head_wait.compare_exchange_strong(waiting, kHeadBusy);
}

// Moves the connection from kEndOpen to `how`; false when it had already left
// kEndOpen (the first decision stands).
inline bool decide_client_end(ConnArgs& c, ClientEnd how) {
    int open = kEndOpen;
    return c.client_end.compare_exchange_strong(open, how);
}
