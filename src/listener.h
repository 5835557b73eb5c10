// What a listener thread is handed when it starts.
#pragma once

#include "platform/socket.h"

// The socket belongs to the start and stop sequences: stop shuts it down,
// which ends the thread's waits, joins the thread and only then closes it,
// so nobody ever touches a descriptor number that was reused. The thread
// ends as soon as the service's stop flag is set or the generation it was
// started for is over.
struct ListenerArgs {
    plat::Socket sock;
    unsigned generation;
};

// True while the listener started for `generation` should keep serving.
bool listener_should_run(unsigned generation);

// Opens a listening IPv4 socket on the low 16 bits of port, on every local
// address. kNoSocket on failure, with the message in g_err.
plat::Socket tcp_listen(int port);
