// detect on POSIX: the devices under /dev, and who holds them, from /proc.
#include <dirent.h>
#include <glob.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "cli/detect.h"

namespace brenvik::cli {

const char* const kProbedDevices = "/dev/serial/by-id/*, /dev/ttyUSB*, /dev/ttyACM*, /dev/ttyS*";

namespace {

std::vector<std::string> Glob(const char* pattern) {
    std::vector<std::string> names;
    glob_t found{};
    if (glob(pattern, 0, nullptr, &found) == 0)
        for (size_t i = 0; i < found.gl_pathc; ++i) names.emplace_back(found.gl_pathv[i]);
    globfree(&found);
    return names;
}

// ttyS2 before ttyS10.
bool NumberOrder(const std::string& a, const std::string& b) {
    const size_t da = a.find_last_not_of("0123456789") + 1;
    const size_t db = b.find_last_not_of("0123456789") + 1;
    if (a.compare(0, da, b, 0, db) != 0 || da == a.size() || db == b.size()) return a < b;
    return std::stoul(a.substr(da)) < std::stoul(b.substr(db));
}

bool IsPtmx(dev_t rdev) { return major(rdev) == 5 && minor(rdev) == 2; }

// The slaves of the pseudo-terminals made through /dev/ptmx: majors 136 to
// 143, 256 a major.
int PtySlaveIndex(dev_t rdev) {
    const unsigned m = major(rdev);
    return m >= 136 && m <= 143 ? static_cast<int>((m - 136) * 256 + minor(rdev)) : -1;
}

// The pseudo-terminal behind a /dev/ptmx descriptor, from its fdinfo.
int MasterIndex(const std::string& pid, const std::string& fd) {
    std::ifstream info("/proc/" + pid + "/fdinfo/" + fd);
    std::string key;
    while (info >> key) {
        if (key == "tty-index:") {
            int index = -1;
            info >> index;
            return index;
        }
    }
    return -1;
}

}  // namespace

std::vector<std::string> SerialDevices() {
    std::vector<std::string> names = Glob("/dev/serial/by-id/*");
    for (const char* pattern : {"/dev/ttyUSB[0-9]*", "/dev/ttyACM[0-9]*", "/dev/ttyS[0-9]*"}) {
        std::vector<std::string> found = Glob(pattern);
        std::sort(found.begin(), found.end(), NumberOrder);
        names.insert(names.end(), found.begin(), found.end());
    }
    return names;
}

std::string DeviceBehind(const std::string& name) {
    char resolved[PATH_MAX];
    return realpath(name.c_str(), resolved) != nullptr ? std::string(resolved) : name;
}

std::vector<std::string> HeldElsewhere(const std::vector<std::string>& devices) {
    std::map<dev_t, std::string> wanted;
    for (const std::string& d : devices) {
        struct stat st {};
        if (stat(d.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) wanted[st.st_rdev] = d;
    }
    std::set<std::string> held;
    DIR* proc = wanted.empty() ? nullptr : opendir("/proc");
    if (proc == nullptr) return {};
    const std::string self = std::to_string(getpid());
    while (const dirent* process = readdir(proc)) {
        const std::string pid = process->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
        const std::string fdDir = "/proc/" + pid + "/fd";
        DIR* fds = opendir(fdDir.c_str());
        if (fds == nullptr) continue;  // gone, or another user's and we are not root
        std::vector<dev_t> holds;
        std::set<int> masters;
        while (const dirent* fd = readdir(fds)) {
            const std::string link = fdDir + "/" + fd->d_name;
            char target[PATH_MAX];
            const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            // Only devices are of interest; a stat of anything else (a file
            // on a hung network share) could keep us waiting.
            if (n < 5 || std::string(target, 5) != "/dev/") continue;
            struct stat st {};
            if (stat(link.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) continue;
            if (wanted.count(st.st_rdev) != 0) holds.push_back(st.st_rdev);
            if (IsPtmx(st.st_rdev)) masters.insert(MasterIndex(pid, fd->d_name));
        }
        closedir(fds);
        for (dev_t rdev : holds) {
            // A program on a pseudo-terminal's master keeps its slave open
            // to keep the line up (a simulator, a bridge): it waits to be
            // talked to, it does not hold the line against us.
            const int slave = PtySlaveIndex(rdev);
            if (slave >= 0 && masters.count(slave) != 0) continue;
            held.insert(wanted[rdev]);
        }
    }
    closedir(proc);
    return {held.begin(), held.end()};
}

}  // namespace brenvik::cli
