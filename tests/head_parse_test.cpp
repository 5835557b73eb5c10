// The request head as bytes: where it ends, the request line, the Host value
// and the line-break check that keeps header lines from being smuggled.
#include <string>

#include <gtest/gtest.h>

#include "net/header_get.h"
#include "net/request_head.h"

namespace {

struct ParseCase {
    const char* name;
    std::string bytes;
    HeadStatus status;
    const char* target = "";
    const char* host_value = "";
    const char* host_name = "";
};

HeadStatus parse(const std::string& bytes, RequestHead& out) {
    return parse_request_head(bytes.c_str(), out);
}

TEST(HeadParse, Table) {
    const std::string m15(15, 'M');
    const ParseCase cases[] = {
        {"simple", "GET /x HTTP/1.1\r\nHost: a.example\r\n\r\n", HeadStatus::kComplete,
         "/x", "a.example", "a.example"},
        {"port kept in value only", "GET / HTTP/1.1\r\nHost: a.example:8443\r\n\r\n",
         HeadStatus::kComplete, "/", "a.example:8443", "a.example"},
        {"no Host line", "GET /a HTTP/1.1\r\nAccept: */*\r\n\r\n", HeadStatus::kComplete, "/a"},
        {"15-byte method", m15 + " /m HTTP/1.1\r\n\r\n", HeadStatus::kComplete, "/m"},
        {"16-byte method", m15 + "M /m HTTP/1.1\r\n\r\n", HeadStatus::kMalformed},
        {"empty method", " /e HTTP/1.1\r\n\r\n", HeadStatus::kComplete, "/e"},
        {"no space at all", "GET\r\n\r\n", HeadStatus::kMalformed},
        {"no space after target", "GET /x\r\n\r\n", HeadStatus::kMalformed},
        {"target runs across the line end", "GET /x\r\nHost: h\r\n\r\n",
         HeadStatus::kComplete, "/x\r\nHost:", "h", "h"},
        {"target runs into early body bytes", "GET /x\r\n\r\nbody more",
         HeadStatus::kComplete, "/x\r\n\r\nbody"},
        {"no end marker", "GET / HTTP/1.1\r\nHost: a\r\n", HeadStatus::kIncomplete},
        {"bare LF inside the Host value",
         "GET / HTTP/1.1\r\nHost: a\nX-Forwarded-For: 1.2.3.4\r\n\r\n", HeadStatus::kMalformed},
        {"bare CR inside the Host value",
         "GET / HTTP/1.1\r\nHost: a\rX-Forwarded-For: 1.2.3.4\r\n\r\n", HeadStatus::kMalformed},
        {"bare LF ends the request line", "GET / HTTP/1.1\nHost: a\r\n\r\n",
         HeadStatus::kMalformed},
        {"LF before the marker", "GET / HTTP/1.1\r\nA: b\n\r\n\r\n", HeadStatus::kMalformed},
        {"bare line breaks in the body are not looked at",
         "GET / HTTP/1.1\r\nHost: b\r\n\r\nx\ny\rz", HeadStatus::kComplete, "/", "b", "b"},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.name);
        RequestHead out{};
        ASSERT_EQ(parse(c.bytes, out), c.status);
        if (c.status != HeadStatus::kComplete) continue;
        EXPECT_STREQ(out.target, c.target);
        EXPECT_STREQ(out.host_value, c.host_value);
        EXPECT_STREQ(out.host_name, c.host_name);
        EXPECT_EQ(out.head_len, c.bytes.find("\r\n\r\n") + 4);
    }
}

// Every proper prefix of a valid head is incomplete; the whole is complete.
TEST(HeadParse, EveryPrefixIsIncomplete) {
    const std::string head = "POST /up?x=1 HTTP/1.1\r\nHost: h:1\r\nContent-Length: 3\r\n\r\n";
    RequestHead out{};
    for (size_t n = 0; n < head.size(); ++n) {
        ASSERT_EQ(parse(head.substr(0, n), out), HeadStatus::kIncomplete) << n;
    }
    ASSERT_EQ(parse(head, out), HeadStatus::kComplete);
    EXPECT_STREQ(out.target, "/up?x=1");
    EXPECT_STREQ(out.host_name, "h");
}

// The text ends at a NUL the client sent, so a marker after it is not seen.
TEST(HeadParse, NulHidesTheMarker) {
    std::string bytes = "GET / HTTP/1.1\r\nX: a";
    bytes += '\0';
    bytes += "\r\n\r\n";
    RequestHead out{};
    EXPECT_EQ(parse_request_head(bytes.c_str(), out), HeadStatus::kIncomplete);
}

TEST(HeadParse, LongTargetIsCutForRouting) {
    std::string target = "/" + std::string(3000, 'a');
    RequestHead out{};
    ASSERT_EQ(parse("GET " + target + " HTTP/1.1\r\n\r\n", out), HeadStatus::kComplete);
    EXPECT_EQ(std::string(out.target), target.substr(0, kTargetCapacity - 1));
}

TEST(HeadParse, BareLineBreaks) {
    struct { const char* text; bool bare; } cases[] = {
        {"", false}, {"\r\n", false}, {"a\r\nb\r\n\r\n", false},
        {"\n", true}, {"\r", true}, {"a\r", true}, {"a\nb", true}, {"\r\r\n", true},
        {"\n\r\n", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(has_bare_line_break(c.text), c.bare) << '"' << c.text << '"';
    }
}

struct HostCase {
    const char* name;
    const char* head;
    const char* value;
};

TEST(HeadHostLookup, Table) {
    const std::string long_value(300, 'v');
    const std::string long_head = "GET / HTTP/1.1\r\nHost: " + long_value + "\r\n\r\n";
    const HostCase cases[] = {
        {"plain", "GET / HTTP/1.1\r\nHost: a.example\r\n\r\n", "a.example"},
        {"any letter case", "GET / HTTP/1.1\r\nhOsT: a\r\n\r\n", "a"},
        {"blanks after the colon skipped, trailing kept",
         "GET / HTTP/1.1\r\nHost:\t  a b \t\r\n\r\n", "a b \t"},
        {"empty value", "GET / HTTP/1.1\r\nHost:\r\n\r\n", ""},
        {"first Host line wins", "GET / HTTP/1.1\r\nHost: one\r\nHost: two\r\n\r\n", "one"},
        {"later line", "GET / HTTP/1.1\r\nA: b\r\nHost: c\r\n\r\n", "c"},
        {"Hostname is not Host", "GET / HTTP/1.1\r\nHostname: x\r\n\r\n", ""},
        {"blank before the colon", "GET / HTTP/1.1\r\nHost : x\r\n\r\n", ""},
        {"blank before the name", "GET / HTTP/1.1\r\n Host: x\r\n\r\n", ""},
        {"after the empty line", "GET / HTTP/1.1\r\nA: b\r\n\r\nHost: x\r\n\r\n", ""},
        {"no CRLF after the value", "GET / HTTP/1.1\r\nHost: x", ""},
        {"no request line end", "GET / HTTP/1.1", ""},
        {"request line named Host is skipped", "Host: x\r\nHost: y\r\n\r\n", "y"},
        {"value cut to 255 bytes", long_head.c_str(), nullptr},
    };
    for (const HostCase& c : cases) {
        SCOPED_TRACE(c.name);
        char out[kHostCapacity];
        memset(out, 'X', sizeof out);
        header_get(c.head, out);
        EXPECT_EQ(std::string(out), c.value ? c.value : long_value.substr(0, 255));
    }
}

}  // namespace
