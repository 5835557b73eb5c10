// What the two threads of a connection share about its requests: the ones
// sent to the current backend whose responses have not yet reached the
// client, in order, and the events the connection thread waits for. The
// connection thread adds requests as it forwards them; the relay thread
// takes them off as their responses reach the client. Fixed in size; one
// word carries everything a sleeping thread must see change.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/deadline.h"

// Most requests forwarded and not yet answered on one connection. A client
// that sends more waits, unread, until answers complete: browsers never have
// more than one, and 32 covers every pipelining client in practice.
constexpr unsigned kMaxOutstanding = 32;

// Bits of Exchange::word. The count of responses delivered lives above them.
enum : int {
    kXReadingHead = 1 << 0,  // the connection thread is reading the next head
    kXWaiting = 1 << 1,      // the connection thread sleeps on the word
    kXUpgraded = 1 << 2,     // a 101 answered: the connection is a pipe from now
    kXEarlyAnswer = 1 << 3,  // a final response came before its request's whole body
    kXRelayEnded = 1 << 4,   // the relay thread is done with this backend connection
};
constexpr int kXDeliveredUnit = 1 << 8;
// Request counts are kept modulo 2^24, the room above the bits.
constexpr unsigned kXCountMask = 0xFFFFFF;

struct Exchange {
    uint8_t expects[kMaxOutstanding] = {};  // H1Expect of each request's response
    std::atomic<unsigned> forwarded{0};   // requests whose head was sent (connection thread)
    std::atomic<unsigned> bodies_sent{0}; // ... and whose body was sent whole
    std::atomic<int> word{0};
    // When the client's time for its next head began: the accept, then the
    // moment the last outstanding response reached it. Counts only while
    // nothing is outstanding.
    std::atomic<long long> head_since{0};
    // When a byte last moved either way, while idle_timeout_ms is set.
    std::atomic<long long> moved_at{0};
    int idle_timeout_ms = 0;

    // A transfer moved bytes.
    void moved() {
        if (idle_timeout_ms > 0) moved_at.store(plat::monotonic_ms());
    }

    static unsigned delivered_of(int word) {
        return static_cast<unsigned>(word) / static_cast<unsigned>(kXDeliveredUnit);
    }
    unsigned outstanding(int w) const { return (forwarded.load() - delivered_of(w)) & kXCountMask; }
    unsigned outstanding() const { return outstanding(word.load()); }
};

// The head deadline of the connection's requests after the first one too:
// head_timeout_ms from head_since, suspended while a response is under way.
// A wait that begins while one is under way sleeps a whole period and asks
// again: the next head's time cannot begin before the response completes,
// so no wake-up is needed when it does.
class HeadClock final : public plat::WaitLimit {
public:
    HeadClock(const Exchange& x, int timeout_ms) : x_(x), timeout_ms_(timeout_ms) {}
    int left_ms() const override {
        if (timeout_ms_ <= 0) return -1;
        if (x_.outstanding() > 0) return timeout_ms_;
        return plat::time_left(x_.head_since.load() + timeout_ms_);
    }

private:
    const Exchange& x_;
    int timeout_ms_;
};

// The idle limit (idle_timeout_ms): while a request or an answer is under
// way, or in the pipe after a 101, no byte may stand still for that long.
// Between requests the head deadline holds instead, and this one sleeps a
// whole period and asks again, like the head clock while an answer runs.
class IdleClock final : public plat::WaitLimit {
public:
    explicit IdleClock(const Exchange& x) : x_(x) {}
    bool on() const { return x_.idle_timeout_ms > 0; }
    int left_ms() const override {
        if (!on()) return -1;
        int w = x_.word.load();
        if (x_.outstanding(w) == 0 && !(w & kXUpgraded)) return x_.idle_timeout_ms;
        return plat::time_left(x_.moved_at.load() + x_.idle_timeout_ms);
    }
    // The limit for a transfer: null when there is none.
    const plat::WaitLimit* limit() const { return on() ? this : nullptr; }
    bool expired() const { return on() && left_ms() == 0; }

private:
    const Exchange& x_;
};
