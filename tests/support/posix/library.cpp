#include "support/library.h"

#include <dlfcn.h>

#include <cstring>
#include <fstream>

namespace library {

Handle load(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }

void* symbol(Handle h, const char* name) { return dlsym(h, name); }

bool unload(Handle h) { return dlclose(h) == 0; }

// Any mapping of this process that comes from the file.
bool mapped(const char* path) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    const char* slash = strrchr(path, '/');
    const char* name = slash ? slash : path;
    while (std::getline(maps, line)) {
        if (line.find(name) != std::string::npos) return true;
    }
    return false;
}

std::string last_error() {
    const char* e = dlerror();
    return e ? e : "";
}

}  // namespace library
