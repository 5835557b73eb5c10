// The host program's command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"
#include "platform_traits.h"

using host::HostOptions;
using host::Mode;

namespace {

bool parse(std::vector<const char*> args, HostOptions& out, std::string& error) {
    return host::parse_host_options(args, out, error);
}

}  // namespace

TEST(HostOptions, AcceptedCommandLines) {
    struct Case {
        std::vector<const char*> args;
        Mode mode;
        std::string config;
        int port, redirect, interval_ms;
        bool json;
    } cases[] = {
        {{"c.json"}, Mode::serve_config, "c.json", 8443, 8080, 0, false},
        {{"--check", "c.json"}, Mode::check, "c.json", 8443, 8080, 0, false},
        {{"c.json", "--check"}, Mode::check, "c.json", 8443, 8080, 0, false},
        {{"c.json", "--status-interval", "2.5", "--json"}, Mode::serve_config, "c.json",
         8443, 8080, 2500, true},
        {{"c.json", "--status-interval=0.1"}, Mode::serve_config, "c.json", 8443, 8080, 100,
         false},
        {{"--demo"}, Mode::demo, "", 8443, 8080, 0, false},
        {{"--demo", "--port", "9443", "--redirect-port=0"}, Mode::demo, "", 9443, 0, 0,
         false},
        {{"--demo", "--port=1", "--redirect-port", "65535"}, Mode::demo, "", 1, 65535, 0,
         false},
        {{"c.json", "--version", "--port", "x"}, Mode::version, "", 8443, 8080, 0, false},
        // Help and version answer whatever else is on the line.
        {{"--bogus", "--help"}, Mode::help, "", 8443, 8080, 0, false},
        {{"-h"}, Mode::help, "", 8443, 8080, 0, false},
    };
    for (const Case& c : cases) {
        HostOptions o;
        std::string error;
        std::string shown = c.args.empty() ? "" : c.args[0];
        ASSERT_TRUE(parse(c.args, o, error)) << shown << ": " << error;
        EXPECT_EQ(o.mode, c.mode) << shown;
        EXPECT_EQ(o.config_path, c.config) << shown;
        EXPECT_EQ(o.port, c.port) << shown;
        EXPECT_EQ(o.redirect_port, c.redirect) << shown;
        EXPECT_EQ(o.status_interval_ms, c.interval_ms) << shown;
        EXPECT_EQ(o.json, c.json) << shown;
    }
}

TEST(HostOptions, RejectedCommandLinesGiveOneLineNamingTheProblem) {
    struct Case {
        std::vector<const char*> args;
        const char* mentions;
    } cases[] = {
        {{}, "CONFIG.json"},
        {{"--check"}, "CONFIG.json"},
        {{"--bogus"}, "--bogus"},
        {{"a.json", "b.json"}, "b.json"},
        {{"--demo", "a.json"}, "not both"},
        {{"--demo", "--check"}, "--check"},
        {{"a.json", "--port", "9000"}, "--demo only"},
        {{"--demo", "--port"}, "--port"},
        {{"--demo", "--port", "0"}, "'0'"},
        {{"--demo", "--port", "65536"}, "'65536'"},
        {{"--demo", "--port", "84x3"}, "'84x3'"},
        {{"--demo", "--redirect-port", "-1"}, "'-1'"},
        {{"--demo", "--port", "9000", "--redirect-port", "9000"}, "differ"},
        {{"a.json", "--status-interval"}, "--status-interval"},
        {{"a.json", "--status-interval", "0"}, "'0'"},
        {{"a.json", "--status-interval", "fast"}, "'fast'"},
        {{"a.json", "--status-interval", "nan"}, "'nan'"},
        {{"a.json", "--json=yes"}, "--json"},
        {{"a.json", "--metrics"}, "--metrics"},
        {{"a.json", "--metrics", "0"}, "'0'"},
        {{"a.json", "--metrics", "localhost:9100"}, "'localhost:9100'"},
        {{"a.json", "--metrics", "1.2.3.256:9100"}, "'1.2.3.256:9100'"},
        {{"a.json", "--metrics", "1.2.3:9100"}, "'1.2.3:9100'"},
        {{"a.json", "--check", "--metrics", "9100"}, "--check"},
    };
    for (const Case& c : cases) {
        HostOptions o;
        std::string error;
        std::string shown;
        for (const char* a : c.args) shown += std::string(a) + " ";
        EXPECT_FALSE(parse(c.args, o, error)) << shown;
        EXPECT_NE(error.find(c.mentions), std::string::npos) << shown << "-> " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

TEST(HostOptions, MetricsAddress) {
    struct Case {
        std::vector<const char*> args;
        std::string address;
        int port;
    } cases[] = {
        {{"c.json"}, "127.0.0.1", 0},
        {{"c.json", "--metrics", "9100"}, "127.0.0.1", 9100},
        {{"--demo", "--metrics=0.0.0.0:65535"}, "0.0.0.0", 65535},
    };
    for (const Case& c : cases) {
        HostOptions o;
        std::string error;
        ASSERT_TRUE(parse(c.args, o, error)) << error;
        EXPECT_EQ(o.metrics_address, c.address);
        EXPECT_EQ(o.metrics_port, c.port);
    }
}

// Parsed on every system; where there are no Windows services, refused with
// a message that says so.
TEST(HostOptions, ServiceCommandLines) {
    struct Case {
        std::vector<const char*> args;
        Mode mode;
        std::string name, config, account, log;
    } cases[] = {
        {{"--install-service", "velkor", "c.json"}, Mode::install_service, "velkor", "c.json",
         host::kDefaultServiceAccount, ""},
        {{"c.json", "--install-service=v", "--service-account", "NT AUTHORITY\\NetworkService",
          "--log", "p.log"},
         Mode::install_service, "v", "c.json", "NT AUTHORITY\\NetworkService", "p.log"},
        {{"--uninstall-service", "velkor"}, Mode::uninstall_service, "velkor", "",
         host::kDefaultServiceAccount, ""},
        {{"--run-as-service", "c.json", "--log=x.log"}, Mode::run_service, "", "c.json",
         host::kDefaultServiceAccount, "x.log"},
    };
    for (const Case& c : cases) {
        HostOptions o;
        std::string error;
        bool ok = parse(c.args, o, error);
        if (!host::kHasWindowsServices) {
            EXPECT_FALSE(ok) << c.args[0];
            EXPECT_NE(error.find("Windows"), std::string::npos) << error;
            continue;
        }
        ASSERT_TRUE(ok) << c.args[0] << ": " << error;
        EXPECT_EQ(o.mode, c.mode) << c.args[0];
        EXPECT_EQ(o.service_name, c.name) << c.args[0];
        EXPECT_EQ(o.config_path, c.config) << c.args[0];
        EXPECT_EQ(o.service_account, c.account) << c.args[0];
        EXPECT_EQ(o.log_path, c.log) << c.args[0];
    }
}

TEST(HostOptions, RejectedServiceCommandLines) {
    struct Case {
        std::vector<const char*> args;
        const char* mentions;  // where services exist
    } cases[] = {
        {{"--install-service"}, "needs a value"},
        {{"--install-service", "v"}, "CONFIG.json"},
        {{"--install-service", "v", "c.json", "--uninstall-service", "v"}, "only one"},
        {{"--install-service", "v", "c.json", "--check"}, "--check"},
        {{"--install-service", "v", "c.json", "--json"}, "--json"},
        {{"--uninstall-service", "v", "c.json"}, "name only"},
        {{"--uninstall-service", "v", "--service-account", "a"}, "--install-service only"},
        {{"c.json", "--log", "x.log"}, "service only"},
        {{"--run-as-service", "--demo"}, "--demo"},
    };
    for (const Case& c : cases) {
        HostOptions o;
        std::string error;
        EXPECT_FALSE(parse(c.args, o, error)) << c.args[0];
        const char* mentions = host::kHasWindowsServices ? c.mentions : "Windows";
        EXPECT_NE(error.find(mentions), std::string::npos) << c.args[0] << " -> " << error;
    }
}
