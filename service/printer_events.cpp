#include "service/printer_events.h"

#include "service/log_line.h"

namespace brenvikd {
namespace {

// The engine's numbers for a line that could not be opened or set up (1 to
// 7) and for a printer that did not answer in time (80).
bool NoAnswer(const DeviceError& error) {
    return (error.number >= 1 && error.number <= 7) || error.number == 80;
}

bool PaperWord(const std::string& word) { return word == "SOFTPAPER" || word == "HARDPAPER"; }

class WatchedDevice : public Device {
public:
    WatchedDevice(std::unique_ptr<Device> device, std::string printer, std::shared_ptr<Notifier> notifier)
        : device_(std::move(device)), printer_(std::move(printer)), notifier_(std::move(notifier)) {}

    bool Connect(DeviceError* error) override { return Seen(device_->Connect(error), *error, false); }
    bool Connected() const override { return device_->Connected(); }
    void Disconnect() override { device_->Disconnect(); }
    bool LineLost() const override { return device_->LineLost(); }
    bool ReadLastCheckNumber(long* number, DeviceError* error) override {
        return Seen(device_->ReadLastCheckNumber(number, error), *error, false);
    }
    long KnownLastCheckNumber() override { return device_->KnownLastCheckNumber(); }
    bool AbortCheck(DeviceError* error) override { return Seen(device_->AbortCheck(error), *error, false); }
    ReceiptOutcome PrintReceipt(const std::string& receiptJson, const ReceiptProgress& progress) override {
        ReceiptOutcome outcome = device_->PrintReceipt(receiptJson, progress);
        if (!outcome.invalid) Seen(outcome.closed, outcome.error, true);  // invalid: nothing was sent
        return outcome;
    }
    bool Document(const std::string& kind, int article, json* out, DeviceError* error) override {
        return Seen(device_->Document(kind, article, out, error), *error, false);
    }
    bool Status(json* out, DeviceError* error) override { return Seen(device_->Status(out, error), *error, false); }
    bool XReport(json* out, DeviceError* error) override { return Seen(device_->XReport(out, error), *error, true); }
    bool ZReport(json* out, DeviceError* error) override { return Seen(device_->ZReport(out, error), *error, true); }
    bool MoveCash(bool in, long long amount, json* out, DeviceError* error) override {
        return Seen(device_->MoveCash(in, amount, out, error), *error, true);
    }
    OperationOutcome LastOutcome() override { return device_->LastOutcome(); }
    bool GetTime(json* out, DeviceError* error) override { return Seen(device_->GetTime(out, error), *error, false); }
    bool SetTime(const std::string& when, json* out, DeviceError* error) override {
        return Seen(device_->SetTime(when, out, error), *error, false);
    }
    bool Raw(const std::string& command, json* out, DeviceError* error) override {
        return Seen(device_->Raw(command, out, error), *error, false);
    }

private:
    // What one result says about the printer. printed: the operation puts
    // a document on paper, so its success means the paper is back.
    bool Seen(bool ok, const DeviceError& error, bool printed) {
        bool answered = ok || !(NoAnswer(error) || !device_->Connected());
        if (answered && offline_) Change(offline_, false, PrinterEvent::Online, "");
        if (!answered && !offline_) Change(offline_, true, PrinterEvent::Offline, error.message);
        if (ok && printed && paperOut_) Change(paperOut_, false, PrinterEvent::PaperBack, "");
        if (!ok && PaperWord(error.word) && !paperOut_) Change(paperOut_, true, PrinterEvent::PaperOut, error.message);
        return ok;
    }

    void Change(bool& state, bool now, PrinterEvent event, const std::string& detail) {
        state = now;
        notifier_->Notify(printer_, event, detail);
    }

    std::unique_ptr<Device> device_;
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
