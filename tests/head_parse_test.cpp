// A complete request head: the target and Host value it is routed by, an
// absolute-form target's authority, and the Host lookup.
#include <string>

#include <gtest/gtest.h>

#include "net/header_get.h"
#include "net/h1_reader.h"
#include "net/request_head.h"

namespace {

struct ExamineCase {
    const char* name;
    std::string head;
    bool valid;
    const char* target = "";
    const char* host_value = "";
    const char* host_name = "";
};

// Reads the head with the request reader, as the connection does, then
// examines it.
bool examine(const std::string& head, RequestHead& out) {
    H1Reader r = h1_reader(H1Kind::kRequest);
    size_t used = 0;
    EXPECT_EQ(h1_read(r, head.data(), head.size(), used), H1Event::kHead);
    EXPECT_EQ(used, head.size());
    return examine_request_head(head.c_str(), leading_empty_lines(head), used, r.flags, out);
}

TEST(HeadExamine, Table) {
    const std::string long_target = "/" + std::string(3000, 'a');
    const ExamineCase cases[] = {
        {"origin form", "GET /x HTTP/1.1\r\nHost: a.example\r\n\r\n", true, "/x", "a.example",
         "a.example"},
        {"port kept in the value only", "GET / HTTP/1.1\r\nHost: a.example:8443\r\n\r\n", true,
         "/", "a.example:8443", "a.example"},
        {"no Host line", "GET /a HTTP/1.1\r\nAccept: */*\r\n\r\n", true, "/a"},
        {"after empty lines", "\r\n\r\nGET /e HTTP/1.1\r\nHost: h\r\n\r\n", true, "/e", "h", "h"},
        {"a long target is cut for routing", "GET " + long_target + " HTTP/1.1\r\n\r\n", true,
         nullptr},
        {"absolute form: the authority and the path",
         "GET http://b.example:81/api?x HTTP/1.1\r\n\r\n", true, "/api?x", "b.example:81",
         "b.example"},
        {"absolute form with its own Host line, any case",
         "GET HTTPS://B.example/ HTTP/1.1\r\nHost: b.EXAMPLE\r\n\r\n", true, "/", "B.example",
         "B.example"},
        {"absolute form without a path", "OPTIONS http://b.example?q HTTP/1.1\r\n\r\n", true,
         "/?q", "b.example", "b.example"},
        {"absolute form whose Host names another authority",
         "GET http://b.example/ HTTP/1.1\r\nHost: a.example\r\n\r\n", false},
        {"absolute form with user information", "GET http://u@b.example/ HTTP/1.1\r\n\r\n", false},
        {"absolute form without an authority", "GET http:///x HTTP/1.1\r\n\r\n", false},
        {"another scheme is an ordinary target", "GET ftp://b/x HTTP/1.1\r\n\r\n", true,
         "ftp://b/x"},
    };
    for (const ExamineCase& c : cases) {
        SCOPED_TRACE(c.name);
        RequestHead out{};
        ASSERT_EQ(examine(c.head, out), c.valid);
        if (!c.valid) continue;
        EXPECT_EQ(std::string(out.target), c.target ? c.target : long_target.substr(0, 2047));
        EXPECT_STREQ(out.host_value, c.host_value);
        EXPECT_STREQ(out.host_name, c.host_name);
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
