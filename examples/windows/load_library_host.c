/* A Windows host that loads velkor-proxy.dll while it runs instead of
 * linking its import library: LoadLibraryExW, then GetProcAddress for each
 * of the six functions by name. It starts the proxy with a built-in document
 * (listen_port 0: the system picks a free port), prints the status report,
 * stops the service and unloads the DLL.
 *
 *   load_library_host [FULL-PATH-OF-velkor-proxy.dll]
 *
 * Exits 1 with a message when the DLL or a function is missing or the start
 * fails. Builds with mingw-w64 (x86_64-w64-mingw32-gcc ... -I include) or
 * MSVC (cl /I include load_library_host.c); it needs the header only. */
#include <stdio.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include <velkor_proxy.h>

/* The library's functions, typed after the header's declarations. */
struct velkor_api {
    const char *(*version)(void);
    const char *(*last_error)(void);
    int (*start)(const char *config_json);
    int (*stop)(void);
    int (*status)(void);
    const char *(*runtime_status)(void);
};

static const char *builtin_config =
    "{\"listen_port\": 0,"
    " \"routes\": [{\"path_prefix\": \"/\", \"target_ip\": \"127.0.0.1\", \"target_port\": 9000}]}";

/* GetProcAddress returns a generic function pointer; going through void*
 * keeps the conversion to each real type one cast that compilers accept. */
static int find(HMODULE dll, const char *name, void **out) {
    FARPROC f = GetProcAddress(dll, name);
    if (!f) {
        fprintf(stderr, "velkor-proxy.dll has no function %s\n", name);
        return 0;
    }
    memcpy(out, &f, sizeof f);
    return 1;
}

static int find_all(HMODULE dll, struct velkor_api *api) {
    return find(dll, "proxy_version", (void **)&api->version) &&
           find(dll, "proxy_last_error", (void **)&api->last_error) &&
           find(dll, "proxy_start", (void **)&api->start) &&
           find(dll, "proxy_stop", (void **)&api->stop) &&
           find(dll, "proxy_status", (void **)&api->status) &&
           find(dll, "proxy_runtime_status", (void **)&api->runtime_status);
}

int wmain(int argc, wchar_t **argv) {
    const wchar_t *path = argc > 1 ? argv[1] : L"velkor-proxy.dll";
    /* Only the program's own folder and System32: the current directory
     * and PATH, which LoadLibraryW would search too, may hold a planted
     * DLL of the same name. A path given must be a full one. */
    HMODULE dll = LoadLibraryExW(path, NULL,
                                 LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!dll) {
        fwprintf(stderr, L"cannot load %ls (error %lu)\n", path, GetLastError());
        return 1;
    }
    struct velkor_api api;
    if (!find_all(dll, &api)) {
        FreeLibrary(dll);
        return 1;
    }

    printf("velkor-proxy library %s\n", api.version());
    if (api.start(builtin_config) != 0) {
        fprintf(stderr, "start failed: %s\n", api.last_error());
        FreeLibrary(dll);
        return 1;
    }
    printf("running: %d\n", api.status());
    printf("status: %s\n", api.runtime_status());
    /* Every thread of the library is joined when stop returns, so the DLL
     * may be unloaded right after. Never stop from DllMain or a DLL's static
     * destructor: the loader lock is held there and threads may be gone. */
    api.stop();
    printf("running after stop: %d\n", api.status());
    FreeLibrary(dll);
    return 0;
}
