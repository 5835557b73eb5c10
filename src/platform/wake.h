// A signal that ends waits: the service's stop, or one connection's wake-up.
#pragma once

#include <atomic>

namespace plat {

// Once set, every wait given this Wake ends (kWoken), and a wait begun later
// ends at once, until it is cleared. Where the system's waits sleep on kernel
// objects (Windows), the Wake owns one (a manual-reset event), so that setting
// it ends a sleeping wait without anybody looking at the word on a timer.
class Wake {
public:
    Wake();
    ~Wake();
    Wake(const Wake&) = delete;
    Wake& operator=(const Wake&) = delete;

    // False when the system gave no event for it: it cannot end a wait, so
    // nothing may wait on it.
    bool usable() const;
    bool is_set() const { return word_.load() != 0; }
    // The word first, then the event: a waiter that finds the event unset
    // and then reads the word cannot miss a concurrent set.
    void set();
    // For the next run; only while nobody waits on it.
    void clear();
    // The event a sleeping wait adds to its handles (null on POSIX).
    void* event() const { return event_; }

private:
    std::atomic<int> word_{0};
    void* event_ = nullptr;
};

}  // namespace plat
