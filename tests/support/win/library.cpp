#include "support/library.h"

#include <windows.h>

#include <string>

namespace library {
namespace {

HMODULE module(Handle h) { return static_cast<HMODULE>(h); }

// The build gives paths with forward slashes; the loader documents only
// backslashes.
std::string native(const char* path) {
    std::string p = path;
    for (char& c : p) {
        if (c == '/') c = '\\';
    }
    return p;
}

}  // namespace

Handle load(const char* path) { return LoadLibraryA(native(path).c_str()); }

// GetProcAddress gives a generic function pointer; the caller casts it to
// the function's real type.
void* symbol(Handle h, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(module(h), name));
}

bool unload(Handle h) { return FreeLibrary(module(h)) != 0; }

// A module stays listed while any load of it holds it in memory.
bool mapped(const char* path) { return GetModuleHandleA(native(path).c_str()) != nullptr; }

std::string last_error() { return "error " + std::to_string(GetLastError()); }

}  // namespace library
