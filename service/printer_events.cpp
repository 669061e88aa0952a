#include "service/printer_events.h"

#include "service/log_line.h"
#include "service/observed_device.h"

namespace brenvikd {
namespace {

// The engine's numbers for a line that could not be opened or set up (1 to
// 7) and for a printer that did not answer in time (80).
bool NoAnswer(const DeviceError& error) {
    return (error.number >= 1 && error.number <= 7) || error.number == 80;
}

bool PaperWord(const std::string& word) { return word == "SOFTPAPER" || word == "HARDPAPER"; }

class WatchedDevice : public ObservedDevice {
public:
    WatchedDevice(std::unique_ptr<Device> device, std::string printer, std::shared_ptr<Notifier> notifier)
        : ObservedDevice(std::move(device)), printer_(std::move(printer)), notifier_(std::move(notifier)) {}

private:
    // What one result says about the printer. printed: its success means
    // the paper is back.
    void Observe(bool ok, const DeviceError& error, bool printed) override {
        bool answered = ok || !(NoAnswer(error) || !Connected());
        if (answered && offline_) Change(offline_, false, PrinterEvent::Online, "");
        if (!answered && !offline_) Change(offline_, true, PrinterEvent::Offline, error.message);
        if (ok && printed && paperOut_) Change(paperOut_, false, PrinterEvent::PaperBack, "");
        if (!ok && PaperWord(error.word) && !paperOut_) Change(paperOut_, true, PrinterEvent::PaperOut, error.message);
    }

    void Change(bool& state, bool now, PrinterEvent event, const std::string& detail) {
        state = now;
        notifier_->Notify(printer_, event, detail);
    }

    const std::string printer_;
    std::shared_ptr<Notifier> notifier_;
    // The worker's thread is the only caller: no lock.
    bool offline_ = false;
    bool paperOut_ = false;
};

}  // namespace

std::string EventText(const std::string& printer, PrinterEvent event, const std::string& detail) {
    std::string text = "printer " + printer;
    switch (event) {
    case PrinterEvent::Offline:
        text += " is offline";
        break;
    case PrinterEvent::Online:
        return text + " is online again";
    case PrinterEvent::PaperOut:
        text += " is out of paper";
        break;
    case PrinterEvent::PaperBack:
        return text + " has paper again";
    }
    if (detail.empty()) return text;
    // One line, whatever the printer's message holds.
    std::string flat = detail;
    for (char& c : flat) c = c == '\n' || c == '\r' ? ' ' : c;
    return text + ": " + flat;
}

std::string EventFields(const std::string& printer, PrinterEvent event, const std::string& detail) {
    const char* state = event == PrinterEvent::Offline     ? "offline"
                        : event == PrinterEvent::Online    ? "online"
                        : event == PrinterEvent::PaperOut  ? "paper-out"
                                                           : "paper-back";
    std::string line = "printer=" + LogValue(printer) + " state=" + state;
    if (!detail.empty()) line += " detail=" + LogValue(detail);
    return line;
}

std::unique_ptr<Device> WatchPrinter(std::unique_ptr<Device> device, std::string printer,
                                     std::shared_ptr<Notifier> notifier) {
    return std::make_unique<WatchedDevice>(std::move(device), std::move(printer), std::move(notifier));
}

}  // namespace brenvikd
