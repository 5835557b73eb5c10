// The plain-HTTP listener that redirects every request to HTTPS.
#pragma once

// Thread body; arg is a heap ListenerArgs that the thread takes over.
void redirect_loop(void* arg);
