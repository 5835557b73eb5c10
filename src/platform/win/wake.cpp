// A Wake on Windows: its word and a manual-reset event, which stays signalled
// once set, so that every wait given it ends, however many there are.
#include "platform/wake.h"

#include <windows.h>

namespace plat {

Wake::Wake() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

Wake::~Wake() {
    if (event_) CloseHandle(event_);
}

bool Wake::usable() const { return event_ != nullptr; }

void Wake::set() {
    word_.store(1);
    if (event_) SetEvent(event_);
}

void Wake::clear() {
    if (event_) ResetEvent(event_);
    word_.store(0);
}

}  // namespace plat
