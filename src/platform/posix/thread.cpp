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

struct Start {
    ThreadBody body;
    void* arg;
};

extern "C" void* run(void* p) {
    Start start = *static_cast<Start*>(p);
    delete static_cast<Start*>(p);
    start.body(start.arg);
    return nullptr;
}

bool spawn(pthread_t* id, ThreadBody body, void* arg, size_t stack_size, bool detached) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    pthread_attr_setstacksize(&attr, stack_size);
    if (detached) pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    auto* start = new (std::nothrow) Start{body, arg};
    int rc = start ? pthread_create(id, &attr, run, start) : ENOMEM;
    pthread_attr_destroy(&attr);
    if (rc != 0) delete start;
    return rc == 0;
}

}  // namespace

Thread::~Thread() {
    if (started_) pthread_detach(static_cast<pthread_t>(id_));
}

bool Thread::start(ThreadBody body, void* arg, size_t stack_size) {
    pthread_t id;
    if (started_ || !spawn(&id, body, arg, stack_size, false)) return false;
    id_ = static_cast<unsigned long>(id);
    started_ = true;
    return true;
}

bool Thread::join_for(int timeout_ms) {
    if (!started_) return true;
    started_ = false;
    auto id = static_cast<pthread_t>(id_);
    if (timeout_ms < 0) return pthread_join(id, nullptr) == 0;
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += (timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    int rc;
    while ((rc = pthread_timedjoin_np(id, nullptr, &deadline)) == EINTR) {
    }
    if (rc == 0) return true;
    pthread_detach(id);
    return false;
}

bool start_detached(ThreadBody body, void* arg, size_t stack_size) {
    pthread_t id;
    return spawn(&id, body, arg, stack_size, true);
}

void sleep_ms(int ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

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
