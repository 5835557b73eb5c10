// The request reader over arbitrary client streams, whole and in pieces the
// input chooses: both readings must agree, and the reader must keep its
// contract (fuzz/reader_trace.h).
#include "reader_trace.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::check_stream(H1Kind::kRequest, data, size);
    return 0;
}
