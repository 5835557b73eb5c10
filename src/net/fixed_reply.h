// The proxy's own answers that end a connection: the two 502 responses.
#pragma once

#include <span>
#include <string_view>

#include "net/client_conn.h"

// How long a connection stays to take the client's unread input after a
// fixed reply.
constexpr int kReplyLingerMs = 1000;

// Sends `reply`, ends the output in order (over TLS a close-notify first,
// then the end of the stream), and reads and throws away whatever the client
// still sends until it closes, kReplyLingerMs passed or the connection was
// woken. Closing a socket that holds unread input makes the kernel answer
// with a reset, which can destroy the reply before the client has read it
// (an upload to a route that cannot be served). `scratch` takes the input.
void send_fixed_reply(ClientConn& conn, std::string_view reply, std::span<char> scratch);
