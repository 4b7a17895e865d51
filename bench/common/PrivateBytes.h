// The private bytes of a process as Windows (or Wine) reports them, for benchmarks.
#pragma once

#include <windows.h>
#include <psapi.h>

inline double PrivateBytes(HANDLE process = GetCurrentProcess()) {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters)))
        return 0;
    // Wine may leave PrivateUsage at 0 for other processes: then the page-file usage, the same figure.
    return static_cast<double>(counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage);
}
