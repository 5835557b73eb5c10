// On POSIX a Wake is its word alone: the calls that must end wake through a
// shutdown of their socket (socket_wake), and waits read the word.
#include "platform/wake.h"

namespace plat {

Wake::Wake() = default;
Wake::~Wake() = default;

bool Wake::usable() const { return true; }

void Wake::set() { word_.store(1); }

void Wake::clear() { word_.store(0); }

}  // namespace plat
