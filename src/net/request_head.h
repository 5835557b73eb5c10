// The first request head of a connection: where it ends, its target and its
// Host value. Pure functions over bytes already read; no socket, no allocation.
#pragma once

#include <cstddef>
#include <string_view>

#include "net/header_get.h"

constexpr size_t kHeadCapacity = 16384;              // head buffer, NUL included
constexpr size_t kHeadMaxBytes = kHeadCapacity - 1;  // most bytes read for a head
constexpr size_t kTargetCapacity = 2048;
constexpr size_t kMethodMax = 15;

enum class HeadStatus {
    kIncomplete,  // no "\r\n\r\n" yet: read more, unless the buffer is full
    kMalformed,   // close the connection without a response
    kComplete,    // `out` is filled
};

struct RequestHead {
    size_t head_len;                // bytes up to and including the first "\r\n\r\n"
    char target[kTargetCapacity];   // request target, cut to 2047 bytes for routing
    char host_value[kHostCapacity]; // Host value as received, port included
    char host_name[kHostCapacity];  // host_value cut at its first ':'
};

// Examines the NUL-terminated bytes read so far (a NUL the client sent ends
// the text, so it hides anything after it).
//   kIncomplete  no end-of-head marker before the NUL
//   kMalformed   a bare CR or LF in the head, no space in the buffer, a method
//                longer than 15 bytes, or no space after the target
//   kComplete    head_len, target, host_value and host_name are set
// The target runs to the next space anywhere in the buffer, across line ends
// and into early body bytes, as routing has always taken it.
HeadStatus parse_request_head(const char* buf, RequestHead& out);

// True when `head` holds a CR not followed by LF or an LF not preceded by CR.
// Such a line break would let a client smuggle a header line past the
// X-Forwarded rewrite to a backend that accepts a bare LF as a line end.
bool has_bare_line_break(std::string_view head);
