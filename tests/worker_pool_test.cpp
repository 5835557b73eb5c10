// The pool of reusable threads behind connections and relays: every body
// gets a thread of its own at once, a finished thread serves the next body,
// and draining leaves no thread behind.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "platform/worker_pool.h"
#include "support/loopback.h"
#include "support/resources.h"

namespace {

constexpr size_t kStack = 64 * 1024;

struct Gate {
    std::mutex lock;
    std::condition_variable changed;
    int running = 0;
    int finished = 0;
    bool open = false;
    int last_thread_bodies = 0;  // bodies the last body's thread has run, itself included
};

// Bodies run so far on the calling thread: 1 in a body on a new thread. A
// count, not a thread id, since an id may be reused by the next new thread.
thread_local int t_bodies = 0;

// Counts itself in, waits until the gate opens, then counts itself out.
void wait_at_gate(void* arg) {
    auto& gate = *static_cast<Gate*>(arg);
    std::unique_lock<std::mutex> hold(gate.lock);
    ++gate.running;
    gate.last_thread_bodies = ++t_bodies;
    gate.changed.notify_all();
    gate.changed.wait(hold, [&] { return gate.open; });
    ++gate.finished;
    gate.changed.notify_all();
}

bool wait_for(Gate& gate, int running, int finished) {
    std::unique_lock<std::mutex> hold(gate.lock);
    return gate.changed.wait_for(hold, std::chrono::seconds(10), [&] {
        return gate.running >= running && gate.finished >= finished;
    });
}

void open_gate(Gate& gate) {
    std::lock_guard<std::mutex> hold(gate.lock);
    gate.open = true;
    gate.changed.notify_all();
}

TEST(WorkerPool, EveryBodyRunsAtOnceOnAThreadOfItsOwn) {
    // Each body blocks until all of them run: a pool that queued bodies
    // behind busy threads would never get there.
    plat::WorkerPool pool(kStack);
    Gate gate;
    constexpr int kBodies = 150;
    for (int i = 0; i < kBodies; ++i) ASSERT_TRUE(pool.run(wait_at_gate, &gate));
    ASSERT_TRUE(wait_for(gate, kBodies, 0));
    open_gate(gate);
    ASSERT_TRUE(wait_for(gate, kBodies, kBodies));
    EXPECT_TRUE(pool.drain(5000));
}

// Bodies run one after another, each once its predecessor's thread is back
// in the pool: the first thread serves them all, where a pool that does not
// reuse its threads would need a new one for each.
TEST(WorkerPool, AFinishedThreadServesTheNextBody) {
    plat::WorkerPool pool(kStack);
    Gate gate;
    gate.open = true;
    constexpr int kBodies = 20;
    int new_threads = 0;
    for (int i = 1; i <= kBodies; ++i) {
        ASSERT_TRUE(pool.run(wait_at_gate, &gate));
        ASSERT_TRUE(wait_for(gate, i, i));
        if (gate.last_thread_bodies == 1) ++new_threads;
        ASSERT_TRUE(loopback::wait_until([&] { return pool.parked_count() == 1; }));
    }
    EXPECT_EQ(new_threads, 1) << "of " << kBodies << " bodies run one after another";
    EXPECT_TRUE(pool.drain(5000));
}

TEST(WorkerPool, DrainLeavesNoThreadAndThePoolServesAgain) {
    int threads_before = resources::usage().threads;
    plat::WorkerPool pool(kStack);
    Gate gate;
    constexpr int kBodies = 100;  // more than are ever kept parked
    for (int i = 0; i < kBodies; ++i) ASSERT_TRUE(pool.run(wait_at_gate, &gate));
    ASSERT_TRUE(wait_for(gate, kBodies, 0));
    open_gate(gate);
    ASSERT_TRUE(wait_for(gate, kBodies, kBodies));
    EXPECT_TRUE(pool.drain(5000));
    EXPECT_TRUE(loopback::wait_until([&] { return resources::usage().threads <= threads_before; }))
        << resources::describe(resources::usage());

    Gate again;
    again.open = true;
    ASSERT_TRUE(pool.run(wait_at_gate, &again));
    EXPECT_TRUE(wait_for(again, 1, 1));
    EXPECT_TRUE(pool.drain(5000));
}

TEST(WorkerPool, DrainWaitsForARunningBody) {
    plat::WorkerPool pool(kStack);
    Gate gate;
    ASSERT_TRUE(pool.run(wait_at_gate, &gate));
    ASSERT_TRUE(wait_for(gate, 1, 0));
    EXPECT_FALSE(pool.drain(100));  // the body still runs
    std::thread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        open_gate(gate);
    });
    EXPECT_TRUE(pool.drain(5000));
    opener.join();
    EXPECT_EQ(gate.finished, 1);
}

}  // namespace
