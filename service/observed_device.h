// A device that passes every call on to the one it wraps and is told what
// each result says about the printer. The service's watchers (the printer
// events, the metrics) stand on it, so none of them can forget to pass a
// call on when Device grows.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "service/device.h"

namespace brenvikd {

class ObservedDevice : public Device {
public:
    explicit ObservedDevice(std::unique_ptr<Device> device) : device_(std::move(device)) {}

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

protected:
    // One call's result: ok, or the error it ended with. printed: the call
    // puts a document on paper, so its success means there is paper.
    virtual void Observe(bool ok, const DeviceError& error, bool printed) = 0;

private:
    bool Seen(bool ok, const DeviceError& error, bool printed) {
        Observe(ok, error, printed);
        return ok;
    }

    std::unique_ptr<Device> device_;
};

}  // namespace brenvikd
