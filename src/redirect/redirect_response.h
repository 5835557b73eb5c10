// Formatting the 301 response of the redirect listener.
#pragma once

#include <cstddef>

#include "redirect/redirect_request.h"

// The main port for which the Location carries no port.
constexpr int kHttpsDefaultPort = 443;

// Room for the longest response: the fixed text, an 11-character port, and a
// host of 255 and a target of 2047 bytes with every byte percent-encoded
// (3 bytes each). Checked against the formats in redirect_response.cpp.
constexpr size_t kRedirectResponseCapacity = 7168;

// Copies the NUL-terminated text into out (cap bytes), writing every byte
// below 0x20, and 0x7F, as '%' and two upper-case hex digits and every other
// byte as it is. Stops before a byte that would not fit with the closing NUL.
// Returns the length written. cap >= 3 * strlen(text) + 1 always suffices.
size_t percent_encode_controls(const char* text, char* out, size_t cap);

// Formats the 301 into out (kRedirectResponseCapacity bytes) and returns its
// length. An empty host becomes "localhost" and an empty target "/". The
// Location names the port unless listen_port is 443. Control bytes of the
// host and target are percent-encoded, so a request cannot add header lines
// to the response; all other bytes go in as received.
size_t redirect_format(const RedirectTexts& texts, int listen_port, char* out);
