// velkor-proxy: runs the proxy library from a configuration file, checks a
// configuration, or runs a self-contained demo.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "demo.h"
#include "options.h"
#include "platform.h"
#include "program.h"
#include "service_loop.h"
#include "velkor_proxy.h"

namespace {

// A real start, stopped at once: the only exact answer to whether the
// library takes the document, since it also loads the certificate and key
// and binds the ports.
int check_config(const host::HostOptions& opts, const std::string& doc) {
    if (proxy_start(doc.c_str()) != 0) {
        host::complain(opts.config_path + " rejected: " + proxy_last_error());
        return 1;
    }
    proxy_stop();
    host::say(opts.config_path + ": accepted (started and stopped again)");
    return 0;
}

int serve_config(const host::HostOptions& opts, const std::string& doc) {
    if (!host::start_proxy(doc)) {
        host::complain("cannot start: " + std::string(proxy_last_error()));
        return 1;
    }
    std::fprintf(opts.json ? stderr : stdout, "velkor-proxy %s serving %s. Ctrl-C stops.\n",
                 proxy_version(), opts.config_path.c_str());
    std::fflush(opts.json ? stderr : stdout);
    return host::run_until_stop_signal({opts.status_interval_ms, opts.json,
                                        opts.metrics_address, opts.metrics_port,
                                        opts.config_path, doc});
}

}  // namespace

namespace host {

bool read_file(const std::string& path, std::string& out, std::string& error) {
    std::FILE* in = open_file(path, "rb");
    if (in == nullptr) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) out.append(buf, n);
    bool ok = !std::ferror(in);
    std::fclose(in);
    if (!ok) error = "cannot read " + path;
    return ok;
}

int program_main(std::span<const char* const> args) {
    HostOptions opts;
    std::string error;
    if (!parse_host_options(args, opts, error)) {
        complain(error);
        return 2;
    }
    // A service takes its stop requests from the Service Control Manager;
    // the console's handling would also catch the system's shutdown notice.
    if (opts.mode == Mode::run_service) return run_as_service(opts);
    // Before any thread exists: see block_stop_signals.
    block_stop_signals();
    switch (opts.mode) {
        case Mode::help:
            std::fputs(host_usage(), stdout);
            return 0;
        case Mode::version:
            std::printf("velkor-proxy %s (library %s)\n", VELKOR_HOST_VERSION, proxy_version());
            return 0;
        case Mode::demo:
            return run_demo(opts);
        case Mode::install_service:
            return install_service(opts);
        case Mode::uninstall_service:
            return uninstall_service(opts.service_name);
        case Mode::run_service:
        case Mode::check:
        case Mode::serve_config:
            break;
    }
    std::string doc;
    if (!read_file(opts.config_path, doc, error)) {
        complain(error);
        return 1;
    }
    return opts.mode == Mode::check ? check_config(opts, doc) : serve_config(opts, doc);
}

}  // namespace host
