// calloc for the code linked into the shared library (mbedTLS above all),
// routed there by the linker's --wrap=calloc. glibc's calloc takes its arena
// lock on every call, even in a thread whose cache holds a fitting block,
// while malloc serves small blocks from that per-thread cache without a
// lock. A TLS handshake makes thousands of small bignum allocations, so
// malloc plus clearing saves a locked instruction pair on each of them.
#include <cstdlib>
#include <cstring>

namespace {

// Called through a pointer the compiler cannot see through: it would turn
// malloc followed by clearing back into calloc, which is this function.
void* (*volatile const opaque_malloc)(size_t) = malloc;

}  // namespace

extern "C" void* __wrap_calloc(size_t count, size_t size) {
    size_t total;
    if (__builtin_mul_overflow(count, size, &total)) return nullptr;
    void* p = opaque_malloc(total);
    if (p) memset(p, 0, total);
    return p;
}
