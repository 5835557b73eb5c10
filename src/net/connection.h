// One client connection, from its thread's start to its close.
#pragma once

#include "net/client_conn.h"
#include "net/conn_args.h"

// Thread body. arg is the heap ConnArgs, already in the registry; the thread
// owns it, removes it from the registry and frees it as its last step.
void connection_handler(void* arg);

// Serves the connection's requests one after another, each routed on its
// own, until the connection ends. Returns when it is finished with; the TLS
// session and the client socket are left to connection_handler.
void handle_connection_inner(ClientConn& conn, ConnArgs& args);
