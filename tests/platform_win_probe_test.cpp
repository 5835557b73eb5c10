// Windows only: a readiness receive that cannot start, as Windows may refuse
// one, ends the wait once: with "ready" only for an error of the connection,
// which the next receive reports; otherwise the caller would find nothing
// to read and wait again at once, for ever.
#include <gtest/gtest.h>

#include "platform/win/readiness_probe.h"
#include "support/loopback.h"

namespace {

int g_error = 0;   // what the start fails with
int g_starts = 0;  // how often it was asked

int failing_start(plat::Socket, void*) {
    ++g_starts;
    return g_error;
}

TEST(PlatformWinProbe, AReceiveThatCannotStartEndsTheWaitOnce) {
    loopback::Fd listener(static_cast<int>(plat::tcp_socket()));
    int port = loopback::listen_on_loopback(listener.get(), 1);
    ASSERT_GT(port, 0);
    loopback::Fd client = loopback::connect_to(port);
    auto ours = plat::socket_accept(static_cast<plat::Socket>(listener.get()), nullptr, 0);
    ASSERT_NE(ours, plat::kNoSocket);
    loopback::Fd owned(static_cast<int>(ours));
    char byte;
    ASSERT_EQ(plat::socket_recv_nowait(ours, &byte, 1), plat::kWouldBlock);  // nothing to read
    const struct {
        int error;
        plat::Wait expected;
    } cases[] = {{10055, plat::Wait::kWoken},   // WSAENOBUFS
                 {10014, plat::Wait::kWoken},   // WSAEFAULT
                 {10054, plat::Wait::kReady}};  // WSAECONNRESET
    for (const auto& c : cases) {
        g_error = c.error;
        g_starts = 0;
        EXPECT_EQ(plat::wait_readable_probed_by(failing_start, ours, loopback::kWaitMs, nullptr),
                  c.expected) << "error " << c.error;
        EXPECT_EQ(g_starts, 1) << "error " << c.error;
    }
}

}  // namespace
