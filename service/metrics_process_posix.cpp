#include "service/metrics_process.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace brenvikd {
namespace {

// The fields of /proc/self/stat after the command name, which may hold
// spaces and parentheses itself: field 3 (state) is the first.
std::vector<std::string> StatFields() {
    std::ifstream in("/proc/self/stat");
    std::string line;
    std::getline(in, line);
    const size_t close = line.rfind(')');
    std::vector<std::string> fields;
    if (close == std::string::npos) return fields;
    std::istringstream rest(line.substr(close + 1));
    std::string field;
    while (rest >> field) fields.push_back(field);
    return fields;
}

// Seconds since the epoch at which the system started (btime).
std::optional<double> BootTime() {
    std::ifstream in("/proc/stat");
    std::string key;
    while (in >> key) {
        if (key == "btime") {
            double seconds = 0;
            if (in >> seconds) return seconds;
            return std::nullopt;
        }
        in.ignore(1 << 20, '\n');
    }
    return std::nullopt;
}

}  // namespace

ProcessFigures ReadProcessFigures() {
    ProcessFigures figures;
    const std::vector<std::string> stat = StatFields();
    const long ticks = sysconf(_SC_CLK_TCK);
    const long page = sysconf(_SC_PAGESIZE);
    // Field n of stat(5) is stat[n - 3].
    auto field = [&](size_t n) { return std::strtod(stat[n - 3].c_str(), nullptr); };
    if (stat.size() >= 22 && ticks > 0 && page > 0) {
        figures.cpuSeconds = (field(14) + field(15)) / static_cast<double>(ticks);
        figures.virtualBytes = field(23);
        figures.residentBytes = field(24) * static_cast<double>(page);
        if (std::optional<double> boot = BootTime()) figures.startTimeSeconds = *boot + field(22) / ticks;
    }
    if (DIR* dir = opendir("/proc/self/fd")) {
        double open = 0;
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') ++open;
        }
        closedir(dir);
        figures.openFds = open - 1;  // the directory being read
    }
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        figures.maxFds = static_cast<double>(limit.rlim_cur);
    }
    return figures;
}

}  // namespace brenvikd
