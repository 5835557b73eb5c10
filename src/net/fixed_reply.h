// The proxy's own ends of a connection: the two 502 responses, and the
// orderly close after the last response.
#pragma once

#include <span>
#include <string_view>

#include "net/client_conn.h"

// How long a connection stays to take the client's unread input after its
// output ended. Closing a socket that holds unread input makes the kernel
// answer with a reset, which can destroy the end of the last response before
// the client has read it (RFC 9112 9.6: an upload to a route that cannot be
// served, a pipelined request after a "Connection: close").
constexpr int kLingerMs = 1000;

// Reads and throws away whatever the client still sends until it closes,
// kLingerMs passed or the connection was woken. `scratch` takes the input.
void discard_client_input(ClientConn& conn, std::span<char> scratch);

// Ends the output in order (over TLS a close-notify first, then the end of
// the stream), then discard_client_input.
void linger_close(ClientConn& conn, std::span<char> scratch);

// Sends `reply`, then linger_close.
void send_fixed_reply(ClientConn& conn, std::string_view reply, std::span<char> scratch);
