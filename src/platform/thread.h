// Threads and pauses.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace plat {

using ThreadBody = void (*)(void* arg);

// Stack sizes. The library runs one thread per connection plus one relay
// thread, so stacks are kept small; the largest frames are the fixed
// buffers of the data path and the TLS handshake.
constexpr size_t kListenerStack = 256 * 1024;
constexpr size_t kConnectionStack = 128 * 1024;
constexpr size_t kRelayStack = 64 * 1024;

// A joinable thread with a timed join. A join waits for the thread to have
// left every line of the library's code, so that a host may unload the
// library once every thread is joined.
class Thread {
public:
    Thread() = default;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    // A thread never joined is let go (a process that exits with the service
    // running must not wait for it); its shared record is left to it.
    ~Thread();

    bool start(ThreadBody body, void* arg, size_t stack_size);
    // Waits up to timeout_ms (< 0: no limit, on a clock no wall-clock change
    // moves) for the body to return, then joins the thread. True when it was
    // joined; false when the time ran out: it is still running and may be
    // joined by a later call.
    bool join_for(int timeout_ms);
    bool joinable() const { return control_ != nullptr; }

    struct Control;  // shared by the thread and this object

private:
    std::uintptr_t id_ = 0;  // a pthread_t, or a thread HANDLE on Windows
    Control* control_ = nullptr;
};

void sleep_ms(int ms);

// Sleeps while `word` holds `expected`, at most timeout_ms (< 0: no limit).
// True once the word holds another value, false when the time ran out. A
// thread that changes the word calls wake_word afterwards.
bool wait_on_word(std::atomic<int>& word, int expected, int timeout_ms);

// Wakes one thread sleeping in wait_on_word on `word`. It reads nothing at
// that address, so it may be called after the word's owner has moved on.
void wake_word(std::atomic<int>* word);

}  // namespace plat
