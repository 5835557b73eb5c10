// Command-line options of the velkor-proxy host program.
#pragma once

#include <span>
#include <string>

namespace host {

// install_service, uninstall_service and run_service exist on Windows only;
// elsewhere their options are refused.
enum class Mode {
    serve_config, demo, check, help, version,
    install_service, uninstall_service, run_service
};

inline constexpr const char* kDefaultServiceAccount = "NT AUTHORITY\\LocalService";

struct HostOptions {
    Mode mode = Mode::serve_config;
    std::string config_path;     // the CONFIG.json argument
    int port = 8443;             // --demo: the HTTPS port
    int redirect_port = 8080;    // --demo: the plain-HTTP redirect port; 0 turns it off
    int status_interval_ms = 0;  // 0: 1 s on a terminal, 60 s otherwise
    std::string metrics_address = "127.0.0.1";  // --metrics [ADDRESS:]PORT
    int metrics_port = 0;        // 0: no metrics listener
    bool json = false;           // print the raw report lines instead of the view
    std::string cert_path;       // --demo on Windows: --cert, empty for plain HTTP
    std::string key_path;        // --demo on Windows: --key
    std::string service_name;    // --install-service / --uninstall-service
    std::string service_account = kDefaultServiceAccount;
    std::string log_path;        // --log; empty: velkor-proxy.log beside CONFIG.json
};

// Reads the arguments after the program name into out. On a bad argument
// returns false with error holding one line that names the problem.
bool parse_host_options(std::span<const char* const> args, HostOptions& out,
                        std::string& error);

// The --help text: every option, the modes and the exit codes.
const char* host_usage();

}  // namespace host
