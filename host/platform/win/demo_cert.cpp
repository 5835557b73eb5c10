// The demo's certificate on Windows: the files given with --cert and --key,
// checked to be readable so that a typo gets a plain message; without them
// the demo serves plain HTTP.
#include <cstdio>

#include "demo_cert.h"

namespace host {
namespace {

bool readable(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    std::fclose(f);
    return true;
}

// Windows takes forward slashes too, and they need no escape in the document.
std::string forward_slashes(std::string path) {
    for (char& c : path)
        if (c == '\\') c = '/';
    return path;
}

}  // namespace

bool demo_certificate(const HostOptions& opts, DemoCert& out, std::string& error) {
    out.tls = !opts.cert_path.empty();
    if (!out.tls) return true;
    out.cert_path = forward_slashes(opts.cert_path);
    out.key_path = forward_slashes(opts.key_path);
    for (const std::string* path : {&out.cert_path, &out.key_path}) {
        if (!readable(*path)) {
            error = "cannot read " + *path;
            return false;
        }
        if (!fits_json_string(*path)) {
            error = "the path " + *path + " has a quote or control character; "
                    "copy the file to a plainer path";
            return false;
        }
    }
    out.origin = "certificate " + out.cert_path;
    return true;
}

}  // namespace host
