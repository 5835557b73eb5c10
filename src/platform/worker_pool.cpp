#include "platform/worker_pool.h"

#include <atomic>
#include <chrono>
#include <new>

namespace plat {
namespace {

// A burst of connections leaves at most this many workers parked per pool;
// the rest end. Parked workers that see no work for kIdleLimitMs end too, so an
// idle service gives its threads and their stack pages back.
constexpr int kMaxParked = 64;
constexpr int kIdleLimitMs = 10000;

}  // namespace

// Lives on the worker's own stack: the pool refers to it only while the
// worker is parked, and a worker unlinks itself before it ends. `state` moves
// under the pool's lock; the worker sleeps on it outside the lock, so that
// whoever hands it a body wakes it after unlocking and it never wakes only to
// wait for the lock.
struct WorkerPool::Worker {
    enum : int { kBusy, kParked, kHanded, kReleased };
    ThreadBody body = nullptr;
    void* arg = nullptr;
    Worker* next = nullptr;
    std::atomic<int> state{kBusy};
};

struct WorkerPool::FirstBody {
    WorkerPool* pool;
    ThreadBody body;
    void* arg;
};

bool WorkerPool::run(ThreadBody body, void* arg) {
    Worker* handed = nullptr;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (parked_ && !draining_) {
            handed = parked_;
            parked_ = handed->next;
            --parked_count_;
            handed->body = body;
            handed->arg = arg;
            handed->state = Worker::kHanded;
        } else {
            ++live_;
        }
    }
    if (handed) {
        plat::wake_word(&handed->state);
        return true;
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
    } while (first.pool->park(self));
    first.pool->retire();
}

// Parks the worker until run() hands it a body (true), or until it is to end:
// the pool drains, is full, or had no work for it for kIdleLimitMs (false).
bool WorkerPool::park(Worker& self) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (draining_ || parked_count_ >= kMaxParked) return false;
        self.state = Worker::kParked;
        self.next = parked_;
        parked_ = &self;
        ++parked_count_;
    }
    plat::wait_on_word(self.state, Worker::kParked, kIdleLimitMs);
    // A handed worker is off the list, and nobody but itself touches it now.
    if (self.state.load() == Worker::kHanded) {
        self.state = Worker::kBusy;
        return true;
    }
    std::lock_guard<std::mutex> hold(lock_);
    if (self.state == Worker::kHanded) {  // handed while its wait ran out
        self.state = Worker::kBusy;
        return true;
    }
    if (self.state == Worker::kParked) {  // timed out: unlink itself
        Worker** link = &parked_;
        while (*link != &self) link = &(*link)->next;
        *link = self.next;
        --parked_count_;
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
        w->state = Worker::kReleased;
        plat::wake_word(&w->state);
    }
    parked_count_ = 0;
    bool gone = retired_.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                                  [&] { return live_ == 0; });
    draining_ = false;
    return gone;
}

}  // namespace plat
