// The certificate of the demo mode. On Linux a self-signed one, made once
// with the openssl command line and kept in a cache directory; on Windows the
// files given with --cert and --key, or none (plain HTTP).
#pragma once

#include <string>

#include "options.h"

namespace host {

struct DemoCert {
    bool tls = false;        // false: the demo serves plain HTTP
    std::string cert_path;   // as the configuration document names them
    std::string key_path;
    std::string origin;      // for the banner, e.g. "self-signed certificate from DIR"
};

// Finds or makes the demo's certificate as this platform does it. False with
// a one-line message on failure.
bool demo_certificate(const HostOptions& opts, DemoCert& out, std::string& error);

// The library takes the document's strings as they are written, without
// decoding escapes, so a path can only be passed when it needs none.
inline bool fits_json_string(const std::string& text) {
    for (char c : text)
        if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20) return false;
    return true;
}

}  // namespace host
