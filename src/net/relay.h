// The two-way relay between a client and its backend once the head has been
// forwarded: the connection thread copies client to backend, a relay thread
// copies backend to client.
#pragma once

#include <atomic>
#include <span>

#include "net/client_conn.h"
#include "net/conn_args.h"

constexpr size_t kRelayChunk = 16384;

// The relay thread's argument. It lives on the connection thread's stack:
// the connection thread always waits for `done` before it returns.
struct RelayArgs {
    ClientConn* conn = nullptr;
    ConnArgs* args = nullptr;
    plat::Socket backend_sock = plat::kNoSocket;
    std::span<char> buf;               // the relay thread's own, kRelayChunk bytes
    std::atomic<int> tearing_down{0};  // the connection thread is ending the relay
    std::atomic<int> done{0};          // set by the relay thread as its last use of this record
};

// Relay thread body: backend to client until either side fails or closes.
// How the backend's side ended decides how the client's side ends:
//   end of stream   every byte is delivered, then the client's direction is
//                   closed in order (end of stream, or a TLS close-notify);
//                   the client may go on sending until it closes
//   a failed read   the answer is cut: the client will get a reset, and the
//                   connection thread is woken to close at once
void backend_to_client(void* arg);

// Runs the relay until one side ends, then tears it down. `client_buf`
// carries the client-to-backend direction on the calling thread, `backend_buf`
// the other direction on the relay thread; each holds at least kRelayChunk
// bytes. conn.woken must be &args.woken. Leaves the backend socket open for
// the caller to close; the client socket is left to the connection's end,
// which args.client_end tells.
void relay(ClientConn& conn, ConnArgs& args, plat::Socket backend, std::span<char> client_buf,
           std::span<char> backend_buf);
