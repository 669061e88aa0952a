#include <cstdio>

#include "service/printer_events.h"

namespace brenvikd {
namespace {

// systemd's journal keeps standard error: one line per change.
class StderrNotifier : public Notifier {
public:
    void Notify(const std::string& printer, PrinterEvent event, const std::string& detail) override {
        fprintf(stderr, "brenvikd: %s\n", EventFields(printer, event, detail).c_str());
    }
};

}  // namespace

std::unique_ptr<Notifier> MakeSystemNotifier() { return std::make_unique<StderrNotifier>(); }

}  // namespace brenvikd
