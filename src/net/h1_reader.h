// The framing of HTTP/1.1 messages, read as the bytes stream past: where a
// head ends, where a body ends, and the few things a head says that matter to
// a proxy. One reader per direction of a connection; requests and responses
// share it. It touches no socket, allocates nothing and copies nothing: body
// bytes are counted through.
//
// It is strict where RFC 9112 lets a recipient repair a message, because a
// proxy that reads a message unlike the server behind it lets requests be
// smuggled past it (RFC 9112 11.2): every line ends in CRLF, field names are
// tokens with the colon right after them, no field is folded, and a framing
// header that could be read two ways is an error.
#pragma once

#include <cstddef>
#include <cstdint>

// Most bytes of a request head, leading empty lines included (the head
// buffer's size less its NUL).
constexpr uint32_t kRequestHeadMax = 16383;
// Most bytes of a response head. The head is passed on as it streams, so
// this bounds nothing but the wait for its end; generous for large cookies.
constexpr uint32_t kResponseHeadMax = 65536;
// Most bytes of a chunk-size line, extensions included.
constexpr uint32_t kChunkLineMax = 4096;
// Most hexadecimal digits of a chunk size: never a value beyond 2^52.
constexpr uint32_t kChunkDigitsMax = 13;

// What a head says, learnt as it is read (H1Reader::flags).
enum H1Flag : uint32_t {
    kH1Http10 = 1u << 0,          // the start line says HTTP/1.0
    kH1MethodHead = 1u << 1,      // request method HEAD (compared case-sensitively)
    kH1MethodConnect = 1u << 2,   // request method CONNECT
    kH1Host = 1u << 3,            // a Host line
    kH1ContentLength = 1u << 4,   // a Content-Length line
    kH1TransferEncoding = 1u << 5,
    kH1Chunked = 1u << 6,         // the body is chunked
    kH1ConnClose = 1u << 7,       // Connection names close
    kH1ConnKeepAlive = 1u << 8,   // Connection names keep-alive
    kH1Upgrade = 1u << 9,         // an Upgrade line (requests)
    kH1UpgradeH2c = 1u << 10,     // ... that names h2c
    kH1NoBody = 1u << 11,         // the message has no body at all
    kH1UntilClose = 1u << 12,     // the body runs until the sender closes
};

// What the request a response answers allows (h1_expect_response).
enum H1Expect : uint8_t {
    kH1ExpectAny = 0,
    kH1ExpectNoBody = 1u << 0,   // the request was HEAD: no body, whatever the head says
    kH1ExpectUpgrade = 1u << 1,  // the request asked for an upgrade: a 101 may come
};

enum class H1Event : uint8_t {
    kMore,     // every byte given was taken; the message goes on
    kHead,     // the head ended with the last byte taken: flags, status set
    kMessage,  // the message ended with the last byte taken
    kError,    // the byte after the last one taken breaks the framing
};

enum class H1Kind : uint8_t { kRequest, kResponse };

struct H1Reader {
    H1Kind kind;
    uint8_t state;      // internal
    uint8_t field;      // the field whose value is being read
    uint8_t expect;     // H1Expect of the response under way
    uint32_t flags;     // H1Flag, reset as each message begins
    uint32_t count;     // bytes of the head, or of the current chunk or trailer line
    uint16_t status;    // response status code
    uint8_t part;       // position inside the start line's current part
    uint8_t token;      // position inside the current name or list element
    uint8_t matches;    // candidates the current name or element still matches
    uint8_t token_ws;   // blanks ended the element: only ',' may follow
    uint8_t list;       // what the value's elements were (internal)
    uint64_t left;      // body or chunk bytes left; the Content-Length as it is read
};

H1Reader h1_reader(H1Kind kind);

// Reads up to n bytes of the stream at p, stopping after the first event.
// `used` gets the bytes taken. A reader that returned kError stays in error.
//   kMore     all n taken, nothing ended
//   kHead     the head ended; the body, if any, follows (kMessage next, right
//             away when there is none: call again, with no bytes if need be)
//   kMessage  the message ended; the next one begins with the next byte
//   kError    the byte at p[used] cannot belong to a valid message
H1Event h1_read(H1Reader& r, const char* p, size_t n, size_t& used);

// True when the reader stands between messages: no byte of the next one yet.
bool h1_between(const H1Reader& r);
// True once a response head said 101 and everything after it is a tunnel.
bool h1_tunnel(const H1Reader& r);
// Before the first byte of each response: what its request allows.
void h1_expect_response(H1Reader& r, uint8_t expect);
// The sender closed. kMessage when that ends the message under way (a body
// that runs until the close, or a tunnel); kMore between messages; kError in
// the middle of one.
H1Event h1_close(H1Reader& r);
