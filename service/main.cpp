// brenvikd: HTTP/JSON access to Maria 301 MTM fiscal printers.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "service/capi_device.h"
#include "service/config.h"
#include "service/ledger.h"
#include "service/service.h"
#include "sim/m301sim.h"

using namespace brenvikd;

namespace {

// How long a stop waits for a printer in the middle of an operation, and
// then for the answers still being sent.
constexpr int kPrinterGraceMs = 2500;
constexpr int kServeGraceMs = 1500;

// --simulate: a substitute printer in this process, on a pseudo-terminal of
// its own, so the service reaches it exactly as it reaches a real one.
struct Simulator {
    std::string dir;
    m301sim::Printer printer;
    std::unique_ptr<m301sim::PtyPrinter> line;

    bool Start(Config& config, std::string* error) {
        char pattern[] = "/tmp/brenvikd-sim.XXXXXX";
        if (!mkdtemp(pattern)) {
            *error = "cannot make a directory for the simulated printer";
            return false;
        }
        dir = pattern;
        std::string journal = config.simJournal.empty() ? dir + "/journal.txt" : config.simJournal;
        if (!printer.OpenJournal(journal, error)) return false;
        m301sim::PtyPrinter::Options options;
        options.link = dir + "/com1";
        options.control = dir + "/control";
        line = std::make_unique<m301sim::PtyPrinter>(printer, options);
        if (!line->Start(error)) return false;
        PrinterConfig sim;
        sim.id = "sim";
        sim.device = options.link;
        config.printers.insert(config.printers.begin(), sim);
        fprintf(stderr, "brenvikd: simulated printer 'sim' on %s, printing on %s, control socket %s\n",
                options.link.c_str(), journal.c_str(), options.control.c_str());
        return true;
    }
    ~Simulator() {
        if (line) line->Stop();
        if (!dir.empty()) rmdir(dir.c_str());
    }
};

}  // namespace

int main(int argc, char** argv) {
    Config config;
    std::string error;
    int status = ParseCommandLine(argc, argv, &config, &error);
    if (status >= 0) {
        fputs(error.c_str(), status == 0 ? stdout : stderr);
        if (!error.empty() && error.back() != '\n') fputc('\n', status == 0 ? stdout : stderr);
        return status;
    }

    // Signals are taken by one thread; every other thread inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Simulator simulator;
    if (config.simulate && !simulator.Start(config, &error)) {
        fprintf(stderr, "brenvikd: %s\n", error.c_str());
        return 1;
    }
    std::unique_ptr<Ledger> ledger = Ledger::Open(config.ledger, &error);
    if (!ledger) {
        fprintf(stderr, "brenvikd: %s\n", error.c_str());
        return 1;
    }
    if (ledger->created()) fprintf(stderr, "brenvikd: a new ledger %s\n", config.ledger.c_str());
    DeviceSettings settings{config.logDir, config.timeoutMs};
    Service service(config, *ledger,
                    [settings](const PrinterConfig& printer) { return MakeCapiDevice(printer, settings); },
                    ValidateReceipt);
    if (!service.Bind(&error)) {
        fprintf(stderr, "brenvikd: %s\n", error.c_str());
        return 1;
    }
    // A stop ends the process within a few seconds, whatever a printer
    // does: what is still under way is decided at the next start.
    std::atomic<bool> stopping{false};
    std::mutex served;
    std::condition_variable servedChanged;
    bool serveEnded = false;
    auto leave = [&](const char* why) {
        ledger->Close();  // between two statements: no write is cut in half
        fprintf(stderr, "brenvikd: stopped; %s: what it did is decided at the next start\n", why);
        _exit(0);
    };
    std::thread stopper([&] {
        int which = 0;
        sigwait(&signals, &which);
        stopping = true;
        service.Stop();
        if (!service.StopPrinters(kPrinterGraceMs)) leave("a printer was still busy");
        std::unique_lock<std::mutex> lock(served);
        if (!servedChanged.wait_for(lock, std::chrono::milliseconds(kServeGraceMs), [&] { return serveEnded; })) {
            leave("a request was still being answered");
        }
    });
    // Unfinished requests of a previous run are decided before anything new is served.
    service.StartPrinters(30000);
    if (!stopping) {
        fprintf(stderr, "brenvikd: listening on http://%s:%d/ with %zu printer(s), ledger %s\n",
                config.host.find(':') == std::string::npos ? config.host.c_str()
                                                           : ("[" + config.host + "]").c_str(),
                service.port(), config.printers.size(), config.ledger.c_str());
        service.Serve();
    }
    {
        std::lock_guard<std::mutex> lock(served);
        serveEnded = true;
    }
    servedChanged.notify_all();
    // Serve() also returns when listening fails: make sure the stopper ends.
    if (!stopping) pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
    fprintf(stderr, "brenvikd: stopped\n");
    return 0;
}
