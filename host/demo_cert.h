// The self-signed certificate of the demo mode, made once with the openssl
// command line and kept in a cache directory.
#pragma once

#include <string>

namespace host {

struct DemoCert {
    std::string dir;
    std::string cert_path;
    std::string key_path;
};

// The cache directory: $XDG_CACHE_HOME/velkor-proxy, else
// $HOME/.cache/velkor-proxy. False with a message when neither is set.
bool demo_cache_dir(std::string& dir, std::string& error);

// Makes sure dir holds a certificate for localhost (and 127.0.0.1) with its
// unencrypted EC key, valid for at least one more day. An existing pair is
// reused; a missing or expiring one is (re)made with openssl. created tells
// whether a new pair was made. False with a one-line message on failure.
bool ensure_demo_cert(const std::string& dir, DemoCert& out, bool& created,
                      std::string& error);

}  // namespace host
