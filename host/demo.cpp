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

std::string demo_config(const DemoCert& cert, const DemoPorts& p) {
    auto route = [](const char* host, const char* prefix, int port) {
        return std::string("    {\"host\": \"") + host + "\", \"path_prefix\": \"" + prefix +
               "\", \"target_ip\": \"127.0.0.1\", \"target_port\": " +
               std::to_string(port) + "}";
    };
    std::string tls;
    if (cert.tls)
        tls = ",\n  \"http_redirect_port\": " + std::to_string(p.redirect) +
              ",\n  \"tls_cert\": \"" + cert.cert_path + "\",\n  \"tls_key\": \"" +
              cert.key_path + "\"";
    return "{\n  \"listen_port\": " + std::to_string(p.https) + tls +
           ",\n  \"routes\": [\n" + route("*", "/api", p.api) + ",\n" +
           route("", "/", p.web) + ",\n" + route("", "/offline", p.offline) + "\n  ]\n}\n";
}

void print_banner(const DemoCert& cert, const DemoPorts& p, bool json) {
    // With --json, stdout carries only report lines; the rest goes to stderr.
    auto out = [json](const std::string& line) {
        if (json) std::fprintf(stderr, "%s\n", line.c_str());
        else say(line);
    };
    std::string base = (cert.tls ? "https://localhost:" : "http://localhost:") +
                       std::to_string(p.https);
    std::string curl = cert.tls ? "  curl -k " : "  curl ";
    out(std::string("velkor-proxy ") + proxy_version() + " demo is running.");
    if (cert.tls)
        out("  " + base + "  (TLS, " + cert.origin + ")");
    else
        out("  " + base + "  (plain HTTP: no --cert/--key given, so no TLS and no "
            "redirect port)");
    if (cert.tls && p.redirect > 0)
        out("  http://localhost:" + std::to_string(p.redirect) + "  (plain HTTP, redirects to HTTPS)");
    out("  routes: /api     -> demo backend \"api\" on 127.0.0.1:" + std::to_string(p.api));
    out("          /        -> demo backend \"web\" on 127.0.0.1:" + std::to_string(p.web));
    out("          /offline -> 127.0.0.1:" + std::to_string(p.offline) +
        ", where nothing listens (answers 502, counts an error)");
    out("Try, in another terminal:");
    out(curl + base + "/api/hello");
    out(curl + base + "/");
    out(curl + base + "/offline");
    if (cert.tls && p.redirect > 0)
        out("  curl -i http://localhost:" + std::to_string(p.redirect) + "/api/hello");
    out("Ctrl-C stops.");
}

}  // namespace

int run_demo(const HostOptions& opts) {
    std::string error;
    DemoCert cert;
    if (!demo_certificate(opts, cert, error)) {
        complain(error);
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
    if (!start_proxy(demo_config(cert, ports))) {
        std::string message = proxy_last_error();
        complain("cannot start: " + message);
        if (message.starts_with("bind port"))
            complain(cert.tls ? "choose free ports with --port and --redirect-port"
                              : "choose a free port with --port");
        return 1;
    }
    print_banner(cert, ports, opts.json);
    // No file to re-read: a reload request stops the demo.
    int code = run_until_stop_signal({opts.status_interval_ms, opts.json, opts.metrics_address,
                                      opts.metrics_port, "", ""});
    api.stop();
    web.stop();
    return code;
}

}  // namespace host
