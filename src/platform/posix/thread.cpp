#include "platform/thread.h"

#include <cerrno>
#include <ctime>
#include <new>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace plat {
namespace {

bool spawn(pthread_t* id, void* (*entry)(void*), void* arg, size_t stack_size) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    pthread_attr_setstacksize(&attr, stack_size);
    int rc = pthread_create(id, &attr, entry, arg);
    pthread_attr_destroy(&attr);
    return rc == 0;
}

}  // namespace

// Freed by the join.
struct Thread::Control {
    ThreadBody body;
    void* arg;
    std::atomic<int> done{0};  // set once the body has returned
};

extern "C" void* thread_entry(void* p) {
    auto* control = static_cast<Thread::Control*>(p);
    control->body(control->arg);
    control->done.store(1);
    wake_word(&control->done);
    return nullptr;
}

Thread::~Thread() {
    if (control_) pthread_detach(static_cast<pthread_t>(id_));
}

bool Thread::start(ThreadBody body, void* arg, size_t stack_size) {
    if (control_) return false;
    auto* control = new (std::nothrow) Control{body, arg};
    pthread_t id;
    if (!control || !spawn(&id, thread_entry, control, stack_size)) {
        delete control;
        return false;
    }
    id_ = static_cast<std::uintptr_t>(id);
    control_ = control;
    return true;
}

// The timed part waits on the done word (monotonic, and seen by the
// sanitizers, unlike pthread_clockjoin_np); the join itself is then short.
bool Thread::join_for(int timeout_ms) {
    if (!control_) return true;
    if (!wait_on_word(control_->done, 0, timeout_ms)) return false;
    pthread_join(static_cast<pthread_t>(id_), nullptr);
    delete control_;
    control_ = nullptr;
    return true;
}

void sleep_ms(int ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

static_assert(sizeof(pthread_t) <= sizeof(std::uintptr_t));
static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free);

bool wait_on_word(std::atomic<int>& word, int expected, int timeout_ms) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long deadline_ms = now.tv_sec * 1000LL + now.tv_nsec / 1000000 + timeout_ms;
    while (word.load() == expected) {
        timespec limit{};
        if (timeout_ms >= 0) {
            clock_gettime(CLOCK_MONOTONIC, &now);
            long long left = deadline_ms - (now.tv_sec * 1000LL + now.tv_nsec / 1000000);
            if (left <= 0) return false;
            limit = {static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000L};
        }
        // Returns at a wake, a signal, a time-out or a changed word: all rechecked.
        syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAIT_PRIVATE, expected,
                timeout_ms < 0 ? nullptr : &limit, nullptr, 0);
    }
    return true;
}

void wake_word(std::atomic<int>* word) {
    syscall(SYS_futex, reinterpret_cast<int*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

}  // namespace plat
