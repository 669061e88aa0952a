#include "service/capi_device.h"

#include <brenvik/brenvik.h>

#include <cstdio>

namespace brenvikd {
namespace {

std::string Date(const brenvik_datetime& t) {
    char text[32];
    snprintf(text, sizeof text, "%04d-%02d-%02d", static_cast<int>(t.year), static_cast<int>(t.month),
             static_cast<int>(t.day));
    return text;
}

std::string Time(const brenvik_datetime& t) {
    char text[32];
    snprintf(text, sizeof text, "%02d:%02d:%02d", static_cast<int>(t.hour), static_cast<int>(t.minute),
             static_cast<int>(t.second));
    return text;
}

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
            if (!settings_.logDir.empty() && brenvik_set_log_directory(handle_, settings_.logDir.c_str()) != BRENVIK_OK) {
                return Fail(error);
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
        brenvik_config config{};
        config.size = sizeof config;
        if (brenvik_get_config(handle_, &config) == BRENVIK_OK) {
            serial_ = config.serial_number;
            fiscal_ = config.fiscal_number;
        }
        return true;
    }

    bool Connected() const override { return handle_ && brenvik_is_connected(handle_); }
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
            outcome.details = {{"total", result.total},     {"cash", result.cash},
                               {"card", result.card},       {"credit", result.credit},
                               {"packing", result.packing}, {"change", result.change},
                               {"date", Date(result.printer_time)}, {"time", Time(result.printer_time)}};
        } else {
            outcome.error = {static_cast<int>(result.error_number), result.error_word, result.message};
            outcome.details = {{"failedLine", result.failed_line >= 0 ? json(result.failed_line) : json(nullptr)},
                               {"failedPath", result.failed_path}};
        }
        return outcome;
    }

    bool Document(const std::string& kind, int article, json* out, DeviceError* error) override {
        if (kind == "config") {
            brenvik_config c{};
            c.size = sizeof c;
            if (brenvik_get_config(handle_, &c) != BRENVIK_OK) return Fail(error);
            *out = {{"serialNumber", c.serial_number}, {"fiscalNumber", c.fiscal_number},
                    {"owner", c.owner},                {"date", Date(c.printer_time)},
                    {"time", Time(c.printer_time)},    {"keyPosition", c.key_position},
                    {"checkNumber", c.check_number},   {"variant", c.printer_variant},
                    {"firmwareDate", c.firmware_date}, {"currency", c.currency}};
        } else if (kind == "taxes") {
            brenvik_taxes t{};
            t.size = sizeof t;
            if (brenvik_get_taxes(handle_, &t) != BRENVIK_OK) return Fail(error);
            json list = json::array();
            for (int i = 0; i < 8; ++i) {
                const brenvik_tax& tax = t.tax[i];
                list.push_back({{"group", i + 1}, {"programmed", tax.programmed != 0}, {"since", Date(tax.since)},
                                {"type", tax.type}, {"rate", tax.rate}});
            }
            *out = {{"taxes", list}};
        } else if (kind == "cash") {
            brenvik_cash c{};
            c.size = sizeof c;
            if (brenvik_get_cash(handle_, &c) != BRENVIK_OK) return Fail(error);
            *out = {{"rest", c.rest},   {"income", c.income},           {"outcome", c.outcome},
                    {"sales", c.sales}, {"returns", c.returns},         {"total", c.total},
                    {"checkIncome", c.check_income}, {"checkOutcome", c.check_outcome}};
        } else if (kind == "fiscal") {
            brenvik_fiscal f{};
            f.size = sizeof f;
            if (brenvik_get_fiscal(handle_, &f) != BRENVIK_OK) return Fail(error);
            *out = {{"total", f.total},
                    {"taxTotal", std::vector<int64_t>(f.tax_total, f.tax_total + 8)},
                    {"untaxedTotal", f.untaxed_total},
                    {"returns", f.returns},
                    {"taxReturn", std::vector<int64_t>(f.tax_return, f.tax_return + 8)},
                    {"untaxedReturn", f.untaxed_return}};
        } else if (kind == "documents") {
            brenvik_documents d{};
            d.size = sizeof d;
            if (brenvik_get_documents(handle_, &d) != BRENVIK_OK) return Fail(error);
            *out = DocumentsJson(d);
        } else {
            brenvik_article a{};
            a.size = sizeof a;
            if (brenvik_get_article(handle_, article, &a) != BRENVIK_OK) return Fail(error);
            *out = {{"index", a.index},     {"name", a.name},          {"weighed", a.weighed != 0},
                    {"taxes", a.taxes},     {"soldQuantity", a.sold_quantity},
                    {"saleSum", a.sale_sum}, {"longCode", a.long_code}};
        }
        return true;
    }

    bool Status(json* out, DeviceError* error) override {
        brenvik_documents d{};
        d.size = sizeof d;
        if (brenvik_get_documents(handle_, &d) != BRENVIK_OK) return Fail(error);
        *out = DocumentsJson(d);
        (*out)["serialNumber"] = serial_;
        (*out)["fiscalNumber"] = fiscal_;
        return true;
    }

    bool XReport(json* out, DeviceError* error) override {
        return Done(brenvik_x_report(handle_), {{"report", "x"}}, out, error);
    }
    bool ZReport(json* out, DeviceError* error) override {
        return Done(brenvik_z_report(handle_), {{"report", "z"}}, out, error);
    }
    bool MoveCash(bool in, long long amount, json* out, DeviceError* error) override {
        if (amount > INT32_MAX) {
            *error = {0, "", "the amount is larger than the printer takes"};
            last_ = OperationOutcome::Refused;
            return false;
        }
        auto kopecks = static_cast<int32_t>(amount);
        brenvik_status status = in ? brenvik_cash_in(handle_, kopecks) : brenvik_cash_out(handle_, kopecks);
        return Done(status, {{"direction", in ? "in" : "out"}, {"amount", amount}}, out, error);
    }
    OperationOutcome LastOutcome() override { return last_; }
    bool GetTime(json* out, DeviceError* error) override {
        brenvik_datetime t{};
        if (brenvik_get_time(handle_, &t) != BRENVIK_OK) return Fail(error);
        *out = {{"date", Date(t)}, {"time", Time(t)}};
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

    static json DocumentsJson(const brenvik_documents& d) {
        return {{"lastCheckNumber", d.last_check_number},
                {"lastDocumentNumber", d.last_document_number},
                {"lastServiceDocumentNumber", d.last_service_document_number},
                {"lastZReportNumber", d.last_z_report_number},
                {"articleMode", d.article_mode}};
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

    bool Fail(DeviceError* error) {
        brenvik_error info{};
        info.size = sizeof info;
        brenvik_last_error(handle_, &info);
        *error = {static_cast<int>(info.number), info.word, info.message};
        if (error->message.empty()) error->message = brenvik_status_text(static_cast<brenvik_status>(info.status));
        return false;
    }

    PrinterConfig printer_;
    DeviceSettings settings_;
    brenvik_printer* handle_ = nullptr;
    std::string serial_, fiscal_;
    OperationOutcome last_ = OperationOutcome::Refused;
};

}  // namespace

std::unique_ptr<Device> MakeCapiDevice(const PrinterConfig& printer, const DeviceSettings& settings) {
    return std::make_unique<CapiDevice>(printer, settings);
}

bool ValidateReceipt(const std::string& receiptJson, std::string* path, std::string* reason) {
    brenvik_receipt_error error{};
    error.size = sizeof error;
    if (brenvik_receipt_validate(receiptJson.c_str(), nullptr, &error) == BRENVIK_OK) return true;
    *path = error.path;
    *reason = error.message;
    return false;
}

}  // namespace brenvikd
