// The requests of one client connection, one after another: each head read,
// routed and rewritten as its own, each body counted through to the backend
// of its route, until the connection ends.
#pragma once

#include "net/backend.h"
#include "net/client_conn.h"
#include "net/conn_args.h"
#include "net/exchange.h"
#include "net/h1_reader.h"
#include "net/head_rewrite.h"
#include "net/request_head.h"

// The connection thread's state across the requests of one connection. The
// head buffer holds what was read from the client and not yet forwarded:
// the head being read, or body bytes and pipelined requests behind it.
struct RequestLoop {
    ClientConn& conn;
    ConnArgs& args;
    char out[kOutCapacity];   // the rewritten head
    char in[kHeadCapacity];   // the head buffer, NUL after its `filled` bytes
    size_t filled = 0;
    size_t parsed = 0;        // of them, taken by the reader
    H1Reader reader = h1_reader(H1Kind::kRequest);
    RequestHead req{};
    Exchange x;
    Backend backend;

    RequestLoop(ClientConn& c, ConnArgs& a) : conn(c), args(a) {}
};

// Serves requests until the connection ends; the backend connection is
// closed on return, the client is left to the caller.
void serve_requests(RequestLoop& q);
