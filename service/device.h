// What a printer's worker needs from one printer. The real one stands on
// the C API (capi_device.cpp); the unit tests script a fake one.
// Everything here runs on the printer's worker thread only.
#pragma once

#include <functional>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

namespace brenvikd {

using nlohmann::json;

struct DeviceError {
    DeviceError(int number_ = 0, std::string word_ = {}, std::string message_ = {}, std::string advice_ = {})
        : number(number_), word(std::move(word_)), message(std::move(message_)), advice(std::move(advice_)) {}
    int number = 0;       // the engine's error number, 0 = none
    std::string word;     // the printer's error word ("SOFTPAPER"), may be empty
    std::string message;  // UTF-8: the engine's own message when number is not 0
    std::string advice;   // what to do, when the library knows better than the number (a port's hint)
};

// How far a receipt got, told as it happens: the ledger writes each stage
// down before the printer is sent the next thing.
struct ReceiptProgress {
    // Before anything is sent: the last check number the printer reported.
    std::function<void(long lastCheckNumber)> started;
    std::function<void()> linesSent;
    std::function<void()> closing;
};

// How the last operation that changes the printer's state ended, as the
// line tells it: when its reply was lost, the line reads again the counter
// the operation moves before it says.
enum class OperationOutcome { Done, Refused, ReconciledDone, ReconciledNotDone, Unknown };

struct ReceiptOutcome {
    bool closed = false;       // the printer closed the check
    bool cancelled = false;    // the check was aborted on the printer (or never opened)
    bool invalid = false;      // the printer cannot take the document: nothing was sent
    long checkNumber = 0;      // when closed
    json details;              // amounts, the printer's date and time; failing line
    DeviceError error;         // when not closed
};

class Device {
public:
    virtual ~Device() = default;

    // Opens the line and registers the cashier; false with *error.
    virtual bool Connect(DeviceError* error) = 0;
    virtual bool Connected() const = 0;
    // Closes the line; the next Connect opens it again and wakes the printer.
    virtual void Disconnect() = 0;
    // Since the line was opened, a call found no printer on it (the port
    // failed, or the printer stayed silent): the worker opens the line anew
    // after the job, for the line itself may be gone.
    virtual bool LineLost() const = 0;

    // Reads the document numbers from the printer now.
    virtual bool ReadLastCheckNumber(long* number, DeviceError* error) = 0;
    // The last closed check's number as the line knows it, without asking
    // the printer: the number a receipt printed now starts from.
    virtual long KnownLastCheckNumber() = 0;
    // Cancels the open check on the printer; success when none is open.
    virtual bool AbortCheck(DeviceError* error) = 0;

    // A whole receipt, already validated.
    virtual ReceiptOutcome PrintReceipt(const std::string& receiptJson, const ReceiptProgress& progress) = 0;

    // The other operations answer JSON for the client.
    // kind: config, taxes, cash, fiscal, documents; article with its number.
    virtual bool Document(const std::string& kind, int article, json* out, DeviceError* error) = 0;
    // The printer's state and document numbers, for GET .../status.
    virtual bool Status(json* out, DeviceError* error) = 0;
    // Reports and cash: true when done (LastOutcome says whether it was
    // reconciled); false when not done or not known (LastOutcome says which).
    virtual bool XReport(json* out, DeviceError* error) = 0;
    virtual bool ZReport(json* out, DeviceError* error) = 0;
    // Kopecks; in = true for cash in.
    virtual bool MoveCash(bool in, long long amount, json* out, DeviceError* error) = 0;
    virtual OperationOutcome LastOutcome() = 0;
    virtual bool GetTime(json* out, DeviceError* error) = 0;
    // "YYYY-MM-DDThh:mm:ss", the printer's local time.
    virtual bool SetTime(const std::string& when, json* out, DeviceError* error) = 0;
    virtual bool Raw(const std::string& command, json* out, DeviceError* error) = 0;
};

// Checks a receipt without a printer: every problem of it,
// [{"path": JSON Pointer, "message"}, ...]; empty when it is valid.
using ReceiptValidator = std::function<json(const std::string& receiptJson)>;

}  // namespace brenvikd
