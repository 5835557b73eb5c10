#include "net/connection_registry.h"
void connections_wake_on_stop() {}
void connections_end_all() {}
