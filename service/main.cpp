// brenvikd: HTTP/JSON access to Maria 301 MTM fiscal printers. The service
// is the same on every system; how it is started and stopped is the host's
// (host_posix.cpp, host_win32.cpp).
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "service/capi_device.h"
#include "service/config.h"
#include "service/host.h"
#include "service/ledger.h"
#include "service/mqtt.h"
#include "service/printer_events.h"
#include "service/service.h"
#include "service/simulator.h"

using namespace brenvikd;

namespace {

// How long a stop waits for a printer in the middle of an operation, and
// then for the answers still being sent.
constexpr int kPrinterGraceMs = 2500;
constexpr int kServeGraceMs = 1500;

int Run(Host& host, Config& config) {
    std::string error;
    std::unique_ptr<SimulatedPrinter> simulator;
    if (config.simulate && !(simulator = StartSimulator(config, &error))) {
        host.Error(error);
        return 1;
    }
    std::unique_ptr<Ledger> ledger = Ledger::Open(config.ledger, &error);
    if (!ledger) {
        host.Error(error);
        return 1;
    }
    if (ledger->created()) fprintf(stderr, "brenvikd: a new ledger %s\n", config.ledger.c_str());
    DeviceSettings settings{config.logDir, config.timeoutMs};
    std::shared_ptr<Notifier> notifier = MakeSystemNotifier();
    Service service(config, *ledger,
                    [settings, notifier](const PrinterConfig& printer) {
                        return WatchPrinter(MakeCapiDevice(printer, settings), printer.id, notifier);
                    },
                    ValidateReceipt);
    if (!service.Bind(&error)) {
        host.Error(error);
        return 1;
    }
    // The broker's messages of the last run that never reached a printer
    // are taken back before the printers reconcile.
    std::unique_ptr<MqttConnector> mqtt;
    if (!config.mqtt.url.empty()) {
        mqtt = std::make_unique<MqttConnector>(config, service, *ledger);
        if (!mqtt->Open(&error)) {
            host.Error(error);
            return 1;
        }
    }
    host.Running();
    // A stop ends the process within a few seconds, whatever a printer
    // does: what is still under way is decided at the next start.
    std::atomic<bool> stopping{false};
    std::mutex served;
    std::condition_variable servedChanged;
    bool serveEnded = false;
    auto leave = [&](const char* why) {
        ledger->Close();  // between two statements: no write is cut in half
        fprintf(stderr, "brenvikd: stopped; %s: what it did is decided at the next start\n", why);
        fflush(stderr);
        host.Exit(0);
    };
    std::thread stopper([&] {
        if (!host.WaitForStop()) return;
        stopping = true;
        host.Stopping(kPrinterGraceMs + kServeGraceMs + 1000);
        if (mqtt) mqtt->Stop();  // no message is taken that the printers would not finish
        service.Stop();
        if (!service.StopPrinters(kPrinterGraceMs)) leave("a printer was still busy");
        std::unique_lock<std::mutex> lock(served);
        if (!servedChanged.wait_for(lock, std::chrono::milliseconds(kServeGraceMs), [&] { return serveEnded; })) {
            leave("a request was still being answered");
        }
    });
    // Unfinished requests of a previous run are decided before anything new is served.
    service.StartPrinters(30000);
    if (!stopping && mqtt) mqtt->Start();
    if (!stopping) {
        if (service.metricsPort() > 0)
            fprintf(stderr, "brenvikd: metrics on http://127.0.0.1:%d/metrics without a token\n", service.metricsPort());
        fprintf(stderr, "brenvikd: listening on http://%s:%d/ with %zu printer(s), ledger %s\n",
                config.host.find(':') == std::string::npos ? config.host.c_str()
                                                           : ("[" + config.host + "]").c_str(),
                service.port(), config.printers.size(), config.ledger.c_str());
        fflush(stderr);
        service.Serve();
    }
    {
        std::lock_guard<std::mutex> lock(served);
        serveEnded = true;
    }
    servedChanged.notify_all();
    // Serve() also returns when listening fails: make sure the stopper ends.
    if (!stopping) host.Release();
    stopper.join();
    fprintf(stderr, "brenvikd: stopped\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return RunHost(argc, argv, Run); }
