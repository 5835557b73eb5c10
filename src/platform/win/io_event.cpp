#include "platform/win/io_event.h"

namespace plat {
namespace {

thread_local HANDLE t_io_event = nullptr;

}  // namespace

HANDLE io_event() {
    if (!t_io_event) t_io_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return t_io_event;
}

void io_event_release() {
    if (!t_io_event) return;
    CloseHandle(t_io_event);
    t_io_event = nullptr;
}

}  // namespace plat
