#include "service/capi_device.h"

#include <brenvik/brenvik.h>

#include <cstdio>
#include <filesystem>

#include "json/results.h"
#include "service/operations.h"

namespace brenvikd {
namespace {

namespace results = brenvik::results;

// The one JSON language (json/results.h), as the service's json.
json Json(const results::Json& value) { return json(value); }

class CapiDevice : public Device {
public:
    CapiDevice(PrinterConfig printer, DeviceSettings settings)
        : printer_(std::move(printer)), settings_(std::move(settings)) {}
    ~CapiDevice() override { brenvik_close(handle_); }

    bool Connect(DeviceError* error) override {
        if (!handle_) {
            if (brenvik_create(&handle_) != BRENVIK_OK) {
                *error = {0, "", "out of memory"};
                return false;
            }
            // Each printer keeps its own log, in a folder named after it:
            // two engines appending to (and archiving) one file would
            // interleave and lose each other's lines.
            if (!settings_.logDir.empty()) {
                const std::filesystem::path dir = std::filesystem::u8path(settings_.logDir) / printer_.id;
                std::error_code made;
                std::filesystem::create_directories(dir, made);
                if (made) {
                    *error = {0, "", "cannot make the log folder " + dir.u8string() + ": " + made.message()};
                    return false;
                }
                if (brenvik_set_log_directory(handle_, dir.u8string().c_str()) != BRENVIK_OK) return Fail(error);
            }
            if (settings_.timeoutMs > 0) brenvik_set_timeout(handle_, settings_.timeoutMs);
            brenvik_set_log_archives_kept(handle_, settings_.logArchivesKept);
        }
        brenvik_status status =
            printer_.device.empty()
                ? brenvik_connect_port(handle_, printer_.port, printer_.cashier.c_str(), printer_.password.c_str())
                : brenvik_connect_device(handle_, printer_.device.c_str(), printer_.cashier.c_str(),
                                         printer_.password.c_str());
        if (status != BRENVIK_OK) return Fail(error);
        lineLost_ = false;
        brenvik_config config{};
        config.size = sizeof config;
        if (brenvik_get_config(handle_, &config) == BRENVIK_OK) {
            serial_ = config.serial_number;
            fiscal_ = config.fiscal_number;
        }
        return true;
    }

    bool Connected() const override { return handle_ && brenvik_is_connected(handle_); }
    bool LineLost() const override { return lineLost_; }
    void Disconnect() override { brenvik_disconnect(handle_); }

    bool ReadLastCheckNumber(long* number, DeviceError* error) override {
        brenvik_documents documents{};
        documents.size = sizeof documents;
        if (brenvik_get_documents(handle_, &documents) != BRENVIK_OK) return Fail(error);
        *number = static_cast<long>(documents.last_check_number);
        return true;
    }

    long KnownLastCheckNumber() override {
        int64_t number = 0;
        brenvik_last_check_number(handle_, &number);
        return static_cast<long>(number);
    }

    bool AbortCheck(DeviceError* error) override {
        return brenvik_abort_check(handle_) == BRENVIK_OK || Fail(error);
    }

    ReceiptOutcome PrintReceipt(const std::string& receiptJson, const ReceiptProgress& progress) override {
        brenvik_receipt_result result{};
        result.size = sizeof result;
        brenvik_receipt_print(handle_, receiptJson.c_str(), &CapiDevice::OnProgress,
                              const_cast<ReceiptProgress*>(&progress), &result);
        ReceiptOutcome outcome;
        outcome.closed = result.outcome == BRENVIK_RECEIPT_CLOSED;
        // Invalid: nothing was sent. Cancelled: nothing of it is in the registers.
        outcome.cancelled =
            result.outcome == BRENVIK_RECEIPT_CANCELLED || result.outcome == BRENVIK_RECEIPT_INVALID;
        outcome.invalid = result.outcome == BRENVIK_RECEIPT_INVALID;
        if (outcome.closed) {
            outcome.checkNumber = static_cast<long>(result.check_number);
            outcome.details = Json(results::ReceiptClosed(result));
        } else {
            outcome.error = {static_cast<int>(result.error_number), result.error_word, result.message};
            if (LineFailure(outcome.error.number)) lineLost_ = true;
            outcome.details = {{"failedLine", result.failed_line >= 0 ? json(result.failed_line) : json(nullptr)},
                               {"failedPath", result.failed_path}};
            if (outcome.invalid) {
                // Every problem this printer finds in it, not only the first.
                char* list = nullptr;
                if (brenvik_receipt_check(handle_, receiptJson.c_str(), &list) == BRENVIK_E_ARGUMENT && list)
                    outcome.details["errors"] = json::parse(list, nullptr, false);
                brenvik_free(list);
            }
        }
        return outcome;
    }

    bool Document(const std::string& kind, int article, json* out, DeviceError* error) override {
        if (kind == "config") {
            brenvik_config c{};
            c.size = sizeof c;
            if (brenvik_get_config(handle_, &c) != BRENVIK_OK) return Fail(error);
            *out = Json(results::Config(c));
        } else if (kind == "taxes") {
            brenvik_taxes t{};
            t.size = sizeof t;
            if (brenvik_get_taxes(handle_, &t) != BRENVIK_OK) return Fail(error);
            *out = Json(results::Taxes(t));
        } else if (kind == "cash") {
            brenvik_cash c{};
            c.size = sizeof c;
            if (brenvik_get_cash(handle_, &c) != BRENVIK_OK) return Fail(error);
            *out = Json(results::Cash(c));
        } else if (kind == "fiscal") {
            brenvik_fiscal f{};
            f.size = sizeof f;
            if (brenvik_get_fiscal(handle_, &f) != BRENVIK_OK) return Fail(error);
            *out = Json(results::Fiscal(f));
        } else if (kind == "documents") {
            brenvik_documents d{};
            d.size = sizeof d;
            if (brenvik_get_documents(handle_, &d) != BRENVIK_OK) return Fail(error);
            *out = Json(results::Documents(d));
        } else {
            brenvik_article a{};
            a.size = sizeof a;
            if (brenvik_get_article(handle_, article, &a) != BRENVIK_OK) return Fail(error);
            *out = Json(results::Article(a));
        }
        return true;
    }

    bool Status(json* out, DeviceError* error) override {
        brenvik_documents d{};
        d.size = sizeof d;
        if (brenvik_get_documents(handle_, &d) != BRENVIK_OK) return Fail(error);
        *out = Json(results::PrinterStatus(serial_, fiscal_, d));
        return true;
    }

    bool XReport(json* out, DeviceError* error) override {
        return Done(brenvik_x_report(handle_), Json(results::Operation("x-report")), out, error);
    }
    bool ZReport(json* out, DeviceError* error) override {
        return Done(brenvik_z_report(handle_), Json(results::Operation("z-report")), out, error);
    }
    bool MoveCash(bool in, long long amount, json* out, DeviceError* error) override {
        // Amounts past the printer's registers are refused by the library.
        brenvik_status status = in ? brenvik_cash_in(handle_, amount) : brenvik_cash_out(handle_, amount);
        return Done(status, Json(results::Operation("cash", in, amount)), out, error);
    }
    OperationOutcome LastOutcome() override { return last_; }
    bool GetTime(json* out, DeviceError* error) override {
        brenvik_datetime t{};
        if (brenvik_get_time(handle_, &t) != BRENVIK_OK) return Fail(error);
        *out = Json(results::Clock(t));
        return true;
    }
    bool SetTime(const std::string& when, json* out, DeviceError* error) override {
        // "YYYY-MM-DDThh:mm:ss": the printer sets only its time of day.
        int h = std::stoi(when.substr(11, 2)), m = std::stoi(when.substr(14, 2)), s = std::stoi(when.substr(17, 2));
        if (brenvik_set_time(handle_, h, m, s) != BRENVIK_OK) return Fail(error);
        return GetTime(out, error);
    }
    bool Raw(const std::string& command, json* out, DeviceError* error) override {
        char* reply = nullptr;
        brenvik_status status = brenvik_raw(handle_, command.c_str(), &reply);
        std::string text = reply ? reply : "";
        brenvik_free(reply);
        if (status != BRENVIK_OK) {
            Fail(error);
            return false;
        }
        *out = {{"command", command}, {"reply", text}};
        return true;
    }

private:
    static void OnProgress(const brenvik_receipt_progress* p, void* user) {
        const auto& progress = *static_cast<const ReceiptProgress*>(user);
        switch (p->stage) {
        case BRENVIK_STAGE_STARTED:
            progress.started(static_cast<long>(p->last_check_number));
            break;
        case BRENVIK_STAGE_LINES_SENT:
            progress.linesSent();
            break;
        case BRENVIK_STAGE_CLOSING:
            progress.closing();
            break;
        default:
            break;
        }
    }

    // The status says done, not done or unknown; the handle's outcome adds
    // whether a lost reply was reconciled.
    bool Done(brenvik_status status, json done, json* out, DeviceError* error) {
        // The error first: asking for the outcome is a call that clears it.
        if (status != BRENVIK_OK) Fail(error);
        int32_t outcome = BRENVIK_OUTCOME_NONE;
        brenvik_last_outcome(handle_, &outcome);
        if (status == BRENVIK_OK) {
            last_ = outcome == BRENVIK_OUTCOME_RECONCILED_DONE ? OperationOutcome::ReconciledDone
                                                              : OperationOutcome::Done;
            *out = std::move(done);
            return true;
        }
        if (status == BRENVIK_E_UNCERTAIN) {
            last_ = OperationOutcome::Unknown;
        } else {
            last_ = outcome == BRENVIK_OUTCOME_RECONCILED_NOT_DONE ? OperationOutcome::ReconciledNotDone
                                                                  : OperationOutcome::Refused;
        }
        return false;
    }

    // No printer to talk to, or a reply lost on the way (95, UNCONFIRMED).
    static bool LineFailure(int number) { return ConnectionError(number) || number == 95; }

    bool Fail(DeviceError* error) {
        brenvik_error info{};
        info.size = sizeof info;
        brenvik_last_error(handle_, &info);
        *error = DeviceError(static_cast<int>(info.number), info.word, info.message,
                             results::FailureOf(static_cast<brenvik_status>(info.status), info).advice);
        if (error->message.empty()) error->message = brenvik_status_text(static_cast<brenvik_status>(info.status));
        if (LineFailure(error->number)) lineLost_ = true;
        return false;
    }

    PrinterConfig printer_;
    DeviceSettings settings_;
    brenvik_printer* handle_ = nullptr;
    std::string serial_, fiscal_;
    OperationOutcome last_ = OperationOutcome::Refused;
    bool lineLost_ = false;
};

}  // namespace

std::unique_ptr<Device> MakeCapiDevice(const PrinterConfig& printer, const DeviceSettings& settings) {
    return std::make_unique<CapiDevice>(printer, settings);
}

json ValidateReceipt(const std::string& receiptJson) {
    char* list = nullptr;
    brenvik_receipt_check(nullptr, receiptJson.c_str(), &list);
    json problems = json::parse(list != nullptr ? list : "[]", nullptr, false);
    brenvik_free(list);
    return problems.is_array() ? problems : json::array({{{"path", ""}, {"message", "the receipt cannot be checked"}}});
}

}  // namespace brenvikd
