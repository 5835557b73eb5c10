// The live connections of the running service, so that stop can end them.
#pragma once

// Called by stop right after it sets the stop flag: wakes TLS connections that
// are relaying and waiting for the client, so they see the flag at once as
// the plain relay does after its next read.
void connections_wake_on_stop();

// Called by stop after its bounded drain wait: shuts down the sockets of every
// connection still open (waking each blocked call) and waits until every
// connection thread has finished, so no thread of this run outlives the stop.
void connections_end_all();
