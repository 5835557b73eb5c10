// Connection intake: the accept thread and one thread per client.
#pragma once

// Thread body; arg is a heap ListenerArgs that the thread takes over.
void accept_loop(void* arg);
