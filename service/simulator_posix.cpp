#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

#include "service/simulator.h"
#include "sim/m301sim.h"

namespace brenvikd {
namespace {

// The service reaches it through the line exactly as it reaches a real one.
class PtySimulator : public SimulatedPrinter {
public:
    bool Start(Config& config, std::string* error) {
        char pattern[] = "/tmp/brenvikd-sim.XXXXXX";
        if (!mkdtemp(pattern)) {
            *error = "cannot make a directory for the simulated printer";
            return false;
        }
        dir_ = pattern;
        std::string journal = config.simJournal.empty() ? dir_ + "/journal.txt" : config.simJournal;
        if (!printer_.OpenJournal(journal, error)) return false;
        m301sim::PtyPrinter::Options options;
        options.link = dir_ + "/com1";
        options.control = dir_ + "/control";
        line_ = std::make_unique<m301sim::PtyPrinter>(printer_, options);
        if (!line_->Start(error)) return false;
        PrinterConfig sim;
        sim.id = "sim";
        sim.device = options.link;
        config.printers.insert(config.printers.begin(), sim);
        fprintf(stderr, "brenvikd: simulated printer 'sim' on %s, printing on %s, control socket %s\n",
                options.link.c_str(), journal.c_str(), options.control.c_str());
        return true;
    }
    ~PtySimulator() override {
        if (line_) line_->Stop();
        if (!dir_.empty()) rmdir(dir_.c_str());
    }

private:
    std::string dir_;
    m301sim::Printer printer_;
    std::unique_ptr<m301sim::PtyPrinter> line_;
};

}  // namespace

std::unique_ptr<SimulatedPrinter> StartSimulator(Config& config, std::string* error) {
    auto simulator = std::make_unique<PtySimulator>();
    if (!simulator->Start(config, error)) return nullptr;
    return simulator;
}

}  // namespace brenvikd
