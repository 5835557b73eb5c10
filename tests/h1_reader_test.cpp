// The HTTP/1 message reader of both directions: where heads and bodies end,
// what a head says, and what is refused. Every case runs whole, split in two
// at every byte and byte by byte, and must read the same each time.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/h1_reader.h"

namespace {

std::string flag_names(uint32_t f) {
    static const std::pair<uint32_t, const char*> kNames[] = {
        {kH1Http10, "1.0"},        {kH1MethodHead, "HEAD"},     {kH1MethodConnect, "CONNECT"},
        {kH1Chunked, "chunked"},   {kH1ConnClose, "close"},     {kH1ConnKeepAlive, "keep-alive"},
        {kH1Upgrade, "upgrade"},   {kH1UpgradeH2c, "h2c"},      {kH1NoBody, "no-body"},
        {kH1UntilClose, "until-close"}};
    std::string out;
    for (const auto& [bit, name] : kNames) {
        if (f & bit) out += (out.empty() ? "" : ",") + std::string(name);
    }
    return out;
}

// Feeds `stream` in the pieces that `cuts` mark and writes down every event
// at its offset: "head@N{flags}", "message@N", "error@N", and at the end
// "close:message", "close:error" or nothing.
std::string read_in_pieces(H1Kind kind, const std::string& stream, uint8_t expect,
                           const std::vector<size_t>& cuts) {
    H1Reader r = h1_reader(kind);
    std::string trace;
    size_t begin = 0;
    for (size_t ci = 0; ci <= cuts.size(); ++ci) {
        const size_t end = ci < cuts.size() ? cuts[ci] : stream.size();
        size_t pos = begin;
        for (;;) {
            if (kind == H1Kind::kResponse && h1_between(r)) h1_expect_response(r, expect);
            size_t used = 0;
            H1Event ev = h1_read(r, stream.data() + pos, end - pos, used);
            EXPECT_LE(used, end - pos);
            pos += used;
            if (ev == H1Event::kMore) break;
            if (ev == H1Event::kHead) {
                trace += "head@" + std::to_string(pos) + "{" + flag_names(r.flags) + "} ";
            } else if (ev == H1Event::kMessage) {
                trace += "message@" + std::to_string(pos) + " ";
            } else {
                return trace + "error@" + std::to_string(pos);
            }
        }
        begin = end;
    }
    switch (h1_close(r)) {
    case H1Event::kMessage: return trace + "close:message";
    case H1Event::kError: return trace + "close:error";
    default: return trace.empty() ? trace : trace.substr(0, trace.size() - 1);
    }
}

struct Case {
    const char* name;
    std::string stream;
    std::string expected;
    uint8_t expect = kH1ExpectAny;  // responses: what their request allows
};

void run_table(H1Kind kind, const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string whole = read_in_pieces(kind, c.stream, c.expect, {});
        EXPECT_EQ(whole, c.expected);
        std::vector<size_t> every;
        for (size_t i = 1; i < c.stream.size(); ++i) every.push_back(i);
        EXPECT_EQ(read_in_pieces(kind, c.stream, c.expect, every), whole) << "byte by byte";
        if (c.stream.size() > 4096) continue;
        for (size_t i = 1; i < c.stream.size(); ++i) {
            ASSERT_EQ(read_in_pieces(kind, c.stream, c.expect, {i}), whole) << "split at " << i;
        }
    }
}

const std::string kGet = "GET / HTTP/1.1\r\nHost: a\r\n\r\n";  // 27 bytes

TEST(H1Reader, Requests) {
    const std::string te = "POST /u HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";  // 48
    run_table(H1Kind::kRequest, {
        {"a GET", kGet, "head@27{no-body} message@27"},
        {"empty lines before the request line", "\r\n\r\n" + kGet, "head@31{no-body} message@31"},
        {"two in a row", kGet + kGet, "head@27{no-body} message@27 head@54{no-body} message@54"},
        {"a Content-Length body, then the next",
         "PUT /x HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc" + kGet,
         "head@38{} message@41 head@68{no-body} message@68"},
        {"Content-Length 0", "PUT / HTTP/1.1\r\nContent-Length: 0\r\n\r\n", "head@37{no-body} message@37"},
        {"chunked with an extension and a trailer",
         te + "3;x=\"y\"\r\nabc\r\n0\r\nT: v\r\n\r\n", "head@48{chunked} message@73"},
        {"chunked in any case, blanks after the size",
         "POST / HTTP/1.1\r\ntransfer-encoding:  CHUNKED \r\n\r\na \r\n0123456789\r\n0\r\n\r\n",
         "head@49{chunked} message@70"},
        {"methods and connection options",
         "HEAD / HTTP/1.0\r\nConnection: Keep-Alive, x\r\n\r\n"
         "CONNECT a:443 HTTP/1.1\r\nconnection: CLOSE\r\n\r\n",
         "head@46{1.0,HEAD,keep-alive,no-body} message@46 "
         "head@91{CONNECT,close,no-body} message@91"},
        {"methods are case-sensitive", "head / HTTP/1.1\r\n\r\n", "head@19{no-body} message@19"},
        {"upgrades", "GET / HTTP/1.1\r\nUpgrade: websocket\r\n\r\n"
                     "GET / HTTP/1.1\r\nUpgrade: foo, H2C/1\r\n\r\n",
         "head@38{upgrade,no-body} message@38 head@77{upgrade,h2c,no-body} message@77"},
        {"largest head", "GET / HTTP/1.1\r\nA: " + std::string(16383 - 23, 'a') + "\r\n\r\n",
         "head@16383{no-body} message@16383"},
        {"head one byte too long", "GET / HTTP/1.1\r\nA: " + std::string(16384 - 23, 'a') + "\r\n\r\n",
         "error@16383"},
        {"the client closes inside a body", "PUT / HTTP/1.1\r\nContent-Length: 5\r\n\r\nab",
         "head@37{} close:error"},
    });
}

// Each is refused at the byte that makes it ambiguous or malformed.
TEST(H1Reader, RequestsRefused) {
    const std::string post = "POST / HTTP/1.1\r\n";  // 17
    run_table(H1Kind::kRequest, {
        {"Transfer-Encoding beside Content-Length",
         post + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n", "error@65"},
        {"a blank before the colon", post + "Transfer-Encoding : chunked\r\n\r\n", "error@34"},
        {"a coding that is not chunked", post + "Transfer-Encoding: xchunked\r\n\r\n", "error@44"},
        {"chunked twice", post + "Transfer-Encoding: chunked, chunked\r\n\r\n", "error@52"},
        {"a second Transfer-Encoding line",
         post + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n", "error@62"},
        {"Transfer-Encoding in HTTP/1.0",
         "POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n", "error@46"},
        {"two Content-Length lines", post + "Content-Length: 5\r\nContent-Length: 5\r\n", "error@50"},
        {"a Content-Length list", post + "Content-Length: 5, 5\r\n\r\n", "error@34"},
        {"a signed Content-Length", post + "Content-Length: +5\r\n\r\n", "error@33"},
        {"an empty Content-Length", post + "Content-Length: \r\n", "error@33"},
        {"a Content-Length beyond 64 bits", post + "Content-Length: 18446744073709551616\r\n",
         "error@52"},
        {"two Host lines", "GET / HTTP/1.1\r\nHost: a\r\nhost: b\r\n\r\n", "error@29"},
        {"a folded line", "GET / HTTP/1.1\r\nA: b\r\n c\r\n\r\n", "error@22"},
        {"a line without a colon", "GET / HTTP/1.1\r\nA b\r\n\r\n", "error@17"},
        {"a name that is no token", "GET / HTTP/1.1\r\nA(: b\r\n\r\n", "error@17"},
        {"a NUL in a value", std::string("GET / HTTP/1.1\r\nA: b\0c\r\n\r\n", 26), "error@20"},
        {"a bare LF ends a line", "GET / HTTP/1.1\r\nHost: a\nX: y\r\n\r\n", "error@23"},
        {"a bare CR in a value", "GET / HTTP/1.1\r\nHost: a\rX: y\r\n\r\n", "error@24"},
        {"a bare LF before the request line", "\nGET / HTTP/1.1\r\n\r\n", "error@0"},
        {"a 16-byte method", "ABCDEFGHIJKLMNOP / HTTP/1.1\r\n\r\n", "error@15"},
        {"no target", "GET  HTTP/1.1\r\n\r\n", "error@4"},
        {"another version", "GET / HTTP/2.0\r\n\r\n", "error@11"},
        {"a blank after the version", "GET / HTTP/1.1 \r\n\r\n", "error@14"},
        {"a chunk size of 14 digits", post + "Transfer-Encoding: chunked\r\n\r\n00000000000001\r\n",
         "head@47{chunked} error@60"},
        {"a bare LF in a chunk line", post + "Transfer-Encoding: chunked\r\n\r\n5\nhello",
         "head@47{chunked} error@48"},
        {"a NUL in a chunk extension",
         post + "Transfer-Encoding: chunked\r\n\r\n" + std::string("5;a\0\r\nhello", 11),
         "head@47{chunked} error@50"},
        {"chunk data longer than its size",
         post + "Transfer-Encoding: chunked\r\n\r\n1\r\nab\r\n", "head@47{chunked} error@51"},
        {"a chunk line without digits", post + "Transfer-Encoding: chunked\r\n\r\n;x\r\n",
         "head@47{chunked} error@47"},
    });
}

TEST(H1Reader, Responses) {
    const std::string ok = "HTTP/1.1 200 OK\r\n";  // 17
    run_table(H1Kind::kResponse, {
        {"a Content-Length body", ok + "Content-Length: 2\r\n\r\nhi", "head@38{} message@40"},
        {"chunked with a trailer", ok + "Transfer-Encoding: chunked\r\n\r\n2\r\nhi\r\n0\r\nT: 1\r\n\r\n",
         "head@47{chunked} message@65"},
        {"chunked last after gzip", ok + "Transfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n",
         "head@53{chunked} message@58"},
        {"chunked not last: until the close", ok + "Transfer-Encoding: chunked, gzip\r\n\r\nxyz",
         "head@53{until-close} close:message"},
        {"no framing: until the close", "HTTP/1.0 200 OK\r\n\r\nbody", "head@19{1.0,until-close} close:message"},
        {"204, 304 and the answer to HEAD carry no body",
         "HTTP/1.1 204 No Content\r\nContent-Length: 9\r\n\r\nHTTP/1.1 304 \r\n\r\n",
         "head@46{no-body} message@46 head@63{no-body} message@63"},
        {"HEAD", ok + "Content-Length: 1234\r\n\r\n", "head@41{no-body} message@41", kH1ExpectNoBody},
        {"interim responses, then the final one",
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: <a>\r\n\r\n" + ok +
             "Content-Length: 0\r\n\r\n",
         "head@25{no-body} message@25 head@64{no-body} message@64 head@102{} message@102"},
        {"101 to an upgrade, then the tunnel",
         "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n\x81\x01x",
         "head@56{no-body} message@56 close:message", kH1ExpectUpgrade},
        {"a status line without a reason", "HTTP/1.1 200\r\nContent-Length: 0\r\n\r\n",
         "head@35{} message@35"},
        {"the backend closes mid-body", ok + "Content-Length: 5\r\n\r\nab", "head@38{} close:error"},
        {"a head longer than 64 KiB", ok + "A: " + std::string(65536, 'a'), "error@65536"},
    });
}

TEST(H1Reader, ResponsesRefused) {
    const std::string ok = "HTTP/1.1 200 OK\r\n";
    run_table(H1Kind::kResponse, {
        {"Transfer-Encoding beside Content-Length",
         ok + "Transfer-Encoding: chunked\r\nContent-Length: 2\r\n\r\n", "error@65"},
        {"an invalid Content-Length", ok + "Content-Length: 2x\r\n\r\n", "error@34"},
        {"a 101 to a request without Upgrade", "HTTP/1.1 101 Switching Protocols\r\n\r\n",
         "error@35"},
        {"no status code", "HTTP/1.1 OK\r\n\r\n", "error@9"},
        {"not a response", "GET / HTTP/1.1\r\n\r\n", "error@0"},
        {"a chunk size that is no number", ok + "Transfer-Encoding: chunked\r\n\r\nzz\r\n",
         "head@47{chunked} error@47"},
    });
}

}  // namespace
