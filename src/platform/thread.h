// Threads and pauses.
#pragma once

#include <atomic>
#include <cstddef>

namespace plat {

using ThreadBody = void (*)(void* arg);

// Stack sizes. The library runs one thread per connection plus one relay
// thread, so stacks are kept small; the largest frames are the fixed
// buffers of the data path and the TLS handshake.
constexpr size_t kListenerStack = 256 * 1024;
constexpr size_t kConnectionStack = 128 * 1024;
constexpr size_t kRelayStack = 64 * 1024;

// A joinable thread with a timed join.
class Thread {
public:
    Thread() = default;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    ~Thread();

    bool start(ThreadBody body, void* arg, size_t stack_size);
    // Waits up to timeout_ms for the thread to end (timeout_ms < 0: no limit).
    // Either way the handle is released: a thread still running is detached.
    // True when the thread had ended.
    bool join_for(int timeout_ms);
    bool joinable() const { return started_; }

private:
    unsigned long id_ = 0;
    bool started_ = false;
};

// Starts a thread that nobody joins. False when it could not be started.
bool start_detached(ThreadBody body, void* arg, size_t stack_size);

void sleep_ms(int ms);

// Sleeps while `word` holds `expected`, at most timeout_ms (< 0: no limit).
// True once the word holds another value, false when the time ran out. A
// thread that changes the word calls wake_word afterwards.
bool wait_on_word(std::atomic<int>& word, int expected, int timeout_ms);

// Wakes one thread sleeping in wait_on_word on `word`. It reads nothing at
// that address, so it may be called after the word's owner has moved on.
void wake_word(std::atomic<int>* word);

}  // namespace plat
