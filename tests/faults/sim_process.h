// An m301sim program on a pseudo-terminal, started for one test, with its
// control socket; and the real engine wired to a line, a log and a
// directory of its own, so that many pairs can run side by side in threads.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/diagnostics/log_file_posix.h"
#include "engine/link/serial_line_posix.h"
#include "engine/platform.h"
#include "engine/printer_engine.h"

namespace simproc {

// Starts programs from a process forked before any port was opened. A child
// forked from a process whose threads hold ports would hold them too, with
// their locks, until it execs; an engine that closes and reopens its port
// meanwhile would find it taken.
class Launcher {
public:
    Launcher() {
        int toChild[2], fromChild[2];
        if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(toChild[1]);
            close(fromChild[0]);
            Serve(toChild[0], fromChild[1]);
            _exit(0);
        }
        close(toChild[0]);
        close(fromChild[1]);
        out_ = toChild[1];
        in_ = fromChild[0];
    }
    ~Launcher() {
        if (out_ >= 0) close(out_);  // the launcher ends when its pipe does
        if (in_ >= 0) close(in_);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }
    Launcher(const Launcher&) = delete;
    Launcher& operator=(const Launcher&) = delete;

    // The started program's process id, or -1.
    pid_t Start(const std::vector<std::string>& args) {
        std::string request;
        for (const std::string& a : args) request += a + '\0';
        request += '\n';
        std::lock_guard<std::mutex> lock(mutex_);
        if (out_ < 0 || write(out_, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
            return -1;
        pid_t pid = -1;
        if (read(in_, &pid, sizeof pid) != static_cast<ssize_t>(sizeof pid)) return -1;
        return pid;
    }

private:
    static void Serve(int in, int out) {
        signal(SIGCHLD, SIG_IGN);  // the started programs are reaped by the system
        const int null = open("/dev/null", O_WRONLY);
        std::string pending;
        char buf[4096];
        for (ssize_t n; (n = read(in, buf, sizeof buf)) > 0;) {
            pending.append(buf, static_cast<size_t>(n));
            for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
                std::vector<std::string> args;
                for (size_t p = 0, z; p < nl && (z = pending.find('\0', p)) < nl; p = z + 1)
                    args.push_back(pending.substr(p, z - p));
                pending.erase(0, nl + 1);
                std::vector<char*> argv;
                for (std::string& a : args) argv.push_back(&a[0]);
                argv.push_back(nullptr);
                pid_t pid = fork();
                if (pid == 0) {
                    signal(SIGCHLD, SIG_DFL);
                    if (null >= 0) dup2(null, 2);  // its start-up line would only clutter the output
                    execv(argv[0], argv.data());
                    _exit(127);
                }
                if (write(out, &pid, sizeof pid) != static_cast<ssize_t>(sizeof pid)) return;
            }
        }
    }

    pid_t pid_ = -1;
    int out_ = -1, in_ = -1;
    std::mutex mutex_;
};

class SimProcess {
public:
    // Starts `program` with a link and a control socket in `dir` and the
    // extra arguments; waits until the link exists.
    SimProcess(Launcher& launcher, const std::string& program, const std::string& dir,
               const std::vector<std::string>& extra)
        : link_(dir + "/com"), control_(dir + "/ctl") {
        std::vector<std::string> args = {program, "--link", link_, "--control", control_};
        args.insert(args.end(), extra.begin(), extra.end());
        pid_ = launcher.Start(args);
        for (int i = 0; i < 500 && !Ready(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ~SimProcess() { Stop(); }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool Ready() const {
        struct stat st {};
        return pid_ > 0 && lstat(link_.c_str(), &st) == 0 && lstat(control_.c_str(), &st) == 0;
    }
    const std::string& Link() const { return link_; }
    pid_t Pid() const { return pid_; }

    // One control command; its answer without the newline ("" when none came
    // within two seconds).
    std::string Control(const std::string& line) const {
        const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0) return "";
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", control_.c_str());
        std::string got;
        const std::string out = line + "\n";
        if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            send(s, out.data(), out.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(out.size())) {
            const auto start = std::chrono::steady_clock::now();
            while (got.find('\n') == std::string::npos &&
                   std::chrono::steady_clock::now() - start < std::chrono::seconds(2)) {
                pollfd p{s, POLLIN, 0};
                if (poll(&p, 1, 100) <= 0) continue;
                char buf[4096];
                const ssize_t n = read(s, buf, sizeof buf);
                if (n <= 0) break;
                got.append(buf, static_cast<size_t>(n));
            }
        }
        close(s);
        const size_t nl = got.find('\n');
        return nl == std::string::npos ? got : got.substr(0, nl);
    }

    // Ends the program and waits until it is gone (its launcher reaps it).
    void Stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 500 && kill(pid_, 0) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        pid_ = -1;
    }

private:
    std::string link_, control_;
    pid_t pid_ = -1;
};

// A number from the printer's one-line state, by its key (-1 when absent).
inline long long StateNumber(const std::string& json, const std::string& key) {
    const std::string tag = "\"" + key + "\":";
    const size_t p = json.find(tag);
    if (p == std::string::npos) return -1;
    const char* start = json.c_str() + p + tag.size();
    if (std::string(start, 4) == "true") return 1;
    if (std::string(start, 5) == "false") return 0;
    if (std::string(start, 4) == "null") return 0;
    if (*start == '"') return 1;  // a text: present
    return std::strtoll(start, nullptr, 10);
}

// The engine with a line and a log of its own; the debug log goes to
// `logDirectory`.
struct Engine {
    explicit Engine(const std::string& logDirectory) {
        brenvik::EnginePlatform platform;
        platform.line = &line;
        platform.log = &log;
        platform.clock = &brenvik::NativeClock();
        platform.dialog = &brenvik::NativeMessageDialog();
        platform.logDirectory = logDirectory;
        engine = std::make_unique<brenvik::PrinterEngine>(platform);
        engine->SetShowErrorMessages(0);
    }
    ~Engine() {
        engine->Done();
        engine.reset();
    }
    brenvik::PrinterEngine* operator->() { return engine.get(); }

    brenvik::PosixSerialLine line;
    brenvik::PosixLogFile log;
    std::unique_ptr<brenvik::PrinterEngine> engine;
};

}  // namespace simproc
