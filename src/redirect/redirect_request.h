// Reading a redirect client's request and taking the host and the target
// from it. Nothing here touches a socket: the bytes come through a receive
// function the caller hands in, so the limits can be tested without one.
#pragma once

#include <cstddef>

#include "net/header_get.h"

constexpr size_t kRedirectRequestCapacity = 4096;  // 4095 bytes and a NUL
constexpr int kRedirectMaxReceives = 50;
constexpr size_t kRedirectTargetCapacity = 2048;   // 2047 bytes and a NUL

// One receive of at most len bytes into buf: > 0 bytes received, 0 the
// client closed, < 0 the receive failed or timed out.
using ReceiveFn = long (*)(void* source, char* buf, size_t len);

// Reads a request head into buf (kRedirectRequestCapacity bytes). Reading
// stops at the first of: a receive of 0 or less, "\r\n\r\n" anywhere in the
// text so far (searched as NUL-terminated text, so a NUL byte hides it),
// kRedirectMaxReceives receives, or 4095 bytes. Returns the number of bytes
// received; buf[result] is always NUL.
size_t redirect_read_head(ReceiveFn receive, void* source, char* buf);

// The two texts a redirect is built from, empty when the request gives none.
struct RedirectTexts {
    char host[kHostCapacity];
    char target[kRedirectTargetCapacity];
};

// Fills out from the received text: request holds `received` bytes followed
// by a NUL, and every search stops at the first NUL.
//   host:   the first Host header's value cut at its first ':' (so a port,
//           and everything after the '[' of an IPv6 literal, goes)
//   target: the bytes between the first space of the text and the next
//           space after it, which may lie beyond the request line; at most
//           2047 of them
// Both are empty when nothing was received.
void redirect_parse(const char* request, size_t received, RedirectTexts& out);
