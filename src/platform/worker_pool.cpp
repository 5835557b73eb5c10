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

// One per thread, on the heap: whoever joins the thread frees it. `state`
// moves under the pool's lock; the worker sleeps on it outside the lock, so
// that whoever hands it a body wakes it after unlocking and it never wakes
// only to wait for the lock.
struct WorkerPool::Worker {
    enum : int { kBusy, kParked, kHanded, kReleased };
    Worker(WorkerPool* p, ThreadBody b, void* a) : pool(p), body(b), arg(a) {}
    WorkerPool* pool;
    ThreadBody body;
    void* arg;
    Worker* next = nullptr;  // in the parked list, or in the retired list
    std::atomic<int> state{kBusy};
    Thread thread;
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
            // Started under the lock, so that its Thread is filled in before
            // the worker can retire and be joined.
            auto* w = new (std::nothrow) Worker(this, body, arg);
            if (!w || !w->thread.start(worker_main, w, stack_size_)) {
                delete w;
                return false;
            }
            ++live_;
        }
    }
    if (handed) plat::wake_word(&handed->state);
    return true;
}

void WorkerPool::worker_main(void* p) {
    Worker& self = *static_cast<Worker*>(p);
    do {
        self.body(self.arg);
    } while (self.pool->park(self));
    self.pool->retire(self);
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

// The worker's last step in the pool: it leaves itself to be joined and
// joins those that retired before it, which have ended or are about to.
void WorkerPool::retire(Worker& self) {
    Worker* earlier;
    {
        std::lock_guard<std::mutex> hold(lock_);
        earlier = retired_;
        self.next = nullptr;
        retired_ = &self;
        if (--live_ == 0) all_retired_.notify_all();
    }
    join_all(earlier);
}

void WorkerPool::join_all(Worker* list) {
    while (list) {
        Worker* w = list;
        list = w->next;
        w->thread.join_for(-1);
        delete w;
    }
}

int WorkerPool::parked_count() {
    std::lock_guard<std::mutex> hold(lock_);
    return parked_count_;
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
    auto none_live = [&] { return live_ == 0; };
    bool gone = true;
    if (timeout_ms < 0) {
        all_retired_.wait(hold, none_live);
    } else {
        gone = all_retired_.wait_for(hold, std::chrono::milliseconds(timeout_ms), none_live);
    }
    Worker* retired = retired_;
    retired_ = nullptr;
    draining_ = false;
    hold.unlock();
    join_all(retired);
    return gone;
}

}  // namespace plat
