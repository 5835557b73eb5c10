// The host program's reading and display of the status report.
#include <gtest/gtest.h>

#include <string>

#include "status_view.h"

using host::ServiceStatus;

namespace {

const char* kTwoRoutes =
    R"({"running":1,"tls":1,"listen_port":8443,"redirect_port":8080,"active_connections":1,)"
    R"("total_connections":7,"routes":[{"host":"*","path_prefix":"/api","target_ip":"127.0.0.1",)"
    R"("target_port":9000,"hits":4,"errors":1},{"host":"","path_prefix":"/","target_ip":)"
    R"("127.0.0.1","target_port":9001,"hits":2,"errors":0}],"last_error":""})";

ServiceStatus parsed(const std::string& report) {
    ServiceStatus st;
    EXPECT_TRUE(host::parse_status_report(report, st)) << report;
    return st;
}

}  // namespace

TEST(HostStatusView, ReadsEveryFieldOfAReport) {
    ServiceStatus st = parsed(kTwoRoutes);
    EXPECT_TRUE(st.running);
    EXPECT_TRUE(st.tls);
    EXPECT_EQ(st.listen_port, 8443);
    EXPECT_EQ(st.redirect_port, 8080);
    EXPECT_EQ(st.active_connections, 1);
    EXPECT_EQ(st.total_connections, 7);
    ASSERT_EQ(st.routes.size(), 2u);
    EXPECT_EQ(st.routes[0].host, "*");
    EXPECT_EQ(st.routes[0].path_prefix, "/api");
    EXPECT_EQ(st.routes[0].target_ip, "127.0.0.1");
    EXPECT_EQ(st.routes[0].target_port, 9000);
    EXPECT_EQ(st.routes[0].hits, 4);
    EXPECT_EQ(st.routes[0].errors, 1);
    EXPECT_EQ(st.routes[1].host, "");
    EXPECT_EQ(st.routes[1].target_port, 9001);
    EXPECT_EQ(st.routes[1].hits, 2);
    EXPECT_EQ(st.last_error, "");
}

TEST(HostStatusView, KeyOrderUnknownKeysAndNestedValuesDoNotConfuseIt) {
    ServiceStatus st = parsed(
        R"({"extra":{"running":0,"routes":[{"hits":99}]},"last_error":"x","routes":[)"
        R"({"hits":3,"future":[1,{"a":2}],"host":"h"}],"running":1,"listen_port":-5})");
    EXPECT_TRUE(st.running);
    EXPECT_EQ(st.listen_port, -5);
    ASSERT_EQ(st.routes.size(), 1u);
    EXPECT_EQ(st.routes[0].hits, 3);
    EXPECT_EQ(st.routes[0].host, "h");
    EXPECT_EQ(st.last_error, "x");
}

TEST(HostStatusView, RejectsWhatIsNotAReport) {
    for (const char* text : {"", "not json", "[]", "{}", R"({"tls":1})", "{\"running\":"}) {
        ServiceStatus st;
        EXPECT_FALSE(host::parse_status_report(text, st)) << text;
    }
}

TEST(HostStatusView, DecodesStringEscapes) {
    struct Case {
        const char* in;
        std::string out;
    } cases[] = {
        {"plain", "plain"},
        {R"(a\"b\\c\/d)", "a\"b\\c/d"},
        {R"(\b\f\n\r\t)", "\b\f\n\r\t"},
        {R"(\u0041\u00e9\u20ac)", "A\xC3\xA9\xE2\x82\xAC"},
        {R"(\ud83d\ude00)", "\xF0\x9F\x98\x80"},
        {R"(\u004)", R"(\u004)"},  // too short: kept as written
        {R"(\q)", R"(\q)"},
        {"end\\", "end\\"},
        {"caf\xC3\xA9", "caf\xC3\xA9"},  // raw UTF-8 passes through
    };
    for (const Case& c : cases) EXPECT_EQ(host::json_unescape(c.in), c.out) << c.in;
}

TEST(HostStatusView, ControlBytesFromTheReportNeverReachTheTerminal) {
    ServiceStatus st = parsed(
        R"({"running":1,"routes":[{"host":"a\u001b[2Jb","path_prefix":"/\n"}],)"
        R"("last_error":"bind\r\u0007port"})");
    EXPECT_EQ(st.routes[0].host, "a\x1b[2Jb");
    std::string all;
    for (const std::string& line : host::render_status_block(st, 0)) all += line + "\n";
    all += host::render_status_line(st, "12:00:00");
    for (char c : all) {
        unsigned char u = static_cast<unsigned char>(c);
        EXPECT_TRUE(u >= 0x20 || c == '\n') << "control byte " << int(u);
    }
    EXPECT_NE(all.find("bind??port"), std::string::npos);
}

TEST(HostStatusView, BlockShowsOneLinePerRouteAndCutsToWidth) {
    ServiceStatus st = parsed(kTwoRoutes);
    auto lines = host::render_status_block(st, 0);
    // state, connections, column heads, two routes, last error
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_NE(lines[0].find("running"), std::string::npos);
    EXPECT_NE(lines[0].find("8443"), std::string::npos);
    EXPECT_NE(lines[0].find("8080"), std::string::npos);
    EXPECT_NE(lines[3].find("/api"), std::string::npos);
    EXPECT_NE(lines[3].find("127.0.0.1:9000"), std::string::npos);
    EXPECT_NE(lines[4].find("(any)"), std::string::npos);
    EXPECT_NE(lines[5].find("(none)"), std::string::npos);

    for (const std::string& line : host::render_status_block(st, 20))
        EXPECT_LE(line.size(), 20u) << line;
}

TEST(HostStatusView, CuttingNeverSplitsAUtf8Character) {
    ServiceStatus st;
    st.last_error = "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9";
    for (size_t width = 13; width < 22; ++width) {
        std::string last = host::render_status_block(st, width).back();
        // A cut inside "é" would leave a lead byte 0xC3 as the last byte.
        EXPECT_NE(static_cast<unsigned char>(last.back()), 0xC3u) << width;
    }
}

TEST(HostStatusView, PlainLineIsOneLineWithEveryRoute) {
    ServiceStatus st = parsed(kTwoRoutes);
    st.last_error = "bind port 8443 failed (in use?)";
    std::string line = host::render_status_line(st, "09:30:00");
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_EQ(line.rfind("09:30:00 running", 0), 0u) << line;
    EXPECT_NE(line.find("/api -> 127.0.0.1:9000 hits 4 errors 1"), std::string::npos) << line;
    EXPECT_NE(line.find("/ -> 127.0.0.1:9001 hits 2 errors 0"), std::string::npos) << line;
    EXPECT_NE(line.find("bind port 8443 failed (in use?)"), std::string::npos) << line;
}
