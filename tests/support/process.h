// What this process holds, read from the system; support/posix/ and
// support/win/ hold the two halves.
#pragma once

namespace process {

// Threads of this process; -1 when they cannot be counted.
int thread_count();
// Open descriptors of this process (Linux: /proc/self/fd; Windows: open
// sockets, found by probing handle values).
int descriptor_count();
bool sees_accepts();
// Resident memory in KiB; -1 when unknown.
long rss_kib();
// CPU time this process has spent, user plus system, in seconds; -1 when unknown.
double cpu_seconds();
// Raises the soft descriptor limit to the hard one; returns the new soft
// limit (Windows has none: -1).
long raise_descriptor_limit();
// True when SIGPIPE would kill this process: its action is the default and
// the calling thread does not block it. Windows has no SIGPIPE (a send to a
// reset peer just fails), so nothing there can rely on it being ignored.
bool sigpipe_is_fatal();

}  // namespace process
