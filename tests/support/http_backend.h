// A keep-alive HTTP/1.1 backend for the request tests: it reads each request
// on a connection (its head, then a Content-Length or chunked body) and
// answers by the target, so that a test sees which backend answered which
// request with which X-Forwarded-For:
//   HEAD anything    200 with Content-Length: 1234 and no body
//   /status/204      204;  /status/304: 304 (neither has a body)
//   /chunked...      200 with a chunked body and a trailer
//   /ws              with "Upgrade: websocket": 101, then echoes every byte;
//                    without: 426 Upgrade Required
//   /early           413 at once, without reading the body
//   anything else    200 with the body "<name> <method> <target> body=<n>
//                    xff=<X-Forwarded-For>"
// A request that asks "Expect: 100-continue" gets a 100 first.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "support/loopback.h"

namespace httptest {

class HttpBackend {
public:
    explicit HttpBackend(std::string name);
    int port() const { return server_->port(); }
    int accepted() const { return server_->accepted(); }
    // Every byte connection i (in the order they began) received.
    std::string received(int i) const;
    bool wait_received(int i, std::string_view marker, int timeout_ms = loopback::kWaitMs) const;

private:
    void serve(int fd);

    std::string name_;
    mutable std::mutex lock_;
    std::vector<std::string> received_;
    std::unique_ptr<loopback::TestBackend> server_;  // last: its threads use the rest
};

// The body of the default answer.
std::string body_of(std::string_view name, std::string_view method, std::string_view target,
                    size_t body_bytes, std::string_view xff = "127.0.0.1");
// The whole default answer.
std::string answer_of(std::string_view name, std::string_view method, std::string_view target,
                      size_t body_bytes = 0, std::string_view xff = "127.0.0.1");

}  // namespace httptest
