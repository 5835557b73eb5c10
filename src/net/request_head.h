// A complete request head, once the reader has found its end: its target
// and Host value for routing, and the framing facts the reader learnt. Pure
// functions over bytes already read; no socket, no allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "net/h1_reader.h"
#include "net/header_get.h"

constexpr size_t kHeadCapacity = 16384;              // head buffer, NUL included
constexpr size_t kHeadMaxBytes = kHeadCapacity - 1;  // most bytes read for a head
static_assert(kHeadMaxBytes == kRequestHeadMax);
constexpr size_t kTargetCapacity = 2048;

struct RequestHead {
    size_t start;                   // bytes of empty lines before the request line
    size_t head_len;                // bytes from the buffer's start to the end of the head
    uint32_t flags;                 // H1Flag, as the reader learnt them
    char target[kTargetCapacity];   // the path routed on, cut to 2047 bytes
    // The Host value as received, port included; for an absolute-form target
    // its authority. X-Forwarded-Host carries it.
    char host_value[kHostCapacity];
    char host_name[kHostCapacity];  // host_value cut at its first ':'
};

// Examines a head the reader accepted: buf holds `head_len` bytes (the first
// `start` of them empty lines) and a NUL after the head. False when it is
// still malformed: an absolute-form target ("http://a.example/x") that names
// no authority, carries user information, or whose Host line names another
// authority. An absolute-form target is routed by its authority and path.
bool examine_request_head(const char* buf, size_t start, size_t head_len, uint32_t flags,
                          RequestHead& out);

// The bytes of empty lines (CRLF) at the start of buf.
size_t leading_empty_lines(std::string_view buf);
