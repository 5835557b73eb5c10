// The plain-HTTP listener that redirects every request to HTTPS.
#pragma once

// Redirect clients are read with this time-out, so that a client that sends
// nothing holds the listener (and a stop that waits for it) only this long.
constexpr int kRedirectReadTimeoutMs = 3000;

// Thread body; arg is a heap ListenerArgs that the thread takes over. Serves
// one client at a time with a 301 to the same host and target over HTTPS on
// g.listen_port, until the service stops or the generation it was started
// for is over; then closes its listening socket. Touches no counter and
// never writes g_err.
void redirect_loop(void* arg);
