// The socket-free parts of the redirect listener: reading a head within its
// limits, taking the host and target from it, and formatting the 301.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "redirect/redirect_request.h"
#include "redirect/redirect_response.h"

namespace {

// A client as the reader sees it: a byte stream handed out in chunks of the
// given sizes (each cut to what the reader asks for), then `end` for every
// further receive.
struct ScriptedClient {
    std::string stream;
    std::vector<size_t> chunks;
    long end = 0;

    size_t sent = 0;
    size_t next_chunk = 0;
    int calls = 0;
    std::vector<size_t> asked{};

    static long receive(void* self, char* buf, size_t len) {
        auto& c = *static_cast<ScriptedClient*>(self);
        ++c.calls;
        c.asked.push_back(len);
        if (c.next_chunk == c.chunks.size()) return c.end;
        size_t n = std::min({c.chunks[c.next_chunk++], len, c.stream.size() - c.sent});
        memcpy(buf, c.stream.data() + c.sent, n);
        c.sent += n;
        return static_cast<long>(n);
    }
};

std::vector<size_t> pieces(size_t count, size_t size) { return std::vector<size_t>(count, size); }

// A literal with NUL bytes inside, without the closing NUL.
template <size_t N>
std::string bytes(const char (&text)[N]) {
    return std::string(text, N - 1);
}

std::string read_head(ScriptedClient& client) {
    char buf[kRedirectRequestCapacity];
    memset(buf, 'x', sizeof buf);  // stale bytes of an earlier client
    size_t n = redirect_read_head(ScriptedClient::receive, &client, buf);
    EXPECT_EQ(buf[n], '\0');
    return std::string(buf, n);
}

const std::string kHead = "GET / HTTP/1.1\r\nHost: h\r\n\r\n";  // 27 bytes

TEST(RedirectReadHead, StopsAtTheFirstLimitReached) {
    struct Case {
        const char* name;
        ScriptedClient client;
        size_t want_bytes;
        int want_calls;
    };
    const std::string no_end(5000, 'a');
    std::vector<Case> cases = {
        {"head in one piece", {kHead, {kHead.size()}}, kHead.size(), 1},
        {"head then body in one piece", {kHead + "body", {kHead.size() + 4}}, kHead.size() + 4, 1},
        {"marker split over reads, later piece left unread",
         {kHead + "more", {kHead.size() - 1, 1, 4}}, kHead.size(), 2},
        {"head one byte at a time", {kHead, pieces(kHead.size(), 1)}, kHead.size(),
         static_cast<int>(kHead.size())},
        {"client closes before anything", {"", {}, 0}, 0, 1},
        {"read fails before anything", {"", {}, -1}, 0, 1},
        {"client closes mid-head", {"GET / HT", {8}, 0}, 8, 2},
        {"read fails mid-head", {"GET / HT", {3, 5}, -1}, 8, 3},
        {"more than 50 pieces: first 50 only", {no_end, pieces(60, 1)}, 50, 50},
        {"head ending in piece 51 is not seen whole", {std::string(48, 'a') + "\r\n\r\n",
                                                     pieces(52, 1)}, 50, 50},
        {"4095 bytes at most", {no_end, {5000}}, 4095, 1},
        {"4095 bytes reached over several reads", {no_end, pieces(10, 1000)}, 4095, 5},
        {"NUL hides a later end of head", {bytes("GET\0 / HTTP/1.1\r\n\r\nzz"),
                                            {19, 2}, 0}, 21, 3},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string got = read_head(c.client);
        EXPECT_EQ(got.size(), c.want_bytes);
        EXPECT_EQ(got, c.client.stream.substr(0, c.want_bytes));
        EXPECT_EQ(c.client.calls, c.want_calls);
    }
}

TEST(RedirectReadHead, AsksOnlyForTheRoomLeft) {
    ScriptedClient client{std::string(5000, 'a'), {1000, 1000}};
    read_head(client);
    ASSERT_GE(client.asked.size(), 3u);
    EXPECT_EQ(client.asked[0], 4095u);
    EXPECT_EQ(client.asked[1], 3095u);
    EXPECT_EQ(client.asked[2], 2095u);
}

TEST(RedirectReadHead, EveryPrefixOfAHeadIsKeptWhenTheClientCloses) {
    for (size_t len = 0; len <= kHead.size(); ++len) {
        SCOPED_TRACE(len);
        ScriptedClient client{kHead.substr(0, len), {len}, 0};
        EXPECT_EQ(read_head(client), kHead.substr(0, len));
    }
}

struct Parsed {
    std::string host;
    std::string target;
};

// Parses text as if it had just been received into a buffer; the buffer's
// stale bytes after the NUL must not matter.
Parsed parse(const std::string& text) {
    char buf[kRedirectRequestCapacity];
    memset(buf, 'x', sizeof buf);
    memcpy(buf, text.data(), text.size());
    buf[text.size()] = '\0';
    RedirectTexts t;
    memset(&t, 'y', sizeof t);
    redirect_parse(buf, text.size(), t);
    return {t.host, t.target};
}

TEST(RedirectParse, TakesHostAndTarget) {
    struct Case {
        const char* name;
        std::string request;
        std::string host;
        std::string target;
    };
    const std::string long_target = "/" + std::string(2999, 'a');
    const std::string long_host(300, 'h');
    std::vector<Case> cases = {
        {"example", "GET /shop/cart?id=7 HTTP/1.1\r\nHost: a.example:8080\r\nAccept: */*\r\n\r\n",
         "a.example", "/shop/cart?id=7"},
        {"no host line", "GET /x HTTP/1.1\r\nAccept: */*\r\n\r\n", "", "/x"},
        {"host kept whole with its trailing blanks", "GET / HTTP/1.1\r\nHost: a.example  \r\n\r\n",
         "a.example  ", "/"},
        {"any method", "BREW /pot HTTP/1.1\r\nhOsT:b.example\r\n\r\n", "b.example", "/pot"},
        {"IPv6 literal cut at its first colon", "GET / HTTP/1.1\r\nHost: [::1]:8080\r\n\r\n", "[",
         "/"},
        {"two spaces in a row", "GET  HTTP/1.1\r\nHost: h\r\n\r\n", "h", ""},
        {"one space: target runs across the line end", "GET /a\r\nHost: h\r\n\r\n", "h",
         "/a\r\nHost:"},
        {"no space at all", "GET\r\n\r\n", "", ""},
        {"no second space", "GET /a", "", ""},
        {"host line cut off before its CRLF", "GET / HTTP/1.1\r\nHost: h", "", "/"},
        {"long host kept to 255 bytes", "GET / HTTP/1.1\r\nHost: " + long_host + "\r\n\r\n",
         long_host.substr(0, 255), "/"},
        {"long target cut to 2047 bytes", "GET " + long_target + " HTTP/1.1\r\nHost: h\r\n\r\n",
         "h", long_target.substr(0, 2047)},
        {"NUL hides everything after it",
         bytes("GET\0/x HTTP/1.1\r\nHost: h\r\n\r\n"), "", ""},
        {"NUL between the spaces", bytes("GET /a\0b HTTP/1.1\r\nHost: h\r\n\r\n"), "", ""},
        {"control bytes are kept here", "GET /a\x01\x7f HTTP/1.1\r\nHost: e\rv\nl\r\n\r\n",
         "e\rv\nl", "/a\x01\x7f"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Parsed p = parse(c.request);
        EXPECT_EQ(p.host, c.host);
        EXPECT_EQ(p.target, c.target);
    }
}

TEST(RedirectParse, NothingReceivedIgnoresTheStaleBuffer) {
    char buf[kRedirectRequestCapacity] = "GET /old HTTP/1.1\r\nHost: old\r\n\r\n";
    RedirectTexts t;
    memset(&t, 'y', sizeof t);
    redirect_parse(buf, 0, t);
    EXPECT_STREQ(t.host, "");
    EXPECT_STREQ(t.target, "");
}

std::string format(const std::string& host, const std::string& target, int port) {
    RedirectTexts t{};
    snprintf(t.host, sizeof t.host, "%s", host.c_str());
    snprintf(t.target, sizeof t.target, "%s", target.c_str());
    char out[kRedirectResponseCapacity];
    size_t n = redirect_format(t, port, out);
    EXPECT_EQ(strlen(out), n);
    return std::string(out, n);
}

std::string response_to(const std::string& location) {
    return "HTTP/1.1 301 Moved Permanently\r\nLocation: " + location +
           "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

TEST(RedirectFormat, BuildsTheLocation) {
    struct Case {
        const char* name;
        std::string host;
        std::string target;
        int port;
        std::string location;
    };
    std::vector<Case> cases = {
        {"other port", "a.example", "/shop/cart?id=7", 8443,
         "https://a.example:8443/shop/cart?id=7"},
        {"443 has no port", "a.example", "/shop/cart?id=7", 443,
         "https://a.example/shop/cart?id=7"},
        {"80 is named", "a.example", "/", 80, "https://a.example:80/"},
        {"defaults with the port", "", "", 8443, "https://localhost:8443/"},
        {"defaults without the port", "", "", 443, "https://localhost/"},
        {"port as a signed decimal", "h", "/", -1, "https://h:-1/"},
        {"blanks, percent signs and high bytes stay", "h ", "/a%20b\x80\xff", 8443,
         "https://h :8443/a%20b\x80\xff"},
        {"CR LF in the target cannot start a header line", "h", "/a\r\nSet-Cookie: x=1", 8443,
         "https://h:8443/a%0D%0ASet-Cookie: x=1"},
        {"bare CR and LF in the host", "e\rv\nl", "/", 443, "https://e%0Dv%0Al/"},
        {"every other control byte", "\x01\x1f\t", "/\x7f\x1b", 443, "https://%01%1F%09/%7F%1B"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(format(c.host, c.target, c.port), response_to(c.location));
    }
}

TEST(RedirectFormat, LongestResponseIsNotCut) {
    const std::string host(255, '\n');
    const std::string target(2047, '\r');
    std::string location = "https://";
    for (size_t i = 0; i < host.size(); ++i) location += "%0A";
    location += ":-2147483648";
    for (size_t i = 0; i < target.size(); ++i) location += "%0D";
    EXPECT_EQ(format(host, target, -2147483647 - 1), response_to(location));
}

TEST(RedirectFormat, EncoderStopsBeforeAByteThatDoesNotFit) {
    char out[4];
    EXPECT_EQ(percent_encode_controls("ab\ncd", out, sizeof out), 2u);
    EXPECT_STREQ(out, "ab");
    EXPECT_EQ(percent_encode_controls("\n", out, sizeof out), 3u);
    EXPECT_STREQ(out, "%0A");
}

}  // namespace
