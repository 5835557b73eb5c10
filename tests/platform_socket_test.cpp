// The platform layer's blocking calls on real loopback sockets, the same on
// Linux and Windows: every way another thread ends a blocked call, timed
// joins and word waits, connects that are refused or never answered, and a
// peer that resets the connection.
//
// The sockets the calls block on are made by the platform layer itself, so
// that they are set up as the library's own are (on Windows: non-blocking,
// every blocking call an overlapped operation or a network-event wait).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/socket.h"
#include "platform/thread.h"
#include "support/loopback.h"
#include "support/ports.h"
#include "support/resources.h"
#include "support/sockets.h"

namespace {

using Clock = std::chrono::steady_clock;
using loopback::Fd;
using loopback::kWaitMs;

// A woken call must end within this: every wake ends a sleeping wait at once,
// on Linux and on Windows alike.
constexpr int kWakeBoundMs = 100;
// Slack for timed calls that end on their own: a loaded machine may be late.
constexpr int kLateMs = 1000;
// How long a call must stay blocked before it is woken: it shows that the
// call really waits, and that the wake ends a call already under way.
constexpr int kBlockedMs = 100;

// Tests hold sockets as int (support/sockets.h); a Windows socket fits.
plat::Socket as_plat(int fd) { return static_cast<plat::Socket>(fd); }
int as_fd(plat::Socket s) { return static_cast<int>(s); }

long ms_since(Clock::time_point t) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// Microseconds, for the figures: most wakes take well under a millisecond.
long long us_since(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t).count();
}

// Runs `call` on a thread of its own and keeps its result. The thread uses no
// GoogleTest macro (on Windows that would leave a watcher thread behind).
class Blocked {
public:
    explicit Blocked(std::function<bool()> call)
        : thread_([this, call = std::move(call)] {
              bool ok = call();
              std::lock_guard<std::mutex> hold(lock_);
              ok_ = ok;
              done_ = true;
              changed_.notify_all();
          }) {}
    ~Blocked() { thread_.join(); }
    Blocked(const Blocked&) = delete;
    Blocked& operator=(const Blocked&) = delete;

    // True when the call returned within timeout_ms.
    bool ends_within(int timeout_ms) {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                                 [&] { return done_; });
    }
    bool ended_as_expected() {
        std::lock_guard<std::mutex> hold(lock_);
        return done_ && ok_;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool done_ = false;
    bool ok_ = false;
    std::thread thread_;  // last: starts once the rest is ready
};

// A connection on 127.0.0.1: `ours` made and connected by the platform
// layer, `peer` a plain blocking socket of the tests.
struct Pair {
    Fd ours;
    Fd peer;
    plat::Socket s() const { return as_plat(ours.get()); }
};

Pair connected_pair() {
    Fd listener(sockets::tcp_socket());
    int port = loopback::listen_on_loopback(listener.get(), 1);
    Pair p;
    p.ours = Fd(as_fd(plat::tcp_socket()));
    if (port < 0 || !p.ours.valid() ||
        !plat::socket_connect_timed(p.s(), "127.0.0.1", port, kWaitMs)) {
        return {};
    }
    p.peer = Fd(sockets::accept(listener.get()));
    return p;
}

// The most a pair's buffers hold once fill_send_buffer has shrunk them is
// far below this, so a send of it blocks until the peer reads.
constexpr size_t kMoreThanBuffered = 32u << 20;

// Shrinks the pair's buffers, then sends without waiting until ours stays
// unwritable (the peer reads nothing): a later send or wait for room then
// blocks. Without the shrinking, the system may grow the buffers and let a
// send through long after the last one failed.
void fill_send_buffer(Pair& p) {
    static const std::vector<char> chunk(64 * 1024, 'x');
    const int size = 64 * 1024;
    sockets::set_option(p.ours.get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    sockets::set_option(p.peer.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    auto begin = Clock::now();
    while (ms_since(begin) < kWaitMs) {
        while (plat::socket_send_nowait(p.s(), chunk.data(), chunk.size()) > 0) {
        }
        if (sockets::wait(p.ours.get(), POLLOUT, 100) == 0) return;
    }
}

// True when the peer reads neither an end of the stream nor a reset: it takes
// whatever bytes arrive until the connection has been quiet for a moment.
bool peer_sees_no_end(int peer) {
    char buf[16384];
    auto begin = Clock::now();
    while (ms_since(begin) < kWaitMs) {
        if (sockets::wait(peer, POLLIN, 200) == 0) return true;
        if (sockets::recv(peer, buf, sizeof buf) <= 0) return false;
    }
    return false;
}

// A listener on 127.0.0.1 that never accepts, with its accept queue full: a
// further connect to it neither completes nor fails. The fillers are kept
// open for as long as the listener.
struct FullListener {
    Fd listener;
    std::vector<Fd> fillers;
    int port = -1;
    bool full = false;

    FullListener() : listener(sockets::tcp_socket()) {
        port = loopback::listen_on_loopback(listener.get(), 0);
        if (port < 0) return;
        for (int i = 0; i < 16 && !full; ++i) {
            Fd f(sockets::tcp_socket());
            sockets::set_nonblocking(f.get());
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            to.sin_port = htons(static_cast<uint16_t>(port));
            bool completed = sockets::connect(f.get(), to) == 0;
            if (!completed && sockets::would_block()) {
                completed = sockets::wait(f.get(), POLLOUT, 300) > 0;
            }
            full = !completed;
            fillers.push_back(std::move(f));
        }
    }
};

// The sockets and the Wake a woken call works with; each case uses its part.
struct Scene {
    Pair pair;
    Fd listener;   // a listener of the platform layer, as a service's
    Fd client;     // connected to it and accepted as `accepted`
    Fd accepted;
    plat::Wake word;  // the `woken` or `stop` Wake
    std::unique_ptr<FullListener> unanswered;
    Fd connecting;  // connects to `unanswered`
};

struct WakeCase {
    const char* key;    // names the measured figure
    const char* what;
    std::function<void(Scene&)> prepare;
    std::function<bool(Scene&)> call;  // blocks; true when it ended as it should
    std::function<void(Scene&)> wake;
    bool peer_untouched;  // the wake sends the peer nothing
};

// As a stop ends a listener thread: the word first, then the shutdown.
void stop_listening(Scene& sc) {
    sc.word.set();
    plat::socket_shutdown(as_plat(sc.listener.get()));
}

void listen_with_a_client(Scene& sc) {
    sc.listener = Fd(as_fd(plat::tcp_socket()));
    int port = loopback::listen_on_loopback(sc.listener.get(), 4);
    ASSERT_GT(port, 0);
    sc.client = loopback::connect_to(port);
    ASSERT_TRUE(sc.client.valid());
    sc.accepted = Fd(as_fd(plat::socket_accept(as_plat(sc.listener.get()), nullptr, 0)));
    ASSERT_TRUE(sc.accepted.valid());
}

std::vector<WakeCase> wake_cases() {
    static const std::vector<char> big(kMoreThanBuffered, 'y');
    auto nothing = [](Scene&) {};
    auto wake = [](Scene& sc) { plat::socket_wake(sc.pair.s(), sc.word); };
    return {
        {"wake_recv", "socket_wake ends a blocked socket_recv with 0", nothing,
         [](Scene& sc) {
             char c;
             return plat::socket_recv(sc.pair.s(), &c, 1, &sc.word) == 0;
         },
         wake, true},
        {"wake_wait_readable", "socket_wake ends wait_readable with kWoken", nothing,
         [](Scene& sc) {
             return plat::wait_readable(sc.pair.s(), -1, &sc.word) == plat::Wait::kWoken;
         },
         wake, true},
        {"wake_send_room", "socket_wake ends a wait for room after a handover with kWoken",
         [](Scene& sc) { fill_send_buffer(sc.pair); },
         [](Scene& sc) {
             plat::SendSlot slot;
             bool ok = plat::send_slot_open(slot) &&
                       plat::socket_send_handover(sc.pair.s(), slot, big.data(), 65536) ==
                           plat::kWouldBlock &&
                       plat::wait_send_room(sc.pair.s(), slot, -1, &sc.word) == plat::Wait::kWoken;
             plat::send_slot_close(sc.pair.s(), slot);
             return ok;
         },
         wake, true},
        {"wake_send_all", "socket_wake ends send_all on a full socket with false",
         [](Scene& sc) { fill_send_buffer(sc.pair); },
         [](Scene& sc) {
             return !plat::socket_send_all(sc.pair.s(), big.data(), big.size(), &sc.word);
         },
         wake, true},
        {"stop_connect", "a stop ends a connect that is never answered with false",
         [](Scene& sc) {
             sc.unanswered = std::make_unique<FullListener>();
             sc.connecting = Fd(as_fd(plat::tcp_socket()));
         },
         [](Scene& sc) {
             return sc.unanswered->full &&
                    !plat::socket_connect_timed(as_plat(sc.connecting.get()), "127.0.0.1",
                                                sc.unanswered->port, 4 * kWaitMs, &sc.word);
         },
         // As stop ends a connection: the client woken, the backend shut down.
         [](Scene& sc) {
             plat::socket_wake(sc.pair.s(), sc.word);
             plat::socket_shutdown(as_plat(sc.connecting.get()));
         },
         false},
        {"shutdown_send_all", "socket_shutdown ends send_all on a full socket with false",
         [](Scene& sc) { fill_send_buffer(sc.pair); },
         [](Scene& sc) { return !plat::socket_send_all(sc.pair.s(), big.data(), big.size()); },
         [](Scene& sc) { plat::socket_shutdown(sc.pair.s()); }, false},
        {"shutdown_recv", "socket_shutdown ends a blocked socket_recv with 0", nothing,
         [](Scene& sc) {
             char c;
             return plat::socket_recv(sc.pair.s(), &c, 1) == 0;
         },
         [](Scene& sc) { plat::socket_shutdown(sc.pair.s()); }, false},
        {"stop_accept", "a stop ends socket_accept with no socket",
         [](Scene& sc) { listen_with_a_client(sc); },
         [](Scene& sc) {
             // The client waiting from the setup was taken; no other comes.
             return plat::socket_accept(as_plat(sc.listener.get()), nullptr, 0, &sc.word) ==
                    plat::kNoSocket;
         },
         stop_listening, false},
        {"stop_wait_listening", "a stop ends wait_readable_while_listening with kWoken",
         [](Scene& sc) { listen_with_a_client(sc); },
         [](Scene& sc) {
             return plat::wait_readable_while_listening(as_plat(sc.accepted.get()),
                                                        as_plat(sc.listener.get()), -1,
                                                        &sc.word) == plat::Wait::kWoken;
         },
         stop_listening, false},
    };
}

class PlatformSockets : public ::testing::Test {
protected:
    void SetUp() override {
        threads_before_ = loopback::thread_count();
        fds_before_ = ports::open_descriptor_count();
    }
    void TearDown() override {
        EXPECT_TRUE(loopback::wait_threads_at_most(threads_before_)) << "a thread was left";
        EXPECT_EQ(ports::open_descriptor_count(), fds_before_) << "a socket was left open";
    }

private:
    int threads_before_ = 0;
    int fds_before_ = 0;
};

TEST_F(PlatformSockets, EveryWakeEndsItsBlockedCallPromptly) {
    for (const WakeCase& c : wake_cases()) {
        SCOPED_TRACE(c.what);
        Scene sc;
        sc.pair = connected_pair();
        ASSERT_TRUE(sc.pair.ours.valid() && sc.pair.peer.valid());
        c.prepare(sc);
        if (HasFatalFailure()) return;
        long long took_us = -1;
        {
            Blocked blocked([&] { return c.call(sc); });
            bool still_blocked = !blocked.ends_within(kBlockedMs);
            EXPECT_TRUE(still_blocked) << "the call returned before it was woken";
            auto begin = Clock::now();
            c.wake(sc);
            if (blocked.ends_within(kWakeBoundMs)) {
                took_us = us_since(begin);
            } else {
                ADD_FAILURE() << "the wake did not end the call";
                // Free the thread so that the test can end: every call gives
                // up once its socket is shut down and the peer has gone.
                sc.word.set();
                plat::socket_shutdown(sc.pair.s());
                sc.pair.peer.reset();
                sc.client.reset();
                EXPECT_TRUE(blocked.ends_within(kWaitMs)) << "the test cannot end";
            }
            EXPECT_TRUE(blocked.ended_as_expected()) << "the call returned another result";
        }
        if (took_us < 0) continue;  // failed above; the peer is gone
        EXPECT_LT(took_us, kWakeBoundMs * 1000LL);
        resources::report_figure(std::string("wake_us.") + c.key, std::to_string(took_us));
        if (c.peer_untouched) {
            EXPECT_TRUE(peer_sees_no_end(sc.pair.peer.get()))
                << "the wake ended the stream the peer reads";
        }
    }
}

// A peer that closes abortively fails the receive, as a reset: whether the
// reset arrives before the receive starts or while it waits.
TEST_F(PlatformSockets, AResetPeerFailsTheReceiveAsAReset) {
    if (!loopback::abortive_close_resets()) {
        GTEST_SKIP() << "an abortive close reaches the peer as an orderly end here (Wine)";
    }
    const struct {
        const char* what;
        bool blocked_first;
    } cases[] = {
        {"reset before the receive", false},
        {"reset during a blocked receive", true},
    };
    auto reset_is_seen = [](plat::Socket s) {
        char c;
        long n = plat::socket_recv(s, &c, 1);
        return n < 0 && plat::last_error_was_reset();  // on the thread that received
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Pair p = connected_pair();
        ASSERT_TRUE(p.ours.valid() && p.peer.valid());
        if (!c.blocked_first) {
            loopback::reset_close(p.peer);
            ASSERT_NE(plat::wait_readable(p.s(), kWaitMs), plat::Wait::kTimeout);
            EXPECT_TRUE(reset_is_seen(p.s()));
            continue;
        }
        Blocked blocked([&] { return reset_is_seen(p.s()); });
        EXPECT_FALSE(blocked.ends_within(kBlockedMs));
        loopback::reset_close(p.peer);
        EXPECT_TRUE(blocked.ends_within(kWaitMs));
        EXPECT_TRUE(blocked.ended_as_expected());
    }
}

// A refused connect fails at once; an unanswered one fails once its time
// is up, not before and not much later.
TEST_F(PlatformSockets, ConnectsThatAreRefusedOrNeverAnsweredFail) {
    const int refused_port = loopback::free_port();  // nothing listens there
    ASSERT_GT(refused_port, 0);
    FullListener unanswered;
    const struct {
        const char* what;
        int port;
        int limit_ms;
        long at_least_ms;
        long below_ms;
    } cases[] = {
        // Windows itself tries a refused connect again for a second or
        // two; Linux and Wine fail it at once.
        {"refused", refused_port, 4 * kWaitMs, 0, 2 * kWaitMs},
        {"unanswered", unanswered.port, 300, 280, 300 + kLateMs},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.port == unanswered.port && !unanswered.full) {
            ADD_FAILURE() << "no connect to a listener that never accepts stayed unanswered";
            continue;
        }
        Fd s(as_fd(plat::tcp_socket()));
        ASSERT_TRUE(s.valid());
        auto begin = Clock::now();
        EXPECT_FALSE(plat::socket_connect_timed(as_plat(s.get()), "127.0.0.1", c.port, c.limit_ms));
        long took = ms_since(begin);
        EXPECT_GE(took, c.at_least_ms);
        EXPECT_LT(took, c.below_ms);
        resources::report_figure(std::string("connect_fail_ms.") + c.what, std::to_string(took));
    }
}

// A thread whose body is still blocked is not joined within a short wait
// and stays joinable; once released, a later join takes it.
TEST(PlatformThreads, ATimedJoinRunsOutWhileTheBodyBlocks) {
    int threads_before = loopback::thread_count();
    std::atomic<int> release{0};
    plat::Thread t;
    ASSERT_TRUE(t.start(
        [](void* r) { plat::wait_on_word(*static_cast<std::atomic<int>*>(r), 0, -1); }, &release,
        plat::kRelayStack));
    auto begin = Clock::now();
    EXPECT_FALSE(t.join_for(100));
    long took = ms_since(begin);
    EXPECT_GE(took, 80);  // a system tick early at most
    EXPECT_LT(took, 100 + kLateMs);
    EXPECT_TRUE(t.joinable());
    release.store(1);
    plat::wake_word(&release);
    EXPECT_TRUE(t.join_for(kWaitMs));
    EXPECT_FALSE(t.joinable());
    EXPECT_TRUE(loopback::wait_threads_at_most(threads_before));
}

// wait_on_word ends with true soon after another thread changes the word and
// wakes it, and with false once its time is up when nobody does.
TEST(PlatformThreads, AWordWaitEndsOnAChangeOrItsTimeout) {
    const struct {
        const char* what;
        bool changed;
        int timeout_ms;
    } cases[] = {
        {"changed and woken", true, kWaitMs},
        {"left alone", false, 150},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::atomic<int> word{0};
        auto begin = Clock::now();
        long took = -1;
        {
            Blocked waiter([&] {
                bool result = plat::wait_on_word(word, 0, c.timeout_ms);
                return result == c.changed;
            });
            if (c.changed) {
                EXPECT_FALSE(waiter.ends_within(kBlockedMs));
                begin = Clock::now();
                word.store(1);
                plat::wake_word(&word);
            }
            EXPECT_TRUE(waiter.ends_within(c.timeout_ms + kWaitMs));
            took = ms_since(begin);
            EXPECT_TRUE(waiter.ended_as_expected());
        }
        if (c.changed) {
            EXPECT_LT(took, kWakeBoundMs);
        } else {
            EXPECT_GE(took, c.timeout_ms - 20);  // a system tick early at most
            EXPECT_LT(took, c.timeout_ms + kLateMs);
        }
    }
}

}  // namespace
