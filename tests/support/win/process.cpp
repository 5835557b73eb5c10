#include "support/process.h"

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

namespace process {

int thread_count() {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return -1;
    DWORD self = GetCurrentProcessId();
    THREADENTRY32 t{};
    t.dwSize = sizeof t;
    int n = 0;
    for (BOOL more = Thread32First(snap, &t); more; more = Thread32Next(snap, &t)) {
        if (t.th32OwnerProcessID == self) ++n;
    }
    CloseHandle(snap);
    return n;
}

int descriptor_count() { return 0; }

bool counts_descriptors() { return false; }

long rss_kib() {
    PROCESS_MEMORY_COUNTERS m{};
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &m, sizeof m)) return -1;
    return static_cast<long>(m.WorkingSetSize / 1024);
}

long raise_descriptor_limit() { return -1; }

bool sigpipe_is_fatal() { return true; }

}  // namespace process
