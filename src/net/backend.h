// Forwarding a routed request: the timed backend connect, the rewritten head,
// the early body bytes and the relay.
#pragma once

#include <string_view>

#include "net/client_conn.h"
#include "net/conn_args.h"
#include "net/request_head.h"
#include "state.h"

// Connects to route's backend within 5 s and counts a hit, or counts an
// error and answers with the "backend connection failed" 502. Then sends the
// rewritten head and the early body bytes (those of bytes_read after the
// head) and relays both directions until one side ends. The backend socket
// is closed on return; the client is left to the caller.
void forward_to_backend(ClientConn& conn, ConnArgs& args, Route& route,
                        std::string_view bytes_read, const RequestHead& req);
