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
    // body instead of parking. Waits up to timeout_ms for all of them to be
    // gone; true when none is left. The pool serves run() again afterwards.
    bool drain(int timeout_ms);

private:
    struct Worker;
    struct FirstBody;
    static void worker_main(void* first);
    bool park(Worker& self);
    void retire();

    const size_t stack_size_;
    std::mutex lock_;
    std::condition_variable retired_;  // drain waits on it for live_ to reach 0
    Worker* parked_ = nullptr;         // most recently parked first: warmest stack
    int parked_count_ = 0;
    int live_ = 0;                     // workers whose thread has not ended
    bool draining_ = false;
};

}  // namespace plat
