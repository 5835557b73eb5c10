// The Winsock half's decisions, fed with the rows, codes and flags Windows
// gives: tested in every build, since Wine cannot produce most of them.
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "platform/winsock_rules.h"

namespace {

using namespace plat::winsock;

// The members the decision reads, named as in MIB_TCPROW_OWNER_PID and
// MIB_TCP6ROW_OWNER_PID.
struct Row4 {
    std::uint32_t dwState;
    std::uint32_t dwLocalAddr;
    std::uint32_t dwLocalPort;
};
struct Row6 {
    std::uint32_t dwLocalPort;
    std::uint32_t dwState;
};

// dwLocalPort as the tables hold them (network byte order, low 16 bits).
constexpr std::uint32_t k8443 = 0xfb20;
constexpr std::uint32_t k9464 = 0xf824;
constexpr std::uint32_t kLoopback = 0x0100007f;

TEST(WinsockRules, APortIsHeldOnlyWhileAListenerOfEitherFamilyHasIt) {
    const struct {
        const char* what;
        std::vector<Row4> v4;
        std::vector<Row6> v6;
        int port;
        bool held;
    } cases[] = {
        {"another program on 127.0.0.1", {{kTcpStateListen, kLoopback, k8443}}, {}, 8443, true},
        {"a dual-stack listener shows in the IPv6 table only", {}, {{k8443, kTcpStateListen}},
         8443, true},
        {"connections of an earlier run still settling",
         {{kTcpStateTimeWait, kLoopback, k8443}}, {{k8443, kTcpStateTimeWait}}, 8443, false},
        {"listeners on other ports", {{kTcpStateListen, 0, k9464}}, {{k9464, kTcpStateListen}},
         8443, false},
        {"the port's bytes swapped are another port", {{kTcpStateListen, 0, k8443}}, {}, 0xfb20,
         false},
        {"nothing at all", {}, {}, 8443, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(port_has_listener(std::span<const Row4>(c.v4), std::span<const Row6>(c.v6),
                                    c.port),
                  c.held);
    }
}

TEST(WinsockRules, OnlyAConnectionErrorStartingAReadinessReceiveCountsAsReady) {
    const struct {
        int code;
        bool ready;
    } cases[] = {
        {10054, true},   // WSAECONNRESET
        {10053, true},   // WSAECONNABORTED
        {10052, true},   // WSAENETRESET
        {10050, true},   // WSAENETDOWN
        {10060, true},   // WSAETIMEDOUT
        {10101, true},   // WSAEDISCON
        {10058, true},   // WSAESHUTDOWN
        {10057, true},   // WSAENOTCONN
        {10035, false},  // WSAEWOULDBLOCK: too many operations in flight
        {10055, false},  // WSAENOBUFS
        {10014, false},  // WSAEFAULT
        {10022, false},  // WSAEINVAL
        {10038, false},  // WSAENOTSOCK
        {995, false},    // WSA_OPERATION_ABORTED
    };
    for (const auto& c : cases) {
        EXPECT_EQ(start_error_means_ready(c.code), c.ready) << "error " << c.code;
    }
}

TEST(WinsockRules, ProvidersWithoutIfsHandlesAreRefused) {
    const struct {
        const char* what;
        std::uint32_t flags;
        bool served;
    } cases[] = {
        {"Windows's own TCP provider", 0x00020066, true},
        {"a layered provider with IFS handles", 0x00020266, true},
        {"a layered provider without them", 0x00000066, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(provider_has_ifs_handles(c.flags), c.served) << c.what;
    }
}

}  // namespace
