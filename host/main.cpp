// velkor-proxy: runs the proxy library from a configuration file, checks a
// configuration, or runs a self-contained demo.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "demo.h"
#include "options.h"
#include "service_loop.h"
#include "velkor_proxy.h"

namespace {

bool read_file(const std::string& path, std::string& out, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    out = text.str();
    return true;
}

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
    if (proxy_start(doc.c_str()) != 0) {
        host::complain("cannot start: " + std::string(proxy_last_error()));
        return 1;
    }
    std::fprintf(opts.json ? stderr : stdout, "velkor-proxy %s serving %s. Ctrl-C stops.\n",
                 proxy_version(), opts.config_path.c_str());
    std::fflush(opts.json ? stderr : stdout);
    return host::run_until_stop_signal({opts.status_interval_ms, opts.json});
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread exists: see block_stop_signals.
    host::block_stop_signals();

    std::vector<const char*> args(argv + 1, argv + argc);
    host::HostOptions opts;
    std::string error;
    if (!host::parse_host_options(args, opts, error)) {
        host::complain(error);
        return 2;
    }
    switch (opts.mode) {
        case host::Mode::help:
            std::fputs(host::host_usage(), stdout);
            return 0;
        case host::Mode::version:
            std::printf("velkor-proxy %s (library %s)\n", VELKOR_HOST_VERSION, proxy_version());
            return 0;
        case host::Mode::demo:
            return host::run_demo(opts);
        case host::Mode::check:
        case host::Mode::serve_config:
            break;
    }
    std::string doc;
    if (!read_file(opts.config_path, doc, error)) {
        host::complain(error);
        return 1;
    }
    return opts.mode == host::Mode::check ? check_config(opts, doc) : serve_config(opts, doc);
}
