// A minimal C++ host: the proxy as an RAII object that stops when it goes
// out of scope, with a failed start turned into an exception.
//
//   minimal_host_cpp [CONFIG.json]
//
// Without an argument it uses a small built-in document whose listen_port 0
// lets the system pick a free port.
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include <velkor_proxy.h>

class RunningProxy {
public:
    explicit RunningProxy(const std::string& config_json) {
        if (proxy_start(config_json.c_str()) != 0)
            throw std::runtime_error(proxy_last_error());
    }
    ~RunningProxy() { proxy_stop(); }
    RunningProxy(const RunningProxy&) = delete;
    RunningProxy& operator=(const RunningProxy&) = delete;

    // A copy: the library rewrites its report buffer on every call.
    std::string status_report() const { return proxy_runtime_status(); }
};

int main(int argc, char** argv) {
    std::string config = R"({"listen_port": 0,
        "routes": [{"host": "*", "path_prefix": "/", "target_port": 9000}]})";
    if (argc > 1) {
        std::ifstream in(argv[1], std::ios::binary);
        if (!in) {
            std::cerr << "cannot read " << argv[1] << "\n";
            return 1;
        }
        std::ostringstream text;
        text << in.rdbuf();
        config = text.str();
    }

    std::cout << "velkor-proxy library " << proxy_version() << "\n";
    try {
        RunningProxy proxy(config);
        std::cout << "running: " << proxy_status() << "\n";
        std::cout << "status: " << proxy.status_report() << "\n";
    } catch (const std::exception& e) {
        std::cerr << "start failed: " << e.what() << "\n";
        return 1;
    }
    std::cout << "running after stop: " << proxy_status() << "\n";
    return 0;
}
