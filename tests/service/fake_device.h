// A printer for the service's tests: each call answers what the test
// scripted, and every call is counted.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <memory>

#include "service/device.h"
#include "service/ledger.h"

namespace brenvikd::testing {

// A ledger that lives in memory, for one test.
inline std::unique_ptr<Ledger> MemoryLedger() {
    std::string error;
    auto ledger = Ledger::Open(":memory:", &error);
    EXPECT_TRUE(ledger) << error;
    return ledger;
}

class FakeDevice : public Device {
public:
    // What the printer knows.
    long lastCheckNumber = 100;
    bool checkOpen = false;
    bool reachable = true;  // false: every call fails as a lost line
    bool abortWorks = true;
    std::string date = "2026-12-08";  // the printer's own; it sets only its time of day
    // The counters reports and cash move; firmware without document
    // numbers reports zeros.
    long documentNumber = 500, serviceDocumentNumber = 40, zReportNumber = 7;
    long long cashIncome = 0, cashOutcome = 0;
    bool reportsNumbers = true;
    // How the next report or cash movement ends: whether the printer does
    // it, what the line tells, and whether the line drops right after.
    struct ActionScript {
        bool does = true;
        OperationOutcome told = OperationOutcome::Done;
        bool dropAfter = false;
    };
    std::vector<ActionScript> actions;  // the next ones, in order; empty: done and told so
    // How the next receipts end; default: closed with the next number.
    std::function<ReceiptOutcome(FakeDevice&, const ReceiptProgress&)> print;
    std::vector<std::string> calls;
    std::vector<std::string> printed;  // receipt bodies that reached PrintReceipt

    // Holds every call until Release(): lets a test see a busy printer.
    void Hold() {
        std::lock_guard<std::mutex> lock(gate_);
        held_ = true;
    }
    void Release() {
        {
            std::lock_guard<std::mutex> lock(gate_);
            held_ = false;
        }
        opened_.notify_all();
    }

    // The line drops: the device notices at its next call.
    void Drop() {
        reachable = false;
        connected_ = false;
    }

    bool Connect(DeviceError* error) override {
        Note("connect");
        connected_ = reachable;
        if (!reachable) *error = Lost();
        return reachable;
    }
    bool Connected() const override { return connected_; }
    bool LineLost() const override { return false; }
    void Disconnect() override {
        Note("disconnect");
        connected_ = false;
    }
    bool ReadLastCheckNumber(long* number, DeviceError* error) override {
        Note("glcn");
        if (!reachable) return Fail(error);
        *number = lastCheckNumber;
        return true;
    }
    long KnownLastCheckNumber() override { return lastCheckNumber; }
    bool AbortCheck(DeviceError* error) override {
        Note("abort");
        if (!reachable || !abortWorks) return Fail(error);
        checkOpen = false;
        return true;
    }
    ReceiptOutcome PrintReceipt(const std::string& body, const ReceiptProgress& progress) override {
        Note("receipt");
        printed.push_back(body);
        if (print) return print(*this, progress);
        return CloseNormally(progress);
    }
    ReceiptOutcome CloseNormally(const ReceiptProgress& progress) {
        progress.started(lastCheckNumber);
        checkOpen = true;
        progress.linesSent();
        progress.closing();
        checkOpen = false;
        ReceiptOutcome outcome;
        outcome.closed = true;
        outcome.checkNumber = ++lastCheckNumber;
        outcome.details = {{"total", 1250}};
        return outcome;
    }
    bool Document(const std::string& kind, int article, json* out, DeviceError* error) override {
        Note("document " + kind);
        if (!reachable) return Fail(error);
        long n = reportsNumbers ? 1 : 0;
        if (kind == "documents") {
            *out = {{"lastCheckNumber", n * lastCheckNumber},
                    {"lastDocumentNumber", n * documentNumber},
                    {"lastServiceDocumentNumber", n * serviceDocumentNumber},
                    {"lastZReportNumber", n * zReportNumber}};
        } else if (kind == "cash") {
            *out = {{"income", cashIncome}, {"outcome", cashOutcome}, {"rest", cashIncome - cashOutcome}};
        } else {
            *out = {{"kind", kind}, {"article", article}};
        }
        return true;
    }
    bool Status(json* out, DeviceError* error) override {
        Note("status");
        if (!reachable) return Fail(error);
        *out = {{"lastCheckNumber", lastCheckNumber}, {"serialNumber", "4000012345"}, {"fiscalNumber", "3000054321"}};
        return true;
    }
    bool XReport(json* out, DeviceError* error) override {
        return Act("x-report", out, error, [this] { ++documentNumber, ++serviceDocumentNumber; });
    }
    bool ZReport(json* out, DeviceError* error) override {
        return Act("z-report", out, error, [this] { ++documentNumber, ++serviceDocumentNumber, ++zReportNumber; });
    }
    bool MoveCash(bool in, long long amount, json* out, DeviceError* error) override {
        return Act(std::string(in ? "cash in " : "cash out ") + std::to_string(amount), out, error,
                   [this, in, amount] { (in ? cashIncome : cashOutcome) += amount; });
    }
    OperationOutcome LastOutcome() override { return told_; }
    bool GetTime(json* out, DeviceError* error) override {
        if (!Simple("time", out, error)) return false;
        *out = {{"date", date}, {"time", "10:11:12"}};
        return true;
    }
    bool SetTime(const std::string& when, json* out, DeviceError* error) override {
        return Simple("set time " + when, out, error);
    }
    bool Raw(const std::string& command, json* out, DeviceError* error) override {
        return Simple("raw " + command, out, error);
    }

    static DeviceError Lost() { return {4, "CONNTIMEOUT", "no answer from the printer"}; }

private:
    void Note(const std::string& call) {
        std::unique_lock<std::mutex> lock(gate_);
        opened_.wait(lock, [this] { return !held_; });
        calls.push_back(call);
    }
    bool Fail(DeviceError* error) {
        connected_ = false;
        *error = Lost();
        return false;
    }
    bool Simple(const std::string& call, json* out, DeviceError* error) {
        Note(call);
        if (!reachable) return Fail(error);
        *out = {{"done", call}};
        return true;
    }

    // A report or cash movement as the next script says.
    bool Act(const std::string& call, json* out, DeviceError* error, const std::function<void()>& effect) {
        ActionScript script;
        if (!actions.empty()) {
            script = actions.front();
            actions.erase(actions.begin());
        }
        told_ = OperationOutcome::Refused;
        if (!Simple(call, out, error)) return false;
        if (script.does) effect();
        told_ = script.told;
        if (script.dropAfter) Drop();
        if (told_ == OperationOutcome::Done || told_ == OperationOutcome::ReconciledDone) return true;
        *error = told_ == OperationOutcome::Refused ? DeviceError{43, "SOFTNEED", "refused"}
                 : told_ == OperationOutcome::Unknown ? DeviceError{95, "UNCONFIRMED", "not known"}
                                                      : Lost();
        return false;
    }

    OperationOutcome told_ = OperationOutcome::Done;
    bool connected_ = false;
    std::mutex gate_;
    std::condition_variable opened_;
    bool held_ = false;
};

}  // namespace brenvikd::testing
