// Loading the shared library at run time, as a host that unloads it does;
// support/posix/ (dlopen) and support/win/ (LoadLibrary) hold the two halves.
#pragma once

#include <string>

namespace library {

using Handle = void*;

// The library at `path`, loaded afresh unless already loaded; null on
// failure, with the reason in last_error().
Handle load(const char* path);
// The address of an exported function, or null.
void* symbol(Handle h, const char* name);
// Drops this load; true on success.
bool unload(Handle h);
// True while the file at `path` is still mapped into this process.
bool mapped(const char* path);
std::string last_error();

}  // namespace library
