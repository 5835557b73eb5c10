// The response reader over arbitrary backend streams, answering a request
// the input's first byte describes (HEAD, an upgrade), whole and in pieces:
// both readings must agree (fuzz/reader_trace.h).
#include "reader_trace.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::check_stream(H1Kind::kResponse, data, size);
    return 0;
}
