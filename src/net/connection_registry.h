// The live connections of the running service, so that stop can end them.
//
// The lock is taken when a connection starts and ends, when its backend
// socket is opened and closed, and by stop; never per byte.
#pragma once

#include "net/conn_args.h"

// Called by stop after its bounded drain wait: cuts every connection still
// open (its client will get a reset, unless its answer had already ended in
// order), wakes every blocked call on its sockets, and waits until every
// connection thread has finished, so no thread of this run outlives the stop.
void connections_end_all();

// Called by stop before its drain wait: ends at once every connection still
// waiting for its TLS handshake or its request head.
void connections_end_waiting();

// Accept thread, before the connection thread starts (so stop cannot miss
// it). False when the start `c.generation` belongs to is stopping or over,
// or when the connection would go over max_connections or, for its client
// address, over max_connections_per_client: the caller then closes the
// socket itself and frees the record, and the connection counts nowhere.
bool registry_add(ConnArgs& c);

// Connection thread, at its very end (after the count went down): wakes a
// stop that waits for the registry to empty. The caller frees c afterwards.
void registry_remove(ConnArgs& c);

// Records a new backend socket so that stop can wake a connect or a relay
// blocked on it. False when stop is under way: the caller closes s and gives
// up on the backend.
bool registry_set_backend(ConnArgs& c, plat::Socket s);

// Close the backend or the client socket and forget it, in one step under the
// lock, so stop never shuts down a descriptor number that was reused. The
// client socket is closed with a reset when the connection was cut.
void registry_close_backend(ConnArgs& c);
void registry_close_client(ConnArgs& c);
