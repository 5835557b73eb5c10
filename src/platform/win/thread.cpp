// Threads, pauses and word waits on Win32.
#include "platform/thread.h"

#include <windows.h>
#include <process.h>

#include <new>

#include "platform/win/io_event.h"

namespace plat {

static_assert(sizeof(HANDLE) <= sizeof(std::uintptr_t));
static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free);

// Freed by the join; left to the thread when it is never joined.
struct Thread::Control {
    ThreadBody body;
    void* arg;
};

namespace {

unsigned __stdcall thread_entry(void* p) {
    auto* control = static_cast<Thread::Control*>(p);
    control->body(control->arg);
    io_event_release();
    return 0;
}

HANDLE handle_of(std::uintptr_t id) { return reinterpret_cast<HANDLE>(id); }

}  // namespace

// Closing the handle lets the thread run on and end on its own.
Thread::~Thread() {
    if (control_) CloseHandle(handle_of(id_));
}

// The size is the stack's reservation, as on Linux, not just its first
// commit; the executable's default (1 MiB) would otherwise apply.
bool Thread::start(ThreadBody body, void* arg, size_t stack_size) {
    if (control_) return false;
    auto* control = new (std::nothrow) Control{body, arg};
    if (!control) return false;
    uintptr_t h = _beginthreadex(nullptr, static_cast<unsigned>(stack_size), thread_entry,
                                 control, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (h == 0) {
        delete control;
        return false;
    }
    id_ = h;
    control_ = control;
    return true;
}

// The thread handle is signalled once the thread has ended, after its
// thread-detach calls into this DLL: then nothing of it runs our code. The
// wait's time-out runs on a clock no wall-clock change moves.
bool Thread::join_for(int timeout_ms) {
    if (!control_) return true;
    DWORD limit = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
    if (WaitForSingleObject(handle_of(id_), limit) != WAIT_OBJECT_0) return false;
    CloseHandle(handle_of(id_));
    id_ = 0;
    delete control_;
    control_ = nullptr;
    return true;
}

void sleep_ms(int ms) { Sleep(ms < 0 ? 0 : static_cast<DWORD>(ms)); }

bool wait_on_word(std::atomic<int>& word, int expected, int timeout_ms) {
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms < 0 ? 0 : timeout_ms);
    while (word.load() == expected) {
        DWORD limit = INFINITE;
        if (timeout_ms >= 0) {
            ULONGLONG now = GetTickCount64();
            if (now >= deadline) return false;
            limit = static_cast<DWORD>(deadline - now);
        }
        // Returns at a wake, a time-out, a changed word or spuriously: all rechecked.
        WaitOnAddress(reinterpret_cast<volatile VOID*>(&word), &expected, sizeof expected, limit);
    }
    return true;
}

// Keyed by the address alone: nothing is read there.
void wake_word(std::atomic<int>* word) { WakeByAddressSingle(word); }

}  // namespace plat
