// The process's own figures, under the names every Prometheus client
// gives them (process_cpu_seconds_total and so on): from /proc on Linux
// (metrics_process_posix.cpp), from the Win32 calls on Windows
// (metrics_process_win32.cpp).
#pragma once

#include <optional>

namespace brenvikd {

struct ProcessFigures {
    // Each is missing where the system does not tell it.
    std::optional<double> cpuSeconds;        // user and system time
    std::optional<double> residentBytes;     // resident set (the working set on Windows)
    std::optional<double> virtualBytes;      // address space in use
    std::optional<double> openFds;           // open descriptors (handles on Windows)
    std::optional<double> maxFds;            // the soft limit of descriptors (handles on Windows)
    std::optional<double> startTimeSeconds;  // Unix time the process started
};

ProcessFigures ReadProcessFigures();

}  // namespace brenvikd
