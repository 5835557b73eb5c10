// The status report: exact formats, escaping that keeps it JSON, and the
// behaviour at the edge of its 8192-byte buffer.
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config.h"
#include "state.h"
#include "status_report.h"
#include "support/json_check.h"

namespace {

ProxyState st;

void set_text(char* dst, size_t cap, const std::string& text) {
    copy_text(dst, cap, text.data(), text.size());
}

void set_route(int i, const std::string& host, const std::string& prefix, const std::string& ip,
               int port, int hits = 0, int errors = 0) {
    Route& r = st.routes[i];
    set_text(r.host, sizeof r.host, host);
    set_text(r.path_prefix, sizeof r.path_prefix, prefix);
    set_text(r.target_ip, sizeof r.target_ip, ip);
    r.target_port = port;
    r.hits = hits;
    r.errors = errors;
}

// The report of st, formatted into a buffer of `cap` bytes followed by
// guard bytes that must stay untouched.
std::string report(const std::string& error = "", size_t cap = kStatusCapacity) {
    constexpr size_t kGuard = 64;
    std::vector<char> buf(cap + kGuard, '#');
    size_t n = format_status_report(st, error.c_str(), buf.data(), cap);
    EXPECT_EQ(std::string(buf.data() + cap, kGuard), std::string(kGuard, '#'))
        << "written beyond the buffer";
    EXPECT_LT(n, cap);
    EXPECT_EQ(buf[n], '\0');
    EXPECT_EQ(strlen(buf.data()), n);
    return std::string(buf.data(), n);
}

const std::string kTailOpen = R"(],"last_error":")";

class StatusReport : public ::testing::Test {
protected:
    void SetUp() override { clear_state(st); }
};

TEST_F(StatusReport, BeforeAnyStart) {
    EXPECT_EQ(report(),
              R"({"running":0,"tls":0,"listen_port":0,"redirect_port":0,"active_connections":0,)"
              R"("total_connections":0,"routes":[],"last_error":""})");
}

TEST_F(StatusReport, TwoRouteExample) {
    st.running = 1;
    st.tls_enabled = 1;
    st.listen_port = 8443;
    st.redirect_port = 8080;
    st.active_connections = 1;
    st.total_connections = 7;
    set_route(0, "*", "/api", "127.0.0.1", 9000, 4, 1);
    set_route(1, "", "/", "127.0.0.1", 9001, 2, 0);
    st.route_count = 2;
    EXPECT_EQ(report(),
              R"({"running":1,"tls":1,"listen_port":8443,"redirect_port":8080,"active_connections":1,)"
              R"("total_connections":7,"routes":[{"host":"*","path_prefix":"/api","target_ip":"127.0.0.1",)"
              R"("target_port":9000,"hits":4,"errors":1},{"host":"","path_prefix":"/","target_ip":"127.0.0.1",)"
              R"("target_port":9001,"hits":2,"errors":0}],"last_error":""})");
}

TEST_F(StatusReport, FlagsAsZeroOrOneAndNumbersSigned) {
    st.running = 5;
    st.tls_enabled = -1;
    st.listen_port = -80;
    st.redirect_port = INT_MIN;
    st.active_connections = INT_MAX;
    set_route(0, "h", "/", "10.0.0.1", 70000, 3, INT_MIN);
    st.route_count = 1;
    EXPECT_EQ(report("already running"),
              R"({"running":1,"tls":1,"listen_port":-80,"redirect_port":-2147483648,)"
              R"("active_connections":2147483647,"total_connections":0,"routes":[{"host":"h",)"
              R"("path_prefix":"/","target_ip":"10.0.0.1","target_port":70000,"hits":3,)"
              R"("errors":-2147483648}],"last_error":"already running"})");
}

TEST_F(StatusReport, CommaBeforeEveryRouteButTheFirst) {
    for (int i = 0; i < 3; ++i) set_route(i, "h" + std::to_string(i), "/", "127.0.0.1", 1);
    for (int count = 1; count <= 3; ++count) {
        st.route_count = count;
        std::string text = report();
        SCOPED_TRACE(text);
        EXPECT_NE(text.find(R"("routes":[{"host":"h0")"), std::string::npos);
        size_t separators = 0;
        for (size_t at = 0; (at = text.find(R"(},{"host")", at)) != std::string::npos; ++at) ++separators;
        EXPECT_EQ(separators, static_cast<size_t>(count - 1));
        EXPECT_NE(text.find(R"("errors":0}],"last_error")"), std::string::npos);
        EXPECT_TRUE(jsoncheck::is_valid(text));
    }
}

struct EscapeCase {
    const char* name;
    std::string stored;
    std::string written;
};

// Text that is already valid JSON string content goes out byte for byte;
// everything else is escaped just enough.
const EscapeCase kEscapes[] = {
    {"Plain", "example.com", "example.com"},
    {"EscapedSlashKept", R"(\/api\/v1)", R"(\/api\/v1)"},
    {"EveryShortEscapeKept", R"(\"\\\/\b\f\n\r\t)", R"(\"\\\/\b\f\n\r\t)"},
    {"UnicodeEscapeKept", R"(caf\u00E9)", R"(caf\u00E9)"},
    {"RawUtf8Kept", "caf\xc3\xa9", "caf\xc3\xa9"},
    {"ObjectText", R"({"a":"b"})", R"({\"a\":\"b\"})"},
    {"ArrayText", R"(["x",1])", R"([\"x\",1])"},
    {"LoneTrailingBackslash", R"(abc\)", R"(abc\\)"},
    {"EscapedBackslashThenBareQuote", R"(\\")", R"(\\\")"},
    {"BackslashBeforeOtherLetter", R"(C:\path\x)", R"(C:\\path\\x)"},
    {"ShortUnicodeEscape", R"(\u12)", R"(\\u12)"},
    {"UnicodeEscapeWithNonHex", R"(\u00g1)", R"(\\u00g1)"},
    {"ControlBytes", std::string("a\x01\tb\x1f", 5), R"(a\u0001\u0009b\u001f)"},
    {"DeleteAllowed", "a\x7f", "a\x7f"},
};

TEST_F(StatusReport, TextsEscapedOnlyWhereTheyWouldBreakTheReport) {
    for (const EscapeCase& c : kEscapes) {
        SCOPED_TRACE(c.name);
        set_route(0, c.stored, c.stored, c.stored.substr(0, 63), 1);
        st.route_count = 1;
        std::string text = report(c.stored);
        EXPECT_TRUE(jsoncheck::is_valid(text)) << text;
        EXPECT_NE(text.find(R"({"host":")" + c.written + R"(","path_prefix":")" + c.written + "\""),
                  std::string::npos) << text;
        EXPECT_NE(text.find(kTailOpen + c.written + "\"}"), std::string::npos) << text;
    }
}

TEST_F(StatusReport, TextsFromTheDocumentStayJson) {
    // A host of 254 characters and an escaped slash is cut to 255 characters
    // between the backslash and the slash.
    std::string host = std::string(254, 'a') + R"(\/)";
    std::string doc = R"({"listen_port":80,"routes":[{"host":")" + host +
                      R"(","path_prefix":{"x":["\"",1]},"target_port":1}]})";
    char cert[kPathCapacity];
    char key[kPathCapacity];
    ASSERT_TRUE(parse_config(doc.c_str(), st, cert, key)) << g_err;
    std::string text = report();
    EXPECT_TRUE(jsoncheck::is_valid(text)) << text;
    EXPECT_NE(text.find(std::string(254, 'a') + R"(\\")"), std::string::npos);
    // The escaped quote inside is taken as an escape; the bare ones are escaped.
    EXPECT_NE(text.find(R"("path_prefix":"{\"x\":[\"\"\",1]}")"), std::string::npos) << text;
}

std::string longest_error() { return std::string(511, 'e'); }

// Every route at its longest: 255-character host and prefix, a 63-character
// address and every number at its widest.
void fill_longest(int routes) {
    st.running = 1;
    st.tls_enabled = 1;
    st.listen_port = st.redirect_port = INT_MIN;
    st.active_connections = st.total_connections = INT_MIN;
    for (int i = 0; i < routes; ++i) {
        set_route(i, std::string(255, 'h'), std::string(255, 'p'), std::string(63, '1'), INT_MIN,
                  INT_MIN, INT_MIN);
    }
    st.route_count = routes;
}

TEST_F(StatusReport, ElevenLongestRoutesFillTheBufferExactly) {
    fill_longest(11);
    std::string text = report(longest_error());
    EXPECT_EQ(text.size(), 8191u);
    EXPECT_TRUE(jsoncheck::is_valid(text));
    EXPECT_EQ(text.substr(text.size() - 529), kTailOpen + longest_error() + "\"}");
}

// The report that would be written into an unlimited buffer.
std::string full_report(const std::string& error) {
    std::vector<char> big(1 << 16);
    size_t n = format_status_report(st, error.c_str(), big.data(), big.size());
    return std::string(big.data(), n);
}

// Length of one route object without its separator; fill_longest makes
// every route the same.
size_t route_length() {
    int saved = st.route_count;
    st.route_count = 0;
    size_t none = full_report("").size();
    st.route_count = 1;
    size_t one = full_report("").size();
    st.route_count = saved;
    return one - none;
}

// The full report cut after its first `routes` route objects, with its tail.
std::string expected_cut(const std::string& full, int routes, size_t route_len) {
    size_t head = full.find('[') + 1;
    size_t tail = full.rfind(kTailOpen);
    return full.substr(0, head + routes * (route_len + 1) - 1) + full.substr(tail);
}

TEST_F(StatusReport, OverlongReportEndsAfterTheLastWholeRoute) {
    struct Case {
        const char* name;
        int routes;
        std::string error;
    };
    const Case cases[] = {
        {"TwelveLongestRoutes", 12, longest_error()},
        {"SixteenLongRoutes", 16, "bind port 80 failed (in use?)"},
        {"ErrorThatTriplesWhenEscaped", 16, std::string(511, '"')},
        {"ErrorOfControlBytes", 16, std::string(511, '\x02')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clear_state(st);
        fill_longest(c.routes);
        std::string full = full_report(c.error);
        ASSERT_GT(full.size(), 8191u);
        size_t route_len = route_length();
        size_t head = full.find('[') + 1;
        size_t tail = full.size() - full.rfind(kTailOpen);
        int fit = 0;
        while (fit < c.routes && head + (fit + 1) * (route_len + 1) - 1 + tail <= 8191) ++fit;

        st.route_count = c.routes;
        std::string text = report(c.error);
        EXPECT_LE(text.size(), 8191u);
        EXPECT_TRUE(jsoncheck::is_valid(text));
        EXPECT_EQ(text, expected_cut(full, fit, route_len));
    }
}

TEST_F(StatusReport, SmallBufferCutsTheErrorCleanly) {
    set_route(0, "h", "/", "127.0.0.1", 1);
    st.route_count = 1;
    for (size_t cap : {300u, 301u}) {
        SCOPED_TRACE(cap);
        std::string text = report(std::string(300, '"'), cap);
        EXPECT_TRUE(jsoncheck::is_valid(text)) << text;
        EXPECT_GE(text.size(), cap - 2);  // the cut wastes at most part of one escape
        EXPECT_EQ(text.substr(text.size() - 4), R"(\""})");
    }
    // Raw bytes of a character that may have lost its end are dropped too.
    std::string text = report(std::string(100, '"') + std::string(50, '\xc3'), 360);
    EXPECT_TRUE(jsoncheck::is_valid(text)) << text;
    EXPECT_EQ(text.find('\xc3'), std::string::npos);
    // Too small for even the head: an empty text rather than broken JSON.
    EXPECT_EQ(report("x", 64), "");
}

}  // namespace
