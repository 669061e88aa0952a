// Receipts from JSON: validation without a printer, and printing through
// the one receipt mapping.
#include <cstring>
#include <new>
#include <vector>

#include "brenvik/brenvik.h"
#include "codepage/cp1251.h"
#include "capi/handle.h"
#include "receipt/amount.h"
#include "receipt/receipt.h"

namespace {

namespace receipt = brenvik::receipt;

// Into a fixed field, cut (when it must be) between characters, so that
// what the caller reads is still UTF-8.
template <size_t N>
void CopyUtf8(char (&dest)[N], const std::string& text) {
    const size_t n = brenvik::text::Utf8Prefix(text, N);
    std::memcpy(dest, text.data(), n);
    dest[n] = '\0';
}

void Describe(const receipt::Problem& problem, brenvik_receipt_error* error) {
    if (error == nullptr) return;
    brenvik_receipt_error full{};
    CopyUtf8(full.path, problem.path);
    CopyUtf8(full.message, problem.message);
    brenvik::capi::Deliver(error, full);
}

int32_t StageOf(receipt::Stage stage) {
    switch (stage) {
    case receipt::Stage::Started: return BRENVIK_STAGE_STARTED;
    case receipt::Stage::Line: return BRENVIK_STAGE_LINE;
    case receipt::Stage::LinesSent: return BRENVIK_STAGE_LINES_SENT;
    case receipt::Stage::Closing: return BRENVIK_STAGE_CLOSING;
    }
    return BRENVIK_STAGE_STARTED;
}

int32_t OutcomeOf(receipt::Outcome outcome) {
    switch (outcome) {
    case receipt::Outcome::Closed: return BRENVIK_RECEIPT_CLOSED;
    case receipt::Outcome::Cancelled: return BRENVIK_RECEIPT_CANCELLED;
    case receipt::Outcome::NotCancelled: return BRENVIK_RECEIPT_NOT_CANCELLED;
    case receipt::Outcome::Uncertain: return BRENVIK_RECEIPT_UNCERTAIN;
    }
    return BRENVIK_RECEIPT_UNCERTAIN;
}

}  // namespace

extern "C" {

brenvik_status brenvik_parse_amount(const char* text, int64_t* kopecks) {
    if (kopecks != nullptr) *kopecks = 0;
    if (text == nullptr || kopecks == nullptr) return BRENVIK_E_ARGUMENT;
    try {
        std::string why;
        return receipt::ParseAmountText(text, receipt::kMaxTotal, *kopecks, why) ? BRENVIK_OK : BRENVIK_E_ARGUMENT;
    } catch (const std::bad_alloc&) {
        return BRENVIK_E_MEMORY;
    } catch (...) {
        return BRENVIK_E_INTERNAL;
    }
}

brenvik_status brenvik_receipt_validate(const char* json, brenvik_receipt_info* info,
                                        brenvik_receipt_error* error) {
    if ((info != nullptr && !brenvik::capi::SizeSet(info)) || (error != nullptr && !brenvik::capi::SizeSet(error)))
        return BRENVIK_E_ARGUMENT;
    if (info != nullptr) brenvik::capi::Zero(info);
    try {
        receipt::Receipt parsed;
        receipt::Problem problem;
        if (!receipt::Parse(json, parsed, problem)) {
            Describe(problem, error);
            return BRENVIK_E_ARGUMENT;
        }
        Describe(problem, error);
        if (info != nullptr) {
            brenvik_receipt_info full{};
            brenvik::CopyText(full.request_id, sizeof full.request_id, parsed.requestId.c_str());
            full.is_return = parsed.isReturn ? 1 : 0;
            full.item_count = static_cast<int32_t>(parsed.items.size());
            full.text_count = static_cast<int32_t>(parsed.texts.size());
            full.total = parsed.total;
            full.paid = parsed.payments.given ? parsed.payments.Sum() : parsed.total;
            brenvik::capi::Deliver(info, full);
        }
        return BRENVIK_OK;
    } catch (const std::bad_alloc&) {
        return BRENVIK_E_MEMORY;
    } catch (...) {
        return BRENVIK_E_INTERNAL;
    }
}

brenvik_status brenvik_receipt_check(brenvik_printer* printer, const char* json, char** errors_json) {
    if (errors_json == nullptr) return BRENVIK_E_ARGUMENT;
    *errors_json = nullptr;
    try {
        receipt::Receipt parsed;
        std::vector<receipt::Problem> problems;
        if (printer != nullptr) {
            std::lock_guard<std::mutex> lock(printer->mutex);
            problems = printer->Connected() ? receipt::CheckFor(*printer->engine, json, parsed)
                                            : receipt::Check(json, parsed);
        } else {
            problems = receipt::Check(json, parsed);
        }
        *errors_json = brenvik::capi::Duplicate(receipt::ProblemsJson(problems));
        if (*errors_json == nullptr) return BRENVIK_E_MEMORY;
        return problems.empty() ? BRENVIK_OK : BRENVIK_E_ARGUMENT;
    } catch (const std::bad_alloc&) {
        return BRENVIK_E_MEMORY;
    } catch (...) {
        return BRENVIK_E_INTERNAL;
    }
}

brenvik_status brenvik_receipt_print(brenvik_printer* printer, const char* json,
                                     brenvik_receipt_progress_fn progress, void* user,
                                     brenvik_receipt_result* caller) {
    if (printer == nullptr) return BRENVIK_E_ARGUMENT;
    std::lock_guard<std::mutex> lock(printer->mutex);
    if (caller == nullptr) return printer->Fail(BRENVIK_E_ARGUMENT, "result: NULL", "result");
    if (!brenvik::capi::SizeSet(caller))
        return printer->Fail(BRENVIK_E_ARGUMENT, "result->size: not set (it must be sizeof the struct)", "result");
    // Filled whole here, handed over as far as the caller's struct goes.
    brenvik_receipt_result full{};
    brenvik_receipt_result* result = &full;
    result->failed_line = -1;
    struct Handover {
        brenvik_receipt_result* to;
        const brenvik_receipt_result& from;
        ~Handover() { brenvik::capi::Deliver(to, from); }
    } handover{caller, full};
    try {
        receipt::Receipt parsed;
        // A connected printer's own limits and tax groups decide before
        // anything is sent: a line it would refuse never opens a check.
        const std::vector<receipt::Problem> problems = printer->Connected()
                                                           ? receipt::CheckFor(*printer->engine, json, parsed)
                                                           : receipt::Check(json, parsed);
        if (!problems.empty()) {
            const receipt::Problem& problem = problems.front();
            std::string message = problem.message;
            if (problems.size() > 1) message += " (and " + std::to_string(problems.size() - 1) + " more problems)";
            result->outcome = BRENVIK_RECEIPT_INVALID;
            CopyUtf8(result->failed_path, problem.path);
            CopyUtf8(result->message, message);
            const std::string where = problem.path.empty() ? "receipt" : problem.path;
            printer->Fail(BRENVIK_E_ARGUMENT, where + ": " + message);
            CopyUtf8(printer->error.argument, problem.path);
            return BRENVIK_E_ARGUMENT;
        }
        if (!printer->Connected()) {
            result->outcome = BRENVIK_RECEIPT_CANCELLED;
            brenvik::CopyText(result->message, sizeof result->message, "not connected to a printer");
            return printer->Fail(BRENVIK_E_STATE, "not connected to a printer");
        }
        receipt::ProgressFn report;
        if (progress != nullptr) {
            report = [&](const receipt::ProgressEvent& event) {
                brenvik_receipt_progress p{};
                p.size = sizeof p;
                p.stage = StageOf(event.stage);
                p.last_check_number = event.lastCheckNumber;
                p.line_index = event.lineIndex;
                p.lines_total = event.linesTotal;
                p.sum = event.sum;
                progress(&p, user);
            };
        }
        const receipt::PrintResult printed = receipt::Print(*printer->engine, parsed, report);
        result->outcome = OutcomeOf(printed.outcome);
        result->check_number = printed.checkNumber;
        result->total = printed.total;
        result->cash = printed.paid.cash;
        result->card = printed.paid.card;
        result->credit = printed.paid.credit;
        result->packing = printed.paid.packing;
        result->change = printed.change;
        result->printer_time = brenvik_datetime{printed.printerTime.year,  printed.printerTime.month,
                                                printed.printerTime.day,   printed.printerTime.hour,
                                                printed.printerTime.minute, printed.printerTime.second};
        result->failed_line = printed.failedLine;
        CopyUtf8(result->failed_path, printed.failedPath);
        result->cancelled = printed.cancelled ? 1 : 0;
        result->error_number = printed.errorNumber;
        CopyUtf8(result->error_word, printed.errorWord);
        CopyUtf8(result->message, printed.message);
        if (printed.outcome == receipt::Outcome::Closed) return printer->Ok();

        // The handle's error tells the same story as the result.
        const uint32_t n = printed.errorNumber;
        const bool link = (n >= 1 && n <= brenvik::kErrNoConnection) || n == brenvik::kErrTimeout ||
                          n == brenvik::kErrEndlessReply || !printer->Connected();
        const brenvik_status status = printed.outcome == receipt::Outcome::Uncertain ? BRENVIK_E_UNCERTAIN
                                      : link                                          ? BRENVIK_E_NO_CONNECTION
                                                                                      : BRENVIK_E_REFUSED;
        printer->Fail(status, printed.message, printed.failedPath.c_str());
        printer->error.number = printed.errorNumber;
        brenvik::CopyText(printer->error.word, sizeof printer->error.word, printed.errorWord.c_str());
        return status;
    } catch (const std::bad_alloc&) {
        return printer->Fail(BRENVIK_E_MEMORY, "out of memory");
    } catch (const std::exception& e) {
        return printer->Fail(BRENVIK_E_INTERNAL, std::string("internal failure: ") + e.what());
    } catch (...) {
        return printer->Fail(BRENVIK_E_INTERNAL, "internal failure");
    }
}

}  // extern "C"
