// The service fixture of the fault, load and resource tests: on top of
// nettest::Service (a free port, a stop at the end, no thread left over) it
// raises the descriptor limit, insists that SIGPIPE is armed, and checks at
// the end that the process holds no more descriptors or threads than before.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "net_service.h"
#include "support/certs.h"
#include "support/resources.h"

namespace hardening {

class GuardedService : public nettest::Service {
protected:
    void SetUp() override {
        resources::raise_descriptor_limit();
        // A send that raised SIGPIPE would kill the test binary, which is the
        // point: the library must never depend on the host ignoring it.
        ASSERT_TRUE(resources::sigpipe_is_fatal()) << "SIGPIPE is ignored or blocked";
        nettest::Service::SetUp();
        before_ = resources::usage();
    }

    void TearDown() override {
        nettest::Service::TearDown();
        EXPECT_TRUE(resources::wait_back_to(before_, loopback::kWaitMs))
            << "before: " << resources::describe(before_)
            << "; after: " << resources::describe(resources::usage());
    }

    // The members that turn TLS on with the test's ECDSA pair.
    static std::string tls_members() {
        const testcerts::CertFiles& files = testcerts::cert_files();
        return ",\"tls_cert\":\"" + files.ec_cert + "\",\"tls_key\":\"" + files.ec_key + "\"";
    }

    bool start_tls(const std::vector<nettest::RouteSpec>& routes, const std::string& extra = "") {
        if (testcerts::cert_files().ec_cert.empty()) return false;
        return start(routes, tls_members() + extra);
    }

    resources::Usage before_;
};

}  // namespace hardening
