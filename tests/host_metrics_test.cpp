// The status report as Prometheus metrics: labels, escaping and the fallback
// for a report that is not JSON.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "metrics.h"

namespace {

const host::MetricsContext kContext{"1.2.3", "4.5.6", 1700000000, 1700000100};

std::string report_with_route(const std::string& host, const std::string& prefix) {
    return R"({"running":1,"tls":0,"listen_port":80,"redirect_port":0,"active_connections":2,)"
           R"("total_connections":9,"routes":[{"host":")" + host + R"(","path_prefix":")" +
           prefix + R"(","target_ip":"10.0.0.5","target_port":9000,"hits":7,"errors":3}],)"
           R"("last_error":""})";
}

}  // namespace

TEST(HostMetrics, LabelValuesAreEscaped) {
    struct Case {
        const char* value;
        const char* escaped;
    } cases[] = {
        {"plain", "plain"},
        {"a\"b", "a\\\"b"},
        {"a\\b", "a\\\\b"},
        {"line\nnext", "line\\nnext"},
        {"\\\"\n", "\\\\\\\"\\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(host::escape_label_value(c.value), c.escaped);
}

// Each report gives the route's counters; labels only when it reads as JSON.
TEST(HostMetrics, RouteLabelsOrTheIndexAlone) {
    struct Case {
        std::string report;
        std::string hits_line;
    } cases[] = {
        {report_with_route("api.example", "/v1"),
         R"(velkor_proxy_route_hits_total{route="0",host="api.example",prefix="/v1",)"
         R"(backend="10.0.0.5:9000"} 7)"},
        // Escapes in the report are decoded, then written the format's way.
        {report_with_route(R"(a\"b)", R"(/\\x\n)"),
         R"(velkor_proxy_route_hits_total{route="0",host="a\"b",prefix="/\\x\n",)"
         R"(backend="10.0.0.5:9000"} 7)"},
        // A bare quote or a lone backslash breaks the JSON: the index alone.
        {report_with_route(R"(a"b)", "/"), R"(velkor_proxy_route_hits_total{route="0"} 7)"},
        {report_with_route("h", R"(/"x" y)"), R"(velkor_proxy_route_hits_total{route="0"} 7)"},
        {report_with_route("h", R"(\)"), R"(velkor_proxy_route_hits_total{route="0"} 7)"},
    };
    for (const Case& c : cases) {
        std::string page = host::render_metrics(c.report, kContext);
        EXPECT_NE(page.find(c.hits_line + "\n"), std::string::npos) << c.report << "\n" << page;
        for (const char* line : {"velkor_proxy_running 1\n", "velkor_proxy_connections_active 2\n",
                                 "velkor_proxy_connections_total 9\n", "\"} 3\n"})
            EXPECT_NE(page.find(line), std::string::npos) << line << " in\n" << page;
    }
}

TEST(HostMetrics, EveryFamilyHasHelpAndTypeAndTheFixedSamples) {
    std::string page = host::render_metrics(report_with_route("h", "/"), kContext);
    const char* families[] = {"running", "process_start_time_seconds", "start_time_seconds",
                              "connections_active", "connections_total", "route_hits_total",
                              "route_errors_total", "build_info"};
    for (const char* f : families) {
        std::string name = std::string("velkor_proxy_") + f;
        EXPECT_NE(page.find("# HELP " + name + " "), std::string::npos) << name;
        EXPECT_NE(page.find("# TYPE " + name + " "), std::string::npos) << name;
    }
    EXPECT_NE(page.find("velkor_proxy_start_time_seconds 1700000100\n"), std::string::npos);
    EXPECT_NE(page.find("velkor_proxy_build_info{version=\"1.2.3\",library_version=\"4.5.6\"} 1\n"),
              std::string::npos);
    // Not a report at all: still a valid page that says the proxy is not up.
    std::string none = host::render_metrics("garbage", kContext);
    EXPECT_NE(none.find("velkor_proxy_running 0\n"), std::string::npos) << none;
    EXPECT_EQ(none.find("route_hits_total{"), std::string::npos) << none;
}
