// The plain-HTTP listener that redirects every request to HTTPS.
#pragma once

// Each redirect client has this long, from its accept, to send its head and
// take the answer, so that no client holds the listener for longer.
constexpr int kRedirectReadTimeoutMs = 3000;

// Thread body; arg is a heap ListenerArgs that the thread takes over. Serves
// one client at a time with a 301 to the same host and target over HTTPS on
// g.listen_port, until the service stops or the generation it was started
// for is over. A shutdown of the listening socket (stop) ends the thread
// at once, also while it serves a client, which then gets no answer. The
// socket stays open: its owner closes it after the thread has ended.
// Touches no counter and never writes g_err.
void redirect_loop(void* arg);
