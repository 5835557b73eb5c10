// Shared by the two reader targets: reads a stream whole and in pieces whose
// sizes the input itself chooses, and stops the run when the two readings
// differ or a reader breaks its own contract.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "net/h1_reader.h"

namespace fuzz {

// Events as "H<offset> M<offset> E<offset>", and what the close gives.
inline std::string read_stream(H1Kind kind, std::string_view s, uint8_t expect,
                               std::string_view piece_sizes) {
    H1Reader r = h1_reader(kind);
    std::string trace;
    size_t pos = 0;
    size_t k = 0;
    while (pos < s.size()) {
        size_t piece = piece_sizes.empty() ? s.size()
                                           : 1 + static_cast<uint8_t>(piece_sizes[k++ % piece_sizes.size()]);
        size_t end = pos + piece < s.size() ? pos + piece : s.size();
        for (;;) {
            if (kind == H1Kind::kResponse && h1_between(r)) h1_expect_response(r, expect);
            size_t used = 0;
            H1Event ev = h1_read(r, s.data() + pos, end - pos, used);
            if (used > end - pos) abort();
            pos += used;
            if (ev == H1Event::kMore) {
                if (pos != end) abort();  // kMore takes every byte
                break;
            }
            if (ev == H1Event::kError) {
                size_t again = 0;
                if (h1_read(r, s.data() + pos, end - pos, again) != H1Event::kError) abort();
                return trace + "E" + std::to_string(pos);
            }
            // A head ends only on its empty line.
            if (ev == H1Event::kHead && (pos < 4 || s.substr(pos - 4, 4) != "\r\n\r\n")) abort();
            trace += (ev == H1Event::kHead ? "H" : "M") + std::to_string(pos) + " ";
        }
    }
    return trace + "C" + std::to_string(static_cast<int>(h1_close(r)));
}

inline void check_stream(H1Kind kind, const uint8_t* data, size_t size) {
    if (size < 2) return;
    const uint8_t expect = data[0] & (kH1ExpectNoBody | kH1ExpectUpgrade);
    const size_t split = data[1] % (size - 1);
    std::string_view pieces(reinterpret_cast<const char*>(data) + 2, split);
    std::string_view stream(reinterpret_cast<const char*>(data) + 2 + split, size - 2 - split);
    if (read_stream(kind, stream, expect, {}) != read_stream(kind, stream, expect, pieces)) abort();
}

}  // namespace fuzz
