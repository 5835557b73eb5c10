// The host program's calls into the operating system, one implementation per
// system: host/platform/posix on Linux, host/platform/win on Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>

namespace host {

struct HostOptions;

// Makes Ctrl-C (and the system's other polite stop requests) reach only
// wait_for_request. Called at the start of main, before any thread.
void install_stop_request_handling();

enum class Request { none, stop, reload };

// Waits up to ms for a request: Request::none when none arrived. A reload
// is a hang-up while no terminal is on stdin (a supervisor's "re-read your
// configuration"); Windows has no such signal and never reports one.
Request wait_for_request(int ms);

// True when the last stop request warned that the system ends the program
// soon whatever it does (a console window closing, or a shutdown): the
// counters are then shown before the stop's drain rather than after it.
bool stop_request_is_urgent();

// Raises the soft limit on open descriptors to the hard limit and returns
// the limit now in force; -1 where the system sets none (Windows, whose
// sockets are handles without such a limit). The library changes no process
// limit: raising it is the host's part.
long long raise_descriptor_limit();

// fopen for a file named by a UTF-8 path; on Windows a wide-text call, so a
// name in any script opens whatever the code page.
std::FILE* open_file(const std::string& path, const char* mode);

// The Windows service: registering it, removing it (stopping it first) and
// running as it under the Service Control Manager. Exit status as main's.
// Elsewhere the options that lead here are refused while parsing.
int install_service(const HostOptions& opts);
int uninstall_service(const std::string& name);
int run_as_service(const HostOptions& opts);

// Whether stdout / stderr is a terminal that understands the cursor movements
// of the in-place status view.
bool stdout_is_terminal();
bool stderr_is_terminal();

// Columns of the terminal on stdout, less one so that no line wraps and the
// in-place redraw can count its lines; 0 when unknown.
size_t terminal_width();

// The local time of day of t.
std::tm local_time(std::time_t t);

// Loopback TCP sockets of the demo backends. A socket is a descriptor on
// POSIX and a SOCKET on Windows; both fit this integer.
using Socket = std::intptr_t;
constexpr Socket kNoSocket = -1;

// A socket bound to 127.0.0.1 with a port the system picks, or kNoSocket.
Socket bind_loopback(int& port);

// A socket bound to an IPv4 address (dotted decimal) and port, or kNoSocket
// with error set to the system's message.
Socket bind_address(const std::string& address, int port, std::string& error);

// Bounds each send on s, so that a client that stops reading cannot hold
// up the sender for ever.
void limit_send_time(Socket s, int ms);

// Starts listening; false with error set to the system's message.
bool listen_on(Socket s, int backlog, std::string& error);

// What lets another thread end a wait in accept_client (wake_accept), also
// one that has not begun yet. On Windows the two events the wait sleeps on:
// its accept's and the stop's, which stays set; on POSIX nothing (a
// shutdown of the listener wakes accept there).
class AcceptWake {
public:
    AcceptWake();
    ~AcceptWake();
    AcceptWake(const AcceptWake&) = delete;
    AcceptWake& operator=(const AcceptWake&) = delete;

    void* accept_event() const { return accept_; }
    void* stop_event() const { return stop_; }

private:
    void* accept_ = nullptr;
    void* stop_ = nullptr;
};

// The next client, or kNoSocket on a failure that is not worth a message or
// once `wake` was woken; the caller then looks whether to stop.
Socket accept_client(Socket listener, AcceptWake& wake);

// Makes a thread blocked in accept_client on this listener and `wake`
// return, now or when it next calls it.
void wake_accept(Socket listener, int port, AcceptWake& wake);

// Waits up to ms for data and reads up to len bytes of it. Returns the count
// read, 0 when interrupted before anything came (try again), -1 on time-out,
// close or error.
long receive_within(Socket s, char* buf, size_t len, int ms);

void send_all(Socket s, std::string_view data);

// Says that nothing more will be sent (the peer reads end-of-file).
void shutdown_send(Socket s);

void close_socket(Socket s);

}  // namespace host
