#include "demo.h"

#include <cstdio>
#include <string>

#include "demo_backends.h"
#include "demo_cert.h"
#include "service_loop.h"
#include "velkor_proxy.h"

namespace host {
namespace {

struct DemoPorts {
    int https;
    int redirect;
    int api;
    int web;
    int offline;
};

// The library takes the document's strings as they are written, without
// decoding escapes, so a path can only be passed when it needs none.
bool fits_json_string(const std::string& text) {
    for (char c : text)
        if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20) return false;
    return true;
}

std::string demo_config(const DemoCert& cert, const DemoPorts& p) {
    auto route = [](const char* host, const char* prefix, int port) {
        return std::string("    {\"host\": \"") + host + "\", \"path_prefix\": \"" + prefix +
               "\", \"target_ip\": \"127.0.0.1\", \"target_port\": " +
               std::to_string(port) + "}";
    };
    return "{\n  \"listen_port\": " + std::to_string(p.https) +
           ",\n  \"http_redirect_port\": " + std::to_string(p.redirect) +
           ",\n  \"tls_cert\": \"" + cert.cert_path + "\",\n  \"tls_key\": \"" +
           cert.key_path + "\",\n  \"routes\": [\n" + route("*", "/api", p.api) + ",\n" +
           route("", "/", p.web) + ",\n" + route("", "/offline", p.offline) + "\n  ]\n}\n";
}

void print_banner(const DemoCert& cert, bool created, const DemoPorts& p, bool json) {
    // With --json, stdout carries only report lines; the rest goes to stderr.
    auto out = [json](const std::string& line) {
        if (json) std::fprintf(stderr, "%s\n", line.c_str());
        else say(line);
    };
    std::string base = "https://localhost:" + std::to_string(p.https);
    out(std::string("velkor-proxy ") + proxy_version() + " demo is running.");
    out("  " + base + "  (TLS, self-signed certificate " +
        (created ? "made now" : "from") + " in " + cert.dir + ")");
    if (p.redirect > 0)
        out("  http://localhost:" + std::to_string(p.redirect) + "  (plain HTTP, redirects to HTTPS)");
    out("  routes: /api     -> demo backend \"api\" on 127.0.0.1:" + std::to_string(p.api));
    out("          /        -> demo backend \"web\" on 127.0.0.1:" + std::to_string(p.web));
    out("          /offline -> 127.0.0.1:" + std::to_string(p.offline) +
        ", where nothing listens (answers 502, counts an error)");
    out("Try, in another terminal:");
    out("  curl -k " + base + "/api/hello");
    out("  curl -k " + base + "/");
    out("  curl -k " + base + "/offline");
    if (p.redirect > 0)
        out("  curl -i http://localhost:" + std::to_string(p.redirect) + "/api/hello");
    out("Ctrl-C stops.");
}

}  // namespace

int run_demo(const HostOptions& opts) {
    std::string error;
    std::string dir;
    DemoCert cert;
    bool created = false;
    if (!demo_cache_dir(dir, error) || !ensure_demo_cert(dir, cert, created, error)) {
        complain(error);
        return 1;
    }
    if (!fits_json_string(cert.cert_path) || !fits_json_string(cert.key_path)) {
        complain("the cache directory " + dir + " has a quote, backslash or control "
                 "character in its path; set XDG_CACHE_HOME to another directory");
        return 1;
    }

    DemoBackend api, web;
    if (!api.start("api", error) || !web.start("web", error)) {
        complain(error);
        return 1;
    }
    DemoPorts ports{opts.port, opts.redirect_port, api.port(), web.port(),
                    unused_loopback_port()};
    if (ports.offline == 0) {
        complain("no free port on 127.0.0.1 for the /offline route");
        return 1;
    }
    if (proxy_start(demo_config(cert, ports).c_str()) != 0) {
        std::string message = proxy_last_error();
        complain("cannot start: " + message);
        if (message.starts_with("bind port"))
            complain("choose free ports with --port and --redirect-port");
        return 1;
    }
    print_banner(cert, created, ports, opts.json);
    int code = run_until_stop_signal({opts.status_interval_ms, opts.json});
    api.stop();
    web.stop();
    return code;
}

}  // namespace host
