#include "service/metrics_process.h"

#include <windows.h>
#include <psapi.h>

namespace brenvikd {
namespace {

double Hundreds(const FILETIME& time) {
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return static_cast<double>(value.QuadPart);
}

}  // namespace

ProcessFigures ReadProcessFigures() {
    ProcessFigures figures;
    HANDLE self = GetCurrentProcess();
    FILETIME created, exited, kernel, user;
    if (GetProcessTimes(self, &created, &exited, &kernel, &user)) {
        figures.cpuSeconds = (Hundreds(kernel) + Hundreds(user)) / 1e7;
        // FILETIME counts 100 ns from 1601; Unix time from 1970.
        figures.startTimeSeconds = (Hundreds(created) - 116444736000000000.0) / 1e7;
    }
    PROCESS_MEMORY_COUNTERS memory{};
    if (GetProcessMemoryInfo(self, &memory, sizeof memory)) {
        figures.residentBytes = static_cast<double>(memory.WorkingSetSize);
    }
    // The part of this process's address space in use, as Linux's vsize
    // counts it (Wine leaves PrivateUsage at 0).
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (GlobalMemoryStatusEx(&status)) {
        figures.virtualBytes = static_cast<double>(status.ullTotalVirtual - status.ullAvailVirtual);
    }
    DWORD handles = 0;
    if (GetProcessHandleCount(self, &handles)) figures.openFds = handles;
    // A process may hold up to 2^24 handles; Prometheus's own clients say so too.
    figures.maxFds = 16777216.0;
    return figures;
}

}  // namespace brenvikd
