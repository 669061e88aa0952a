// --simulate on POSIX: m301sim as a child process on a pseudo-terminal of
// its own, which the service reaches exactly as it reaches a real printer.
// Its state file lies beside the ledger, so that a restarted service finds
// the printer's counters where its ledger left them.
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "service/simulator.h"

extern char** environ;

namespace brenvikd {
namespace {

std::string Directory(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool Executable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

// Beside this program (installed together), then beside it in the build
// tree (service/ and sim/), then on the PATH.
std::string FindSimulator() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        const std::string here = Directory(self);
        for (const std::string& candidate : {here + "/m301sim", Directory(here) + "/sim/m301sim"}) {
            if (Executable(candidate)) return candidate;
        }
    }
    const char* path = getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string candidate = dirs.substr(start, end - start) + "/m301sim";
        if (end > start && Executable(candidate)) return candidate;
        start = end + 1;
    }
    return {};
}

class ChildSimulator : public SimulatedPrinter {
public:
    bool Start(Config& config, std::string* error) {
        const std::string program = FindSimulator();
        if (program.empty()) {
            *error = "--simulate needs m301sim (the brenvik tools), beside brenvikd or on the PATH";
            return false;
        }
        char pattern[] = "/tmp/brenvikd-sim.XXXXXX";
        if (!mkdtemp(pattern)) {
            *error = std::string("cannot make a directory for the simulated printer: ") + std::strerror(errno);
            return false;
        }
        dir_ = pattern;
        const std::string link = dir_ + "/com1";
        const std::string control = dir_ + "/control";
        const std::string journal = config.simJournal.empty() ? dir_ + "/journal.txt" : config.simJournal;
        const std::string state = config.ledger + ".printer";
        std::vector<std::string> args = {program, "--link", link, "--control", control, "--journal", journal,
                                         "--state", state};
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv.data(), environ);
        if (rc != 0) {
            pid_ = -1;
            *error = "cannot start " + program + ": " + std::strerror(rc);
            return false;
        }
        // The link appears once the printer answers.
        for (int waited = 0; waited < 10000; waited += 20) {
            struct stat st;
            if (lstat(link.c_str(), &st) == 0) {
                PrinterConfig sim;
                sim.id = "sim";
                sim.device = link;
                config.printers.insert(config.printers.begin(), sim);
                fprintf(stderr, "brenvikd: simulated printer 'sim' (%s) on %s, printing on %s, state in %s, "
                        "control socket %s\n", program.c_str(), link.c_str(), journal.c_str(), state.c_str(),
                        control.c_str());
                return true;
            }
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                *error = program + " ended at once (a damaged " + state + "?)";
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        *error = program + " did not start its line within 10 s";
        return false;
    }

    ~ChildSimulator() override {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
        if (!dir_.empty()) {
            unlink((dir_ + "/journal.txt").c_str());
            rmdir(dir_.c_str());
        }
    }

private:
    std::string dir_;
    pid_t pid_ = -1;
};

}  // namespace

std::unique_ptr<SimulatedPrinter> StartSimulator(Config& config, std::string* error) {
    auto simulator = std::make_unique<ChildSimulator>();
    if (!simulator->Start(config, error)) return nullptr;
    return simulator;
}

}  // namespace brenvikd
