// The calling thread's event for its overlapped operations and its socket
// event waits. A thread has at most one of these in flight at a time, so
// one auto-reset event serves them all; a signal left over from an earlier
// operation that finished at once only makes a wait look again.
#pragma once

#include <windows.h>

namespace plat {

// Made on first use; null when the system gives none.
HANDLE io_event();
// Closes it, as the thread ends (threads of the library's own do this).
void io_event_release();

}  // namespace plat
