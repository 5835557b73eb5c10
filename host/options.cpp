#include "options.h"

#include <charconv>
#include <cmath>
#include <string_view>

#include "platform_traits.h"

namespace host {
namespace {

constexpr int kMinIntervalMs = 100;
constexpr int kMaxIntervalMs = 3600 * 1000;

// Whole decimal number in [lo, hi], nothing else in the text.
bool read_int(std::string_view text, int lo, int hi, int& out) {
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return false;
    if (value < lo || value > hi) return false;
    out = value;
    return true;
}

// Seconds, possibly with a fraction ("0.5"), as milliseconds.
bool read_interval(std::string_view text, int& out_ms) {
    double seconds = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (ec != std::errc() || end != text.data() + text.size()) return false;
    if (!std::isfinite(seconds)) return false;
    double ms = std::round(seconds * 1000.0);
    if (ms < kMinIntervalMs || ms > kMaxIntervalMs) return false;
    out_ms = static_cast<int>(ms);
    return true;
}

// Dotted-decimal IPv4: four numbers 0-255, nothing else.
bool is_ipv4(std::string_view text) {
    for (int part = 0; part < 4; ++part) {
        size_t dot = part < 3 ? text.find('.') : text.size();
        int ignored = 0;
        if (dot == std::string_view::npos || !read_int(text.substr(0, dot), 0, 255, ignored))
            return false;
        text.remove_prefix(part < 3 ? dot + 1 : dot);
    }
    return true;
}

// "[ADDRESS:]PORT"; the address stays as it was when none is given.
bool read_listen_address(std::string_view text, std::string& address, int& port) {
    size_t colon = text.rfind(':');
    std::string_view host = colon == std::string_view::npos ? "" : text.substr(0, colon);
    std::string_view number = colon == std::string_view::npos ? text : text.substr(colon + 1);
    if (colon != std::string_view::npos && !is_ipv4(host)) return false;
    if (!read_int(number, 1, 65535, port)) return false;
    if (colon != std::string_view::npos) address = std::string(host);
    return true;
}

// Walks the argument list; an option's value may follow as "--opt=value" or
// as the next argument.
class ArgReader {
public:
    explicit ArgReader(std::span<const char* const> args) : args_(args) {}

    bool done() const { return next_ >= args_.size(); }

    // Takes the next argument, splitting off an "=value" part of a long option.
    std::string_view take() {
        std::string_view arg = args_[next_++];
        has_inline_ = false;
        if (arg.starts_with("--")) {
            size_t eq = arg.find('=');
            if (eq != std::string_view::npos) {
                inline_value_ = arg.substr(eq + 1);
                has_inline_ = true;
                arg = arg.substr(0, eq);
            }
        }
        return arg;
    }

    bool has_inline_value() const { return has_inline_; }

    // The value of the option just taken; false when there is none.
    bool value(std::string_view& out) {
        if (has_inline_) {
            out = inline_value_;
            return true;
        }
        if (done()) return false;
        out = args_[next_++];
        return true;
    }

private:
    std::span<const char* const> args_;
    size_t next_ = 0;
    std::string_view inline_value_;
    bool has_inline_ = false;
};

struct Seen {
    bool demo = false;
    bool check = false;
    bool port = false;
    bool redirect_port = false;
    bool cert = false;
    bool key = false;
    bool interval = false;
    bool install = false;
    bool uninstall = false;
    bool run_service = false;
    bool account = false;
    bool log = false;
    bool metrics = false;

    bool any_service() const { return install || uninstall || run_service || account || log; }
};

bool fail(std::string& error, std::string text) {
    error = std::move(text);
    return false;
}

// The service modes stand alone, each with its own few options.
bool check_service(const Seen& seen, HostOptions& out, std::string& error) {
    int modes = seen.install + seen.uninstall + seen.run_service;
    if (modes > 1)
        return fail(error, "give only one of --install-service, --uninstall-service "
                           "and --run-as-service");
    if (seen.demo || seen.check || out.json || seen.interval || seen.metrics)
        return fail(error, "the service options do not combine with --demo, --check, "
                           "--json, --status-interval or --metrics");
    if (seen.account && !seen.install)
        return fail(error, "--service-account applies to --install-service only");
    if (modes == 0) return fail(error, "--log applies to the service only");
    if (seen.uninstall) {
        if (!out.config_path.empty() || seen.log)
            return fail(error, "--uninstall-service takes the service's name only");
        out.mode = Mode::uninstall_service;
        return true;
    }
    if (out.config_path.empty()) return fail(error, "missing CONFIG.json for the service");
    out.mode = seen.install ? Mode::install_service : Mode::run_service;
    return true;
}

// Takes the value of an option that names something: a service, an account
// or a file.
bool read_name(ArgReader& reader, std::string_view option, std::string& dest,
               std::string& error) {
    std::string_view value;
    if (!reader.value(value) || value.empty())
        return fail(error, std::string(option) + " needs a value");
    dest = std::string(value);
    return true;
}

enum class Taken { no, ok, bad };

// The service options, parsed on every system and refused where there are
// no Windows services; Taken::no for any other argument.
Taken take_service_option(std::string_view arg, ArgReader& reader, HostOptions& out,
                          Seen& seen, std::string& error) {
    bool names_service = arg == "--install-service" || arg == "--uninstall-service";
    std::string* dest = names_service                 ? &out.service_name
                        : arg == "--service-account" ? &out.service_account
                        : arg == "--log"             ? &out.log_path
                                                     : nullptr;
    if (dest == nullptr && arg != "--run-as-service") return Taken::no;
    if (!kHasWindowsServices) {
        fail(error, std::string(arg) + ": services are a Windows feature; elsewhere let "
                                       "systemd or another supervisor run the program");
        return Taken::bad;
    }
    if (dest != nullptr && !read_name(reader, arg, *dest, error)) return Taken::bad;
    if (arg == "--install-service") seen.install = true;
    else if (arg == "--uninstall-service") seen.uninstall = true;
    else if (arg == "--service-account") seen.account = true;
    else if (arg == "--log") seen.log = true;
    else seen.run_service = true;
    return Taken::ok;
}

// The checks that need the whole command line.
bool check_combination(const Seen& seen, HostOptions& out, std::string& error) {
    if (seen.demo && !out.config_path.empty())
        return fail(error, "give either CONFIG.json or --demo, not both");
    if (seen.demo && seen.check)
        return fail(error, "--check needs CONFIG.json, not --demo");
    if (seen.check && seen.metrics)
        return fail(error, "--metrics applies to a running proxy, not to --check");
    if (!seen.demo && (seen.port || seen.redirect_port))
        return fail(error, "--port and --redirect-port apply to --demo only; "
                           "set the ports in the configuration");
    if (!seen.demo && (seen.cert || seen.key))
        return fail(error, "--cert and --key apply to --demo only");
    if (seen.cert != seen.key) return fail(error, "--cert and --key go together");
    if (seen.demo) {
        if (out.redirect_port != 0 && out.redirect_port == out.port)
            return fail(error, "--port and --redirect-port must differ");
        out.mode = Mode::demo;
        return true;
    }
    if (out.config_path.empty())
        return fail(error, "missing CONFIG.json (or --demo); see --help");
    out.mode = seen.check ? Mode::check : Mode::serve_config;
    return true;
}

}  // namespace

bool parse_host_options(std::span<const char* const> args, HostOptions& out,
                        std::string& error) {
    // Help and version answer whatever else is on the line, even a mistake.
    for (std::string_view arg : args) {
        if (arg == "--help" || arg == "-h") {
            out.mode = Mode::help;
            return true;
        }
    }
    for (std::string_view arg : args) {
        if (arg == "--version") {
            out.mode = Mode::version;
            return true;
        }
    }
    ArgReader reader(args);
    Seen seen;
    while (!reader.done()) {
        std::string_view arg = reader.take();
        std::string_view value;
        bool flag = arg == "--help" || arg == "-h" || arg == "--version" ||
                    arg == "--demo" || arg == "--check" || arg == "--json" ||
                    arg == "--run-as-service";
        if (flag && reader.has_inline_value())
            return fail(error, std::string(arg) + " takes no value");
        Taken service = take_service_option(arg, reader, out, seen, error);
        if (service == Taken::bad) return false;
        if (service == Taken::ok) continue;

        if (arg == "--demo") {
            seen.demo = true;
        } else if (arg == "--check") {
            seen.check = true;
        } else if (arg == "--json") {
            out.json = true;
        } else if (arg == "--port" || arg == "--redirect-port") {
            bool main_port = arg == "--port";
            if (!reader.value(value))
                return fail(error, std::string(arg) + " needs a port number");
            int& dest = main_port ? out.port : out.redirect_port;
            if (!read_int(value, main_port ? 1 : 0, 65535, dest))
                return fail(error, std::string(arg) + ": not a port number: '" +
                                       std::string(value) + "'" +
                                       (main_port ? " (1-65535)" : " (0-65535)"));
            (main_port ? seen.port : seen.redirect_port) = true;
        } else if (arg == "--status-interval") {
            if (!reader.value(value))
                return fail(error, "--status-interval needs a number of seconds");
            if (!read_interval(value, out.status_interval_ms))
                return fail(error, "--status-interval: not a number of seconds "
                                   "between 0.1 and 3600: '" + std::string(value) + "'");
            seen.interval = true;
        } else if (arg == "--metrics") {
            if (!reader.value(value)) return fail(error, "--metrics needs [ADDRESS:]PORT");
            if (!read_listen_address(value, out.metrics_address, out.metrics_port))
                return fail(error, "--metrics: not [ADDRESS:]PORT with an IPv4 address and a "
                                   "port 1-65535: '" + std::string(value) + "'");
            seen.metrics = true;
        } else if (kDemoTakesCertFiles && (arg == "--cert" || arg == "--key")) {
            if (!reader.value(value) || value.empty())
                return fail(error, std::string(arg) + " needs a file name");
            (arg == "--cert" ? out.cert_path : out.key_path) = std::string(value);
            (arg == "--cert" ? seen.cert : seen.key) = true;
        } else if (arg.starts_with("-") && arg != "-") {
            return fail(error, "unknown option '" + std::string(arg) + "'; see --help");
        } else if (!out.config_path.empty()) {
            return fail(error, "more than one CONFIG.json given: '" + out.config_path +
                                   "' and '" + std::string(arg) + "'");
        } else {
            out.config_path = std::string(arg);
        }
    }
    if (seen.any_service()) return check_service(seen, out, error);
    return check_combination(seen, out, error);
}

const char* host_usage() {
    // The platform's parts come from platform_traits.h.
    static const std::string text = std::string(R"(Usage:
  velkor-proxy CONFIG.json [--status-interval SECONDS] [--json] [--metrics [ADDRESS:]PORT]
  velkor-proxy CONFIG.json --check
)") + kUsageDemoSynopsis + kUsageServiceSynopsis + R"(  velkor-proxy --version | --help

Runs the velkor-proxy reverse proxy until )" + kUsageStopRequests + R"(, showing its
runtime status: ports, connections, each route's hits and errors, and the
last error. On a terminal the view is refreshed in place; otherwise it is
one plain line per refresh.)" + kUsageReload + R"(

Modes:
  CONFIG.json            start the proxy with this configuration document
  --check                try a real start with CONFIG.json and stop again at
                         once: prints whether the document is accepted, or
                         the library's message. The start binds the
                         configured ports, so they must be free.
)" + kUsageDemoMode + R"(
Options:
)" + kUsagePortOption + R"(  --redirect-port PORT   --demo: the plain-HTTP port that redirects to HTTPS
                         (default 8080; 0 turns it off)
)" + kUsageDemoOptions + R"(  --status-interval SECONDS
                         time between two status refreshes, 0.1 to 3600,
                         fractions allowed (default 1 when stdout is a
                         terminal, else 60)
  --json                 print the library's raw one-line JSON report at
                         every refresh instead of the view
  --metrics [ADDRESS:]PORT
                         also with --demo: serve GET /metrics (Prometheus
                         text format) and GET /status (the JSON report) on
                         ADDRESS (IPv4, default 127.0.0.1) and PORT
)" + kUsageServiceOptions + R"(  --version              print the program's and the library's version
  -h, --help             print this text

Exit status:
  0  stopped cleanly, or --check accepted the document
  1  the start failed (the library's message is printed), or --check
     rejected the document, or a file could not be read, or the --metrics
     port could not be bound, or after a reload neither the new nor the
     previous document would start
  2  bad command line
)" + (kHasWindowsServices ? R"(  --install-service and --uninstall-service: 0 done, 1 refused (the
  system's message is printed). A service that cannot start stops with a
  service-specific code: 1 CONFIG.json unreadable, 2 the library refused to
  start; the message is in the log and the Application event log.
)" : "");
    return text.c_str();
}

}  // namespace host
