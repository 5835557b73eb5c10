// Loopback test tools: free ports, client sockets with bounded waits, a small
// scripted backend, and checks that nothing was left running.
//
// Everything binds or connects to 127.0.0.1 only. Every wait takes a time-out
// in milliseconds; use the constants below rather than fixed sleeps.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace loopback {

// The one time-out that every bounded wait in the tests scales from.
constexpr int kWaitMs = 5000;

// A port that was free a moment ago (bind 127.0.0.1:0, read it back, close).
int free_port();

// Binds fd (a socket of the tests or of the platform layer) to 127.0.0.1 on
// a free port and listens with `backlog`; returns the port, or -1.
int listen_on_loopback(int fd, int backlog);

// Polls pred every few milliseconds until it is true or timeout_ms passed.
// Returns its last result.
bool wait_until(const std::function<bool()>& pred, int timeout_ms = kWaitMs);

// Threads of this process (support/process.h).
// The first call starts and joins one thread (see loopback.cpp).
int thread_count();

// Waits until the thread count is at most `limit` (threads may take a moment
// to vanish after they were joined or ended detached).
bool wait_threads_at_most(int limit, int timeout_ms = kWaitMs);

// An owned socket descriptor; closes it on destruction.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(o.release()) {}
    Fd& operator=(Fd&& o) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// A blocking TCP connection to 127.0.0.1:port, from the loopback address
// `from` (such as "127.0.0.2": another client address) when given; an
// invalid Fd on failure.
Fd connect_to(int port, const char* from = nullptr);

// Sends every byte (never raises SIGPIPE). False when a send failed.
bool send_all(int fd, std::string_view data);

// Half-closes the sending side (the peer reads end of stream).
void shutdown_write(int fd);

// Closes with an abortive close: the peer sees a reset, not an end of stream.
void reset_close(Fd& fd);

// True when an abortive close reaches the peer as a reset, as on Linux and
// Windows. Wine sends an orderly end instead; tests of a cut skip there.
// Measured once, on a loopback pair.
bool abortive_close_resets();

// Reads until done(bytes so far) is true, the peer closes, or timeout_ms
// passed since the call. Returns everything read.
std::string recv_until(int fd, const std::function<bool(const std::string&)>& done,
                       int timeout_ms = kWaitMs);
// The same, until `marker` has been received.
std::string recv_until(int fd, std::string_view marker, int timeout_ms = kWaitMs);

// Reads until the peer closes (end of stream or reset) or timeout_ms passed.
// *closed (when given) tells which of the two ended the read.
std::string recv_all_until_close(int fd, int timeout_ms = kWaitMs, bool* closed = nullptr);

// True when the peer has closed (or reset) the connection within timeout_ms
// and sent nothing more before; false when data arrived or the time ran out.
bool peer_closed(int fd, int timeout_ms = kWaitMs);

// A TCP server on 127.0.0.1 that plays a backend. Each accepted connection
// gets a thread of its own that runs the behaviour given at construction.
// The destructor stops accepting, wakes and joins every connection thread.
class TestBackend {
public:
    // What a recording connection does with the bytes it receives.
    struct Script {
        std::string reply;            // sent once the first "\r\n\r\n" arrived
        bool close_after_reply = false;
        bool echo = false;            // send back every byte after the first head
        bool close_at_once = false;   // close right after accepting
    };
    // A custom connection body: it owns nothing; the backend closes fd after
    // it returns. It must return when a recv/send on fd fails.
    using Handler = std::function<void(int fd)>;

    TestBackend();                       // records only
    explicit TestBackend(Script script);
    explicit TestBackend(Handler handler);
    ~TestBackend();
    TestBackend(const TestBackend&) = delete;
    TestBackend& operator=(const TestBackend&) = delete;

    int port() const { return port_; }

    // Connections accepted so far.
    int accepted() const { return accepted_.load(); }
    bool wait_accepted(int n, int timeout_ms = kWaitMs) const;

    // Bytes that connection i (0-based, in accept order) has received so far;
    // empty when there is no such connection.
    std::string received(int i) const;
    // Waits until connection i has received at least n bytes.
    bool wait_received(int i, size_t n, int timeout_ms = kWaitMs) const;
    // Waits until connection i's bytes contain `marker`.
    bool wait_received(int i, std::string_view marker, int timeout_ms = kWaitMs) const;
    // True once connection i has seen its peer close (or fail).
    bool peer_gone(int i) const;

    // Closes connection i in an orderly way (FIN) or abortively (RST).
    void close_connection(int i);
    void reset_connection(int i);

private:
    struct Conn;
    void start_listening();
    void accept_main();
    void serve(Conn& c);
    void record(Conn& c);
    Conn* conn_at(int i) const;
    void request(int i, int action);

    Script script_;
    Handler handler_;
    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    mutable std::mutex lock_;
    std::vector<std::unique_ptr<Conn>> conns_;
    std::thread acceptor_;
};

}  // namespace loopback
