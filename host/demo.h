// The --demo mode: a working proxy with no file for the user to write.
#pragma once

#include "options.h"

namespace host {

// Makes the certificate, starts the demo backends and the proxy, prints how
// to try it and runs until a stop signal. Returns the exit code.
int run_demo(const HostOptions& opts);

}  // namespace host
