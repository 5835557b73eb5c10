// The relay thread: copies one backend connection's responses to the client,
// reading each one's framing as it passes, and tells the connection thread
// as they complete. After a 101 it copies the tunnel as it comes.
#pragma once

#include <atomic>
#include <cstddef>

#include "net/client_conn.h"
#include "net/conn_args.h"
#include "net/exchange.h"

constexpr size_t kRelayChunk = 16384;

// The relay thread's argument, one per backend connection. It lives with
// the connection thread, which always waits for `done` before it lets go.
struct RelayArgs {
    ClientConn* conn = nullptr;
    ConnArgs* args = nullptr;
    Exchange* x = nullptr;
    plat::Socket backend_sock = plat::kNoSocket;
    std::atomic<int> tearing_down{0};  // the connection thread is ending the relay
    std::atomic<int> done{0};          // set by the relay thread as its last use of this record
};

// Relay thread body, until the backend's side ends or the connection thread
// tears it down. How it ends decides how the client's side ends:
//   the backend's end of stream, or a final response that came before its
//     request's whole body: every byte is delivered, then the client's
//     direction is closed in order (end of stream, or a TLS close-notify)
//     and the connection lingers a moment for the client's last bytes
//   a failed read, a response whose framing is broken or bytes that answer
//     no request: the answer is cut, and the client gets a reset
// Either way it sets kXRelayEnded, and wakes the connection thread.
void backend_to_client(void* arg);
