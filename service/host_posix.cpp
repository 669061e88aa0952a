#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "service/host.h"

namespace brenvikd {
namespace {

// SIGTERM and SIGINT are taken by the one thread in WaitForStop; every
// other thread inherits the mask that blocks them.
class SignalHost : public Host {
public:
    explicit SignalHost(const sigset_t& signals) : signals_(signals) {}

    bool WaitForStop() override {
        int which = 0;
        sigwait(&signals_, &which);
        return !released_;
    }
    void Release() override {
        released_ = true;
        kill(getpid(), SIGTERM);  // pending until the waiting thread takes it
    }
    void Running() override {}
    void Stopping(int) override {}
    void Error(const std::string& text) override { fprintf(stderr, "brenvikd: %s\n", text.c_str()); }
    [[noreturn]] void Exit(int status) override { _exit(status); }

private:
    sigset_t signals_;
    std::atomic<bool> released_{false};
};

}  // namespace

int RunHost(int argc, char** argv, const Body& body) {
    Config config = DefaultConfig();
    std::string error;
    int status = ParseCommandLine(argc, argv, &config, &error);
    if (status >= 0) return PrintParseResult(status, error);

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    SignalHost host(signals);
    return body(host, config);
}

}  // namespace brenvikd
