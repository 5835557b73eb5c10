// The Host header lookup, shared by the data path and the redirect listener.
#pragma once

constexpr int kHostCapacity = 256;

// Finds the first Host line of the NUL-terminated head and copies its value
// (blanks after the colon skipped, trailing blanks kept, at most 255 bytes)
// into out. out is the empty text when there is no Host line before the
// empty line, or when the value is not followed by CRLF.
void header_get(const char* head, char out[kHostCapacity]);
