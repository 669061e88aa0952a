// One owner of an entry's lifecycle, a ledger that fails, and reports and
// cash decided by the counters they move: the receipt book against an
// in-memory ledger and a scripted printer.
#include <gtest/gtest.h>

#include <algorithm>

#include "service/ledger.h"
#include "service/receipts.h"
#include "tests/service/fake_device.h"

namespace brenvikd {
namespace {

using testing::FakeDevice;
using testing::MemoryLedger;

const char kSale[] = "{\"requestId\":\"r1\"}";

// A job claims its receipt while the worker's reconciliation runs between
// the claim and the rest of the job. Held there, a claim that became active
// only after the ledger row existed was decided "failed, not printed" and
// then printed anyway.
TEST(Lifecycle, AClaimedReceiptIsActiveBeforeTheReconciliationCanSeeIt) {
    auto ledger = MemoryLedger();
    ReceiptBook book(*ledger);
    FakeDevice device;
    device.checkOpen = true;  // left by someone: the reconciliation would cancel it
    int reconciled = 0;
    book.claimedForTests = [&](const std::string& requestId) {
        ASSERT_TRUE(ledger->Find(requestId));  // the row is there
        EXPECT_TRUE(book.Reconcile("main", device));
        ++reconciled;
    };
    LedgerEntry existing;
    std::string cause;
    ASSERT_EQ(book.Claim(kReceiptKind, "main", "r1", kSale, &existing, &cause), ReceiptBook::Claimed::New);
    EXPECT_EQ(reconciled, 1);
    EXPECT_EQ(ledger->Find("r1")->state, ReceiptState::Received);
    EXPECT_TRUE(device.checkOpen) << "the reconciliation decided a receipt a job holds";

    Answer answer = book.Print("main", "r1", kSale, device);
    book.Release("r1");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(device.printed.size(), 1u);
    EXPECT_EQ(ledger->Find("r1")->state, ReceiptState::Closed);
}

// Whatever decided an entry first, a later stage or outcome never writes
// over it, and a job finds it decided before it sends anything.
TEST(Lifecycle, AStageIsNeverWrittenOverAFinalState) {
    for (ReceiptState final : {ReceiptState::Closed, ReceiptState::Failed, ReceiptState::Unknown}) {
        SCOPED_TRACE(StateName(final));
        auto ledger = MemoryLedger();
        LedgerEntry existing;
        ledger->Claim(kReceiptKind, "main", "r1", kSale, &existing);
        ASSERT_TRUE(ledger->Finish("r1", final, std::nullopt, "{\"first\":true}", 299));
        EXPECT_FALSE(ledger->MarkStarted("r1", 100));
        EXPECT_FALSE(ledger->MarkState("r1", ReceiptState::Closing));
        EXPECT_FALSE(ledger->Finish("r1", ReceiptState::Closed, 101, "{}", 200));
        auto entry = ledger->Find("r1");
        EXPECT_EQ(entry->state, final);
        EXPECT_EQ(entry->answer, "{\"first\":true}");
        EXPECT_FALSE(entry->startCheckNumber);

        ReceiptBook book(*ledger);
        FakeDevice device;
        Answer answer = book.Print("main", "r1", kSale, device);
        EXPECT_TRUE(device.printed.empty());
        EXPECT_EQ(answer.status, 299);
        EXPECT_EQ(answer.body["first"], true);
    }
}

TEST(Lifecycle, FindingUnfinishedEntriesCostsTheSameInALongLedger) {
    auto steps = [](int finished) {
        auto ledger = MemoryLedger();
        LedgerEntry existing;
        for (int i = 0; i < finished; ++i) {
            std::string id = "old-" + std::to_string(i);
            ledger->Claim(kReceiptKind, "main", id, "{}", &existing);
            ledger->Finish(id, i % 2 ? ReceiptState::Closed : ReceiptState::Failed, i, "{}", 200);
        }
        ledger->Claim(kReceiptKind, "main", "open", "{}", &existing);
        EXPECT_EQ(ledger->InProgress("main").size(), 1u);
        return ledger->LastQuerySteps();
    };
    int64_t empty = steps(0), full = steps(1000);
    EXPECT_LE(full, empty + 5) << "a query that visits finished entries costs more as the ledger grows";
}

// Which ledger write fails, and what the client and the printer see.
struct LedgerFault {
    const char* name;
    const char* write;        // the failing write
    int status;               // the answer
    bool printed;             // the check was printed
    ReceiptState afterwards;  // once the ledger works again and the printer was reconciled
};

TEST(Lifecycle, AFailingLedgerNeverTurnsAPrintedReceiptIntoAnErrorNorPrintsOneUnrecorded) {
    const LedgerFault cases[] = {
        {"the claim", "claim", 503, false, ReceiptState::Received},
        {"the start: nothing is sent", "started", 503, false, ReceiptState::Received},
        {"a stage: the receipt goes on", "stage", 200, true, ReceiptState::Closed},
        {"the outcome: still answered as printed", "finish", 200, true, ReceiptState::Closed},
    };
    for (const LedgerFault& c : cases) {
        SCOPED_TRACE(c.name);
        auto ledger = MemoryLedger();
        ReceiptBook book(*ledger);
        FakeDevice device;
        // From that write on the disk is full, for every write.
        bool full = false;
        ledger->FailWritesForTests([&](const char* write) { return full = full || std::string(write) == c.write; });

        LedgerEntry existing;
        std::string cause;
        Answer answer;
        if (book.Claim(kReceiptKind, "main", "r1", kSale, &existing, &cause) == ReceiptBook::Claimed::New) {
            answer = book.Print("main", "r1", kSale, device);
            book.Release("r1");
        } else {
            EXPECT_NE(cause.find("full"), std::string::npos) << cause;
            answer.status = 503;
        }
        EXPECT_EQ(answer.status, c.status) << answer.body.dump();
        EXPECT_EQ(device.printed.size(), c.printed ? 1u : 0u);
        EXPECT_FALSE(device.checkOpen);
        ASSERT_TRUE(book.Degraded());
        EXPECT_NE(book.Degraded()->find("database or disk is full"), std::string::npos);
        EXPECT_EQ(book.Health("main")["state"], "degraded");
        EXPECT_FALSE(book.Prepare("main", device, false).ready);

        full = false;
        ledger->FailWritesForTests(nullptr);
        EXPECT_TRUE(book.Prepare("main", device, false).ready);
        EXPECT_FALSE(book.Degraded());
        EXPECT_EQ(book.Health("main")["state"], "ok");
        auto entry = ledger->Find("r1");
        if (c.afterwards == ReceiptState::Received) {
            // Never sent: the id is free again.
            EXPECT_FALSE(entry);
        } else {
            ASSERT_TRUE(entry);
            EXPECT_EQ(entry->state, c.afterwards);
            EXPECT_EQ(entry->checkNumber, 101);
        }
        EXPECT_EQ(device.printed.size(), c.printed ? 1u : 0u);
    }
}

// A report or cash movement whose reply is lost: what the line told, what
// the printer did, and what the client is answered, at once and for good.
struct LostAction {
    const char* name;
    const char* kind;
    bool does;
    OperationOutcome told;
    bool numbers;   // the firmware reports document numbers
    bool dropAfter;
    int status;     // at once
    const char* state;
    int stored;     // the ledger's answer once decided (0: undecided at once, decided at the next try)
};

TEST(Lifecycle, AReportOrCashMovementIsDecidedByTheCountersItMoves) {
    const LostAction cases[] = {
        {"x done", "x-report", true, OperationOutcome::Done, true, false, 200, "done", 200},
        {"z refused", "z-report", false, OperationOutcome::Refused, true, false, 422, "failed", 422},
        {"x reconciled by the line", "x-report", true, OperationOutcome::ReconciledDone, true, false, 200, "done", 200},
        {"z unknown to the line, done", "z-report", true, OperationOutcome::Unknown, true, false, 200, "done", 200},
        {"z unknown to the line, not done", "z-report", false, OperationOutcome::Unknown, true, false, 422, "failed",
         422},
        {"cash unknown to the line, done", "cash", true, OperationOutcome::Unknown, true, false, 200, "done", 200},
        {"cash unknown to the line, not done", "cash", false, OperationOutcome::Unknown, true, false, 422, "failed",
         422},
        {"x on firmware without numbers", "x-report", true, OperationOutcome::Unknown, false, false, 504, "unknown",
         504},
        {"z done, then the line drops", "z-report", true, OperationOutcome::Unknown, true, true, 504, "started", 200},
        {"cash not done, then the line drops", "cash", false, OperationOutcome::Unknown, true, true, 504, "started",
         422},
    };
    for (const LostAction& c : cases) {
        SCOPED_TRACE(c.name);
        auto ledger = MemoryLedger();
        ReceiptBook book(*ledger);
        FakeDevice device;
        device.reportsNumbers = c.numbers;
        device.actions = {{c.does, c.told, c.dropAfter}};
        Action action{c.kind, true, 1250};
        const std::string body = action.Canonical("a1");
        LedgerEntry existing;
        std::string cause;
        ASSERT_EQ(book.Claim(c.kind, "main", "a1", body, &existing, &cause), ReceiptBook::Claimed::New);
        const long z = device.zReportNumber, services = device.serviceDocumentNumber;
        const long long income = device.cashIncome;

        Answer answer = book.Perform("main", "a1", action, device);
        book.Release("a1");
        EXPECT_EQ(answer.status, c.status) << answer.body.dump();
        EXPECT_EQ(answer.body["state"], c.state) << answer.body.dump();
        EXPECT_EQ(answer.body["requestId"], "a1");

        // The next try, once the printer answers again.
        device.reachable = true;
        EXPECT_TRUE(book.Reconcile("main", device));
        auto entry = ledger->Find("a1");
        ASSERT_TRUE(entry);
        ASSERT_TRUE(IsFinal(entry->state));
        EXPECT_EQ(entry->httpStatus, c.stored);
        if (c.status != 504) {
            EXPECT_EQ(ReceiptBook::Stored(*entry).body, answer.body);
        }
        // The printer did it once, or not at all.
        const long done = c.does ? 1 : 0;
        const std::string kind = c.kind;
        EXPECT_EQ(device.zReportNumber, z + (kind == "z-report" ? done : 0));
        EXPECT_EQ(device.serviceDocumentNumber, services + (kind == "cash" ? 0 : done));
        EXPECT_EQ(device.cashIncome, income + (kind == "cash" ? done * 1250 : 0));
    }
}

// What the ledger recorded of the printer, against the printer on the line.
struct Identity {
    const char* name;
    std::optional<PrinterRecord> record;
    bool earlierEntries;
    long printerLast;
    const char* warning;  // a word the warning holds; nullptr: none
};

TEST(Lifecycle, ALedgerThatIsNotThisPrintersSaysSoLoudly) {
    const Identity cases[] = {
        {"a new ledger beside a new printer", std::nullopt, false, 0, nullptr},
        {"a new ledger beside a printer that printed", std::nullopt, false, 57, "no record"},
        {"an earlier version's ledger", std::nullopt, true, 57, nullptr},
        {"the same printer, nothing printed meanwhile", PrinterRecord{"4000012345", 57}, false, 57, nullptr},
        {"an older copy of the ledger", PrinterRecord{"4000012345", 50}, false, 57, "older copy"},
        {"another printer's ledger", PrinterRecord{"4000099999", 57}, false, 57, "4000099999"},
        {"a printer behind its ledger", PrinterRecord{"4000012345", 60}, false, 57, "below"},
    };
    for (const Identity& c : cases) {
        SCOPED_TRACE(c.name);
        auto ledger = MemoryLedger();
        if (c.record) ledger->RecordPrinter("main", *c.record);
        LedgerEntry existing;
        if (c.earlierEntries) {
            ledger->Claim(kReceiptKind, "main", "old", "{}", &existing);
            ledger->Finish("old", ReceiptState::Closed, c.printerLast, "{}", 200);
        }
        ReceiptBook book(*ledger);
        FakeDevice device;
        device.lastCheckNumber = c.printerLast;
        ASSERT_TRUE(book.Prepare("main", device, true).ready);
        json warnings = book.Health("main")["warnings"];
        if (c.warning) {
            ASSERT_EQ(warnings.size(), 1u);
            EXPECT_NE(warnings[0].get<std::string>().find(c.warning), std::string::npos) << warnings[0];
        } else {
            EXPECT_TRUE(warnings.empty()) << warnings;
        }
        // The ledger now follows the printer on the line.
        auto now = ledger->Printer("main");
        ASSERT_TRUE(now);
        EXPECT_EQ(now->serialNumber, "4000012345");
        EXPECT_EQ(now->lastCheckNumber, c.printerLast);
    }
}

TEST(Lifecycle, AReceiptStartedOnAnotherPrinterIsNotDecidedByThisOne) {
    auto ledger = MemoryLedger();
    ledger->RecordPrinter("main", {"4000099999", 41});
    LedgerEntry existing;
    ledger->Claim(kReceiptKind, "main", "r1", kSale, &existing);
    ledger->MarkStarted("r1", 41);
    ReceiptBook book(*ledger);
    FakeDevice device;  // 4000012345, check 100: would look printed
    ASSERT_TRUE(book.Prepare("main", device, true).ready);
    auto entry = ledger->Find("r1");
    EXPECT_EQ(entry->state, ReceiptState::Unknown);
    EXPECT_EQ(entry->httpStatus, 504);
    EXPECT_TRUE(device.calls.end() == std::find(device.calls.begin(), device.calls.end(), "abort"));
}

}  // namespace
}  // namespace brenvikd
