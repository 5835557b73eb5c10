// The forwarded head: the client's head with its X-Forwarded-For, -Proto and
// -Host lines replaced by the proxy's own. A pure function.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "net/request_head.h"

// The appended block is at most 385 bytes (62 fixed, a 63-byte address, a
// 5-byte scheme and a 255-byte host value), so a head of at most 16383
// bytes always fits.
constexpr size_t kOutCapacity = 16896;
static_assert(kOutCapacity >= kHeadMaxBytes + 385);

// Copies the lines of `head` (from its request line to its "\r\n\r\n") up to
// the empty line into out, leaving out every X-Forwarded-For, -Proto or -Host
// line, whatever its letter case and whether its name is spelt with '-' or
// '_' (CGI, WSGI and PHP fold both into one variable); with `drop_upgrade`
// also the Upgrade and HTTP2-Settings lines. Then appends the three lines for
// client_ip, scheme and host_value ("-" when empty) and the empty line.
// Returns the length written, or 0 when out is too small.
size_t rewrite_head(std::string_view head, bool drop_upgrade, const char* client_ip,
                    const char* scheme, const char* host_value, std::span<char> out);
