#include "platform/worker_pool.h"

#include <chrono>
#include <new>

namespace plat {
namespace {

// A burst of connections leaves at most this many workers parked per pool;
// the rest end. Parked workers that see no work for kIdleLimit end too, so an
// idle service gives its threads and their stack pages back.
constexpr int kMaxParked = 64;
constexpr auto kIdleLimit = std::chrono::seconds(10);

}  // namespace

// Lives on the worker's own stack: the pool refers to it only while the
// worker is parked, and a worker unlinks itself before it ends.
struct WorkerPool::Worker {
    ThreadBody body = nullptr;
    void* arg = nullptr;
    Worker* next = nullptr;
    bool parked = false;
    std::condition_variable wake;
};

struct WorkerPool::FirstBody {
    WorkerPool* pool;
    ThreadBody body;
    void* arg;
};

bool WorkerPool::run(ThreadBody body, void* arg) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (parked_ && !draining_) {
            Worker* w = parked_;
            parked_ = w->next;
            --parked_count_;
            w->parked = false;
            w->body = body;
            w->arg = arg;
            // Under the lock: once it is unlocked the worker may run the body,
            // end, and take its condition variable with it.
            w->wake.notify_one();
            return true;
        }
        ++live_;
    }
    auto* first = new (std::nothrow) FirstBody{this, body, arg};
    if (first && start_detached(worker_main, first, stack_size_)) return true;
    delete first;
    retire();
    return false;
}

void WorkerPool::worker_main(void* p) {
    FirstBody first = *static_cast<FirstBody*>(p);
    delete static_cast<FirstBody*>(p);
    Worker self;
    self.body = first.body;
    self.arg = first.arg;
    do {
        self.body(self.arg);
        self.body = nullptr;
    } while (first.pool->park(self));
    first.pool->retire();
}

// Parks the worker until run() hands it a body (true), or until it is to end:
// the pool drains, is full, or had no work for it for kIdleLimit (false).
bool WorkerPool::park(Worker& self) {
    std::unique_lock<std::mutex> hold(lock_);
    if (draining_ || parked_count_ >= kMaxParked) return false;
    self.next = parked_;
    self.parked = true;
    parked_ = &self;
    ++parked_count_;
    self.wake.wait_for(hold, kIdleLimit, [&] { return self.body != nullptr || !self.parked; });
    if (self.body) return true;
    if (self.parked) {  // timed out: unlink itself
        Worker** link = &parked_;
        while (*link != &self) link = &(*link)->next;
        *link = self.next;
        --parked_count_;
        self.parked = false;
    }
    return false;
}

void WorkerPool::retire() {
    std::lock_guard<std::mutex> hold(lock_);
    --live_;
    retired_.notify_all();
}

bool WorkerPool::drain(int timeout_ms) {
    std::unique_lock<std::mutex> hold(lock_);
    draining_ = true;
    while (parked_) {
        Worker* w = parked_;
        parked_ = w->next;
        w->parked = false;
        w->wake.notify_one();
    }
    parked_count_ = 0;
    bool gone = retired_.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                                  [&] { return live_ == 0; });
    draining_ = false;
    return gone;
}

}  // namespace plat
