// brenvik log on POSIX: the library's choice of directory (engine's
// platform_posix.cpp), and files known by their inode.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "cli/log_view.h"

namespace brenvik::cli {

const char* const kLogChoices =
    "  $BRENVIK_LOG_DIR\n"
    "  /var/log/brenvik, the service's, when it may be written, or its log read\n"
    "  $XDG_STATE_HOME/brenvik (~/.local/state/brenvik)";

std::string LogDirectoryToRead() {
    const char* configured = getenv("BRENVIK_LOG_DIR");
    if (configured != nullptr && configured[0] != '\0') {
        std::string directory = configured;
        while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
        return directory;
    }
    // The library writes here when it can; a user who may only read it
    // still wants the service's log rather than none.
    const std::string system = "/var/log/brenvik";
    if (access(system.c_str(), W_OK | X_OK) == 0 || access((system + "/Pelmora.log").c_str(), R_OK) == 0)
        return system;
    const char* state = getenv("XDG_STATE_HOME");
    const char* home = getenv("HOME");
    std::string base;
    if (state != nullptr && state[0] == '/') {
        base = state;
    } else if (home != nullptr && home[0] == '/') {
        base = std::string(home) + "/.local/state";
    } else {
        return std::string();
    }
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base + "/brenvik";
}

std::string InDirectory(const std::string& directory, const std::string& name) {
    return directory == "/" ? "/" + name : directory + "/" + name;
}

std::FILE* OpenLogForReading(const std::string& path) { return std::fopen(path.c_str(), "rb"); }

bool SameFile(std::FILE* file, const std::string& path) {
    struct stat open {};
    struct stat named {};
    return fstat(fileno(file), &open) == 0 && stat(path.c_str(), &named) == 0 && open.st_dev == named.st_dev &&
           open.st_ino == named.st_ino;
}

}  // namespace brenvik::cli
