// The native platform pieces on POSIX.
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/diagnostics/log_file_posix.h"
#include "engine/diagnostics/message_dialog_posix.h"
#include "engine/link/serial_line_posix.h"
#include "engine/platform.h"

namespace brenvik {

SerialLine& NativeSerialLine() {
    static PosixSerialLine line;
    return line;
}

LogFile& NativeLogFile() {
    static PosixLogFile file;
    return file;
}

Clock& NativeClock() {
    static PosixClock clock;
    return clock;
}

MessageDialog& NativeMessageDialog() {
    static PosixMessageDialog dialog;
    return dialog;
}

OwnedNativePieces NewNativePieces() {
    OwnedNativePieces pieces;
    pieces.line = std::make_unique<PosixSerialLine>();
    pieces.log = std::make_unique<PosixLogFile>();
    pieces.clock = std::make_unique<PosixClock>();
    return pieces;
}

std::string ModuleDirectory() {
    // The object that holds this very function: the shared object when the
    // engine is linked into one, the program otherwise.
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ModuleDirectory), &info) == 0 || info.dli_fname == nullptr) {
        return ".";
    }
    std::string path(info.dli_fname);
    char resolved[PATH_MAX];
    if (path.find('/') == std::string::npos) {
        // A program started through PATH is known only by its bare name.
        const ssize_t n = readlink("/proc/self/exe", resolved, sizeof(resolved) - 1);
        if (n <= 0) return ".";
        resolved[n] = '\0';
        path = resolved;
    } else if (realpath(path.c_str(), resolved) != nullptr) {
        path = resolved;
    }
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

char NativePathSeparator() { return '/'; }

namespace {

void MakeDirectories(const std::string& directory) {
    for (size_t slash = directory.find('/', 1); ; slash = directory.find('/', slash + 1)) {
        ::mkdir(directory.substr(0, slash).c_str(), 0755);
        if (slash == std::string::npos) break;
    }
}

bool Writable(const std::string& directory) { return ::access(directory.c_str(), W_OK | X_OK) == 0; }

std::string WithoutTrailingSlash(std::string directory) {
    while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
    return directory;
}

}  // namespace

std::string LogDirectory() {
    // Never beside the shared library: a program installed on Linux lies in
    // directories its users may not (and should not) write.
    std::vector<std::string> tried;
    const char* configured = getenv("BRENVIK_LOG_DIR");
    if (configured != nullptr && configured[0] != '\0') {
        const std::string directory = WithoutTrailingSlash(configured);
        MakeDirectories(directory);
        if (Writable(directory)) return directory;
        tried.push_back(directory);
    }
    // The service's, made by its package; never created here.
    const std::string system = "/var/log/brenvik";
    if (Writable(system)) return system;
    tried.push_back(system);
    const char* state = getenv("XDG_STATE_HOME");
    const char* home = getenv("HOME");
    std::string base;
    if (state != nullptr && state[0] == '/') {
        base = state;
    } else if (home != nullptr && home[0] == '/') {
        base = std::string(home) + "/.local/state";
    }
    if (!base.empty()) {
        const std::string user = WithoutTrailingSlash(base) + "/brenvik";
        MakeDirectories(user);
        if (Writable(user)) return user;
        tried.push_back(user);
    } else {
        tried.push_back("$XDG_STATE_HOME/brenvik (neither it nor HOME is set)");
    }
    // Nowhere to write: said once, not lost without a word. The first
    // directory tried is given back; the log simply does not open there.
    static std::atomic<bool> told{false};
    if (!told.exchange(true)) {
        std::string list;
        for (const std::string& t : tried) list += (list.empty() ? "" : ", ") + t;
        std::fprintf(stderr, "brenvik: the debug log Pelmora.log is not kept: no directory for it can be written "
                             "(%s); set BRENVIK_LOG_DIR to one that can\n", list.c_str());
    }
    return tried.front();
}

}  // namespace brenvik
