// Reading the configuration document.
#pragma once

#include "state.h"

// Reads the JSON document into the configuration fields of st and fills
// cert_path and key_path (kPathCapacity bytes each). Fields are written as
// they are read, so after a failure those read before it keep their values.
// False on failure, with the message written through set_error.
bool parse_config(const char* doc, ProxyState& st, char* cert_path, char* key_path);
