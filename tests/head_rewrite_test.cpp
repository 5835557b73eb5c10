// The forwarded head: the client's X-Forwarded lines replaced by our own.
#include <string>

#include <gtest/gtest.h>

#include "net/head_rewrite.h"

namespace {

std::string rewrite(const std::string& head, const char* ip = "192.0.2.7",
                    const char* scheme = "http", const char* host = "a.example:8443",
                    bool drop_upgrade = false) {
    char out[kOutCapacity];
    size_t n = rewrite_head(head, drop_upgrade, ip, scheme, host, out);
    return std::string(out, n);
}

TEST(HeadRewrite, ReplacesTheForwardedLines) {
    struct Case {
        const char* name;
        std::string head;
        std::string expected;
        const char* scheme = "http";
        const char* host = "a.example:8443";
        bool drop_upgrade = false;
    } cases[] = {
        {"client line removed, others kept in order",
         "GET /x HTTP/1.1\r\nHost: a.example:8443\r\nx-forwarded-for: 1.2.3.4\r\nAccept: */*\r\n\r\n",
         "GET /x HTTP/1.1\r\nHost: a.example:8443\r\nAccept: */*\r\n"
         "X-Forwarded-For: 192.0.2.7\r\nX-Forwarded-Proto: http\r\n"
         "X-Forwarded-Host: a.example:8443\r\n\r\n"},
        {"all three names in any case, spelt with '_' too",
         "GET / HTTP/1.1\r\nX-FORWARDED-PROTO: ftp\r\nx-Forwarded-Host: evil\r\n"
         "X-Forwarded-For:1.1.1.1\r\nX_Forwarded_For: 6.6.6.6\r\nX-Forwarded_Proto: x\r\n"
         "x_forwarded-host: y\r\nA: b\r\n\r\n",
         "GET / HTTP/1.1\r\nA: b\r\nX-Forwarded-For: 192.0.2.7\r\nX-Forwarded-Proto: https\r\n"
         "X-Forwarded-Host: -\r\n\r\n",
         "https", ""},
        {"look-alikes pass through",
         "GET / HTTP/1.1\r\nX-Forwarded-Port: 1\r\nX-Forwarded-Fo: 3\r\n"
         "XX-Forwarded-For: 4\r\nX.Forwarded.For: 5\r\n\r\n",
         "GET / HTTP/1.1\r\nX-Forwarded-Port: 1\r\nX-Forwarded-Fo: 3\r\n"
         "XX-Forwarded-For: 4\r\nX.Forwarded.For: 5\r\nX-Forwarded-For: 192.0.2.7\r\n"
         "X-Forwarded-Proto: http\r\nX-Forwarded-Host: a.example:8443\r\n\r\n"},
        {"request line alone",
         "GET / HTTP/1.1\r\n\r\n",
         "GET / HTTP/1.1\r\nX-Forwarded-For: 192.0.2.7\r\nX-Forwarded-Proto: http\r\n"
         "X-Forwarded-Host: h\r\n\r\n",
         "http", "h"},
        {"an h2c upgrade leaves its Upgrade and HTTP2-Settings lines out",
         "GET http://h:1/ HTTP/1.1\r\nConnection: Upgrade, HTTP2-Settings\r\nupgrade: h2c\r\n"
         "HTTP2-Settings: AAM\r\n\r\n",
         "GET http://h:1/ HTTP/1.1\r\nConnection: Upgrade, HTTP2-Settings\r\n"
         "X-Forwarded-For: 192.0.2.7\r\nX-Forwarded-Proto: http\r\nX-Forwarded-Host: h\r\n\r\n",
         "http", "h", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(rewrite(c.head, "192.0.2.7", c.scheme, c.host, c.drop_upgrade), c.expected);
    }
}

// The largest head with the longest address and host value still fits.
TEST(HeadRewrite, LargestHeadFits) {
    std::string head = "GET / HTTP/1.1\r\nA: ";
    head += std::string(kHeadMaxBytes - head.size() - 4, 'a') + "\r\n\r\n";
    ASSERT_EQ(head.size(), kHeadMaxBytes);
    std::string ip(63, '9');
    std::string host(255, 'h');
    std::string out = rewrite(head, ip.c_str(), "https", host.c_str());
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.substr(0, head.size() - 2), head.substr(0, head.size() - 2));
    EXPECT_TRUE(out.ends_with("X-Forwarded-Host: " + host + "\r\n\r\n"));
}

TEST(HeadRewrite, TooSmallOutputGivesZero) {
    const std::string head = "GET / HTTP/1.1\r\nA: b\r\n\r\n";
    char out[40];
    EXPECT_EQ(rewrite_head(head, false, "1.2.3.4", "http", "h", std::span<char>(out, 10)), 0u);
    EXPECT_EQ(rewrite_head(head, false, "1.2.3.4", "http", "h", out), 0u);
}

}  // namespace
