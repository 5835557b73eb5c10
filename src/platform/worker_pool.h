// Threads that are kept parked after their body returns and take the next
// body, so that a connection does not pay for creating its threads and for
// releasing their stacks again (on Linux that release flushes the TLB of
// every CPU the process runs on). Each body still has a thread of its own
// for as long as it runs.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "platform/thread.h"

namespace plat {

class WorkerPool {
public:
    explicit WorkerPool(size_t stack_size) : stack_size_(stack_size) {}
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Runs body(arg) on a parked worker, or on a new thread when none is
    // parked. False when no thread could be started; body never runs then.
    bool run(ThreadBody body, void* arg);

    // Releases every parked worker and has each running one end after its
    // body instead of parking. Waits up to timeout_ms (< 0: no limit) for all
    // of them to end and joins every one that did, so none is left in the
    // library's code; true when none is left. The pool serves run() again
    // afterwards.
    bool drain(int timeout_ms);

    // Workers parked now, waiting for a body.
    int parked_count();

private:
    struct Worker;
    static void worker_main(void* self);
    bool park(Worker& self);
    void retire(Worker& self);
    static void join_all(Worker* list);

    const size_t stack_size_;
    std::mutex lock_;
    std::condition_variable all_retired_;  // drain waits on it for live_ to reach 0
    Worker* parked_ = nullptr;             // most recently parked first: warmest stack
    int parked_count_ = 0;
    int live_ = 0;                         // workers that have not retired
    // Retired workers not joined yet. Each retiring worker joins the ones
    // before it, so workers that end on their idle limit do not pile up.
    Worker* retired_ = nullptr;
    bool draining_ = false;
};

}  // namespace plat
