// Forwarding a routed request: the timed backend connect, the rewritten head,
// the early body bytes and the relay.
#pragma once

#include <span>

#include "net/client_conn.h"
#include "net/conn_args.h"
#include "net/head_rewrite.h"
#include "net/request_head.h"
#include "state.h"

// The connection thread's two buffers. Out comes first (lowest address) on
// purpose: the frames of the relay sit right below it, so the start of out,
// where every write to it begins, shares their stack pages.
struct ConnBuffers {
    char out[kOutCapacity];    // the rewritten head, then client to backend
    char head[kHeadCapacity];  // the head as read, then backend to client
};

// Connects to route's backend within 5 s and counts a hit, or counts an
// error and answers with the "backend connection failed" 502. Then sends the
// rewritten head and the early body bytes (those of the `filled` bytes read
// into bufs.head after the head) and relays both directions until one side
// ends. Once sent, bufs.head is the relay thread's buffer: an idle
// connection then keeps one buffer page fewer resident.
// The backend socket is closed on return; the client is left to the caller.
void forward_to_backend(ClientConn& conn, ConnArgs& args, Route& route, ConnBuffers& bufs,
                        size_t filled, const RequestHead& req);
