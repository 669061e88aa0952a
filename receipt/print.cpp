// The one mapping of a receipt to engine operations: cashier, open, free
// text, lines, closing. A failing step cancels the check, so a receipt that
// fails half-way leaves nothing in the printer's registers.
#include <cstring>

#include "codepage/cp1251.h"
#include "receipt/receipt.h"

namespace brenvik::receipt {

namespace {

class Run {
public:
    Run(PrinterEngine& engine, const Receipt& receipt, const ProgressFn& progress)
        : e_(engine), r_(receipt), progress_(progress) {}

    PrintResult Go() {
        // What the check's closing is measured against, after a crash too:
        // asked of the printer when a zero check or a raw command made the
        // engine's number stale.
        event_.lastCheckNumber = e_.KnownLastCheck();
        event_.linesTotal = static_cast<int32_t>(r_.items.size());
        Report(Stage::Started);

        if (r_.hasOperator) {
            e_.RegisterCashier(r_.password.c_str(), r_.cashier.c_str());
            if (!Step(true, "/operator")) return Cancel();
        }
        if (!Step(r_.isReturn ? e_.OpenReturnCheck(r_.department.c_str()) : e_.OpenCheck(r_.department.c_str()),
                  "/type"))
            return Cancel();
        if (!r_.returnCheckNumbers.empty() &&
            !Step(e_.SetReturnCheckNumberStr(r_.returnCheckNumbers.c_str()), "/returnCheckNumber"))
            return Cancel();
        for (size_t i = 0; i < r_.texts.size(); ++i) {
            const TextLine& t = r_.texts[i];
            if (!Step(e_.FreeTextLine(t.before ? 1 : 0, t.journal ? 1 : 0, t.bold ? 1 : 0, t.text.c_str()),
                      "/texts/" + std::to_string(i)))
                return Cancel();
        }
        for (size_t i = 0; i < r_.items.size(); ++i) {
            const Item& item = r_.items[i];
            e_.FiscalLineEx(item.name.c_str(), item.quantity, item.price, item.weighed ? 1 : 0, item.tax1,
                            item.tax2, item.article, item.discountDirection, item.discountName.c_str(),
                            item.discount);
            if (!Step(e_.Succeeded(), "/items/" + std::to_string(i))) {
                result_.failedLine = static_cast<int32_t>(i);
                return Cancel();
            }
            event_.lineIndex = static_cast<int32_t>(i);
            event_.sum = Total();
            Report(Stage::Line);
        }
        event_.lineIndex = -1;
        Report(Stage::LinesSent);

        // The printer adds on-sale taxes to the lines: only now is the total
        // known that the payments must cover.
        const int64_t total = Total();
        if (r_.payments.given && r_.payments.Sum() < total) {
            result_.failedPath = "/payments";
            result_.message = "the payments (" + std::to_string(r_.payments.Sum()) +
                              " kopecks) do not cover the total with on-sale taxes (" + std::to_string(total) +
                              " kopecks)";
            return Cancel();
        }
        Report(Stage::Closing);
        if (r_.payments.given) {
            e_.CloseCheckEx(static_cast<int32_t>(r_.payments.cash), static_cast<int32_t>(r_.payments.card),
                            static_cast<int32_t>(r_.payments.credit), static_cast<int32_t>(r_.payments.packing));
        } else {
            e_.CloseCheck();
        }
        return Closed(total);
    }

private:
    int64_t Total() const {
        return r_.isReturn ? static_cast<int64_t>(e_.CheckReturnSumm) + e_.CheckReturnOnSaleTaxes
                           : static_cast<int64_t>(e_.CheckSumm) + e_.CheckOnSaleTaxes;
    }

    void Report(Stage stage) {
        event_.stage = stage;
        if (progress_) progress_(event_);
    }

    // Records the engine's error against `path` when `ok` is false.
    bool Step(bool ok, const std::string& path) {
        if (ok && e_.Succeeded()) return true;
        result_.failedPath = path;
        result_.errorNumber = e_.ErrorNumber;
        result_.errorWord = e_.ErrorCode;
        result_.message = text::Cp1251ToUtf8(std::string(PrinterEngine::ErrorMessage(e_.ErrorNumber)));
        return false;
    }

    PrintResult Cancel() {
        const uint32_t number = result_.errorNumber;
        const std::string word = result_.errorWord;
        result_.cancelled = e_.AbortCheck() != 0;
        result_.outcome = result_.cancelled ? Outcome::Cancelled : Outcome::NotCancelled;
        // The cancel's own outcome must not hide why the receipt failed.
        result_.errorNumber = number;
        result_.errorWord = word;
        std::string where = result_.failedPath.empty() ? std::string() : " at " + result_.failedPath;
        result_.message += where + (result_.cancelled ? "; the check was cancelled"
                                                      : "; cancelling the check failed too");
        return result_;
    }

    PrintResult Closed(int64_t total) {
        switch (e_.LastCloseOutcome()) {
        case brenvik::Outcome::Done:
        case brenvik::Outcome::ReconciledDone:
            break;
        case brenvik::Outcome::Refused:
        case brenvik::Outcome::ReconciledNotDone:
            Step(false, "/payments");
            if (result_.errorNumber == 0) result_.message = "the printer did not close the check";
            return Cancel();
        default:
            Step(false, "");
            result_.outcome = Outcome::Uncertain;
            result_.message += "; whether the check was closed is not known";
            return result_;
        }
        result_.outcome = Outcome::Closed;
        result_.checkNumber = e_.LastClosedCheck();
        result_.total = total;
        if (r_.payments.given) {
            result_.paid = r_.payments;
        } else {
            result_.paid.cash = total;
        }
        result_.change = result_.paid.Sum() > total ? result_.paid.Sum() - total : 0;
        // The printer's clock for the record; a failure here changes nothing.
        brenvik::ConfigValues config;
        if (e_.ReadConfigValues(config)) result_.printerTime = config.time;
        return result_;
    }

    PrinterEngine& e_;
    const Receipt& r_;
    const ProgressFn& progress_;
    ProgressEvent event_;
    PrintResult result_;
};

}  // namespace

PrintResult Print(PrinterEngine& engine, const Receipt& receipt, const ProgressFn& progress) {
    return Run(engine, receipt, progress).Go();
}

}  // namespace brenvik::receipt
