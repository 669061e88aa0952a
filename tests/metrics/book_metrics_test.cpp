// What the receipt book and a metered printer count, with a scripted
// printer: each way a receipt or an operation can end is counted once, under
// its own outcome, and a later decision moves it from undecided.
#include <gtest/gtest.h>

#include <sstream>

#include "service/metrics_service.h"
#include "service/receipts.h"
#include "tests/service/fake_device.h"

namespace brenvikd {
namespace {

using testing::FakeDevice;
using testing::MemoryLedger;

// The value of one series in the text ("name{labels}"); -1 when absent.
double Value(const std::string& text, const std::string& series) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, series.size() + 1, series + " ") == 0) return std::stod(line.substr(series.size() + 1));
    }
    return -1;
}

bool Is(const char* text, const char* expected) { return text != nullptr && std::string(text) == expected; }

std::string Receipts(const char* outcome) {
    return std::string("brenvik_receipts_total{printer=\"main\",outcome=\"") + outcome + "\"}";
}

// A receipt whose closing is answered as scripted.
ReceiptOutcome Closing(FakeDevice& d, const ReceiptProgress& progress, bool told, bool closes, bool stays) {
    progress.started(d.lastCheckNumber);
    progress.linesSent();
    progress.closing();
    if (closes) ++d.lastCheckNumber;
    d.checkOpen = !closes;
    d.reachable = stays;
    ReceiptOutcome outcome;
    outcome.closed = told && closes;
    outcome.checkNumber = d.lastCheckNumber;
    if (!outcome.closed) outcome.error = FakeDevice::Lost();
    return outcome;
}

TEST(BookMetrics, EachEndingOfAReceiptIsCountedOnceUnderItsOutcome) {
    struct Case {
        const char* name;
        bool told, closes, stays;
        const char* outcome;
        const char* reconciliation;  // nullptr: none asked
    };
    const Case cases[] = {
        {"closed", true, true, true, "closed", nullptr},
        {"lost reply, closed", false, true, true, "reconciled_closed", "decided"},
        {"lost reply, not closed", false, false, true, "reconciled_failed", "decided"},
        {"lost reply, printer gone", false, true, false, "undecided", "undecided"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto ledger = MemoryLedger();
        ServiceMetrics metrics;
        auto device = std::make_unique<FakeDevice>();
        FakeDevice& printer = *device;
        auto metered = metrics.Printer("main", std::move(device));
        ReceiptBook book(*ledger, &metrics);
        LedgerEntry existing;
        std::string cause;
        ASSERT_EQ(book.Claim(kReceiptKind, "main", "r1", "{}", &existing, &cause), ReceiptBook::Claimed::New);
        printer.print = [&](FakeDevice& d, const ReceiptProgress& p) {
            return Closing(d, p, c.told, c.closes, c.stays);
        };
        book.Print("main", "r1", "{}", *metered);
        book.Release("r1");

        const std::string text = metrics.Render();
        for (const char* outcome : {"closed", "failed", "reconciled_closed", "reconciled_failed", "undecided"}) {
            EXPECT_EQ(Value(text, Receipts(outcome)), std::string(outcome) == c.outcome ? 1 : 0) << outcome;
        }
        EXPECT_EQ(Value(text, "brenvik_receipt_duration_seconds_count{printer=\"main\"}"), 1);
        const std::string asked = "brenvik_reconciliations_total{printer=\"main\",result=\"";
        EXPECT_EQ(Value(text, asked + "decided\"}"), Is(c.reconciliation, "decided") ? 1 : -1);
        EXPECT_EQ(Value(text, asked + "undecided\"}"), Is(c.reconciliation, "undecided") ? 1 : -1);
        EXPECT_EQ(book.Undecided("main"), c.stays ? 0 : 1);
        if (!c.stays) {
            // Back: the reconciliation decides it, and the counters say so.
            printer.reachable = true;
            EXPECT_TRUE(book.Reconcile("main", *metered));
            const std::string later = metrics.Render();
            EXPECT_EQ(Value(later, Receipts("reconciled_closed")), 1);
            EXPECT_EQ(Value(later, Receipts("undecided")), 1);
            EXPECT_EQ(Value(later, asked + "decided\"}"), 1);
            EXPECT_EQ(book.Undecided("main"), 0);
        }
    }
}

TEST(BookMetrics, ReportsAndCashAreCountedByKindAndOutcome) {
    using Script = FakeDevice::ActionScript;
    struct Case {
        const char* name;
        Action op;
        Script script;
        const char* outcome;
    };
    const Case cases[] = {
        {"done", Action{"x-report"}, {true, OperationOutcome::Done, false}, "done"},
        {"refused", Action{"cash", false, 500}, {false, OperationOutcome::Refused, false}, "not_done"},
        {"reply lost, the engine's counters say done", Action{"z-report"},
         {true, OperationOutcome::ReconciledDone, false}, "reconciled_done"},
        {"reply lost and the line gone", Action{"cash", true, 700}, {true, OperationOutcome::Unknown, true},
         "undecided"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto ledger = MemoryLedger();
        ServiceMetrics metrics;
        ReceiptBook book(*ledger, &metrics);
        FakeDevice printer;
        printer.actions = {c.script};
        LedgerEntry existing;
        std::string cause;
        ASSERT_EQ(book.Claim(c.op.kind, "main", "o1", c.op.Canonical("o1"), &existing, &cause),
                  ReceiptBook::Claimed::New);
        book.Perform("main", "o1", c.op, printer);
        book.Release("o1");
        const std::string series =
            "brenvik_operations_total{printer=\"main\",kind=\"" + c.op.kind + "\",outcome=\"" + c.outcome + "\"}";
        EXPECT_EQ(Value(metrics.Render(), series), 1);
        EXPECT_EQ(Value(metrics.Render(), Receipts("closed")), -1);  // no printer registered: no receipt series
    }
}

TEST(BookMetrics, APrinterIsUpOnlyWhenItAnswersAndItsWorkerIsOnline) {
    ServiceMetrics metrics;
    auto device = std::make_unique<FakeDevice>();
    FakeDevice& printer = *device;
    auto metered = metrics.Printer("main", std::move(device));
    const std::string up = "brenvik_printer_up{printer=\"main\"}";
    json status;
    DeviceError error;
    struct Step {
        const char* name;
        bool reachable;
        const char* connection;
        double up;
    };
    const Step steps[] = {
        {"never asked", true, "starting", 0},    {"answers", true, "online", 1},
        {"silent", false, "online", 0},          {"answers, still reconciling", true, "reconciling", 0},
        {"answers and online again", true, "online", 1},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        printer.reachable = s.reachable;
        if (std::string(s.name) != "never asked") {
            metered->Connect(&error);
            metered->Status(&status, &error);
        }
        metrics.SawPrinter("main", {{"connection", s.connection}, {"queue", 0}, {"capacity", 16}}, 0);
        EXPECT_EQ(Value(metrics.Render(), up), s.up);
    }
    // Each silent call: the connect and the status request.
    EXPECT_EQ(Value(metrics.Render(), "brenvik_printer_errors_total{printer=\"main\",word=\"CONNTIMEOUT\"}"), 2);
    EXPECT_EQ(Value(metrics.Render(), "brenvik_status_request_duration_seconds_count{printer=\"main\"}"), 4);
}

}  // namespace
}  // namespace brenvikd
