// The ledger and the receipt book: what is written down at each stage, and
// how an unfinished receipt is decided from the printer's check number.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "service/ledger.h"
#include "service/receipts.h"
#include "tests/service/fake_device.h"

namespace brenvikd {
namespace {

using testing::FakeDevice;
using testing::MemoryLedger;

TEST(Ledger, ClaimsARequestIdOnceAndKeepsItsStagesAcrossReopening) {
    char dir[] = "/tmp/brenvikd-ledger-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string path = std::string(dir) + "/ledger.db";
    {
        std::string error;
        auto ledger = Ledger::Open(path, &error);
        ASSERT_TRUE(ledger) << error;
        LedgerEntry existing;
        EXPECT_TRUE(ledger->Claim(kReceiptKind, "main", "r1", "{\"a\":1}", &existing));
        EXPECT_FALSE(ledger->Claim(kReceiptKind, "main", "r1", "{\"a\":2}", &existing));
        EXPECT_EQ(existing.body, "{\"a\":1}");
        EXPECT_EQ(existing.state, ReceiptState::Received);
        ledger->MarkStarted("r1", 41);
        ledger->MarkState("r1", ReceiptState::Closing);
        EXPECT_TRUE(ledger->Claim(kReceiptKind, "main", "r2", "{}", &existing));
        ledger->Finish("r2", ReceiptState::Closed, 42, "{\"checkNumber\":42}", 200);
        EXPECT_TRUE(ledger->Claim(kReceiptKind, "back", "r3", "{}", &existing));
    }
    std::string error;
    auto reopened = Ledger::Open(path, &error);
    ASSERT_TRUE(reopened) << error;
    auto open = reopened->InProgress("main");
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0].requestId, "r1");
    EXPECT_EQ(open[0].state, ReceiptState::Closing);
    EXPECT_EQ(open[0].startCheckNumber, 41);
    auto done = reopened->Find("r2");
    ASSERT_TRUE(done);
    EXPECT_EQ(done->checkNumber, 42);
    EXPECT_EQ(done->httpStatus, 200);
    EXPECT_EQ(done->answer, "{\"checkNumber\":42}");
    EXPECT_EQ(reopened->Recent("main", 1).at(0).requestId, "r2");
    EXPECT_EQ(reopened->All().size(), 3u);
    reopened.reset();
    std::system((std::string("rm -rf ") + dir).c_str());
}

TEST(Ledger, ForgetsOnlyAReceiptThatNeverStarted) {
    auto ledger = MemoryLedger();
    LedgerEntry existing;
    ledger->Claim(kReceiptKind, "main", "queued", "{}", &existing);
    ledger->Claim(kReceiptKind, "main", "started", "{}", &existing);
    ledger->MarkStarted("started", 7);
    ledger->Forget("queued");
    ledger->Forget("started");
    EXPECT_FALSE(ledger->Find("queued"));
    EXPECT_TRUE(ledger->Find("started"));
}

struct Decision {
    const char* name;
    std::optional<long> startedAt;  // check number stored when it started
    long printerNow;                // the printer's last check number now
    bool reachable;
    bool abortWorks;
    bool decided;                   // Reconcile() returned true
    ReceiptState state;             // afterwards
    std::optional<long> checkNumber;
    bool aborted;
};

TEST(ReceiptBook, DecidesAnUnfinishedReceiptByTheCheckNumber) {
    const Decision cases[] = {
        {"advanced: closed with the new number", 41, 42, true, true, true, ReceiptState::Closed, 42, false},
        {"not advanced: cancelled", 41, 41, true, true, true, ReceiptState::Failed, std::nullopt, true},
        {"never started: cancelled", std::nullopt, 41, true, true, true, ReceiptState::Failed, std::nullopt, true},
        {"printer silent: undecided", 41, 42, false, true, false, ReceiptState::Closing, std::nullopt, false},
        {"abort refused: undecided", 41, 41, true, false, false, ReceiptState::Closing, std::nullopt, false},
        {"number went backwards: undecided", 41, 40, true, true, false, ReceiptState::Closing, std::nullopt, false},
    };
    for (const Decision& c : cases) {
        SCOPED_TRACE(c.name);
        auto ledger = MemoryLedger();
        ReceiptBook book(*ledger);
        LedgerEntry existing;
        ledger->Claim(kReceiptKind, "main", "r1", "{}", &existing);
        if (c.startedAt) ledger->MarkStarted("r1", *c.startedAt);
        ledger->MarkState("r1", ReceiptState::Closing);
        FakeDevice device;
        device.lastCheckNumber = c.printerNow;
        device.checkOpen = true;
        device.reachable = c.reachable;
        device.abortWorks = c.abortWorks;

        EXPECT_EQ(book.Reconcile("main", device), c.decided);
        auto entry = ledger->Find("r1");
        ASSERT_TRUE(entry);
        EXPECT_EQ(entry->state, c.state);
        EXPECT_EQ(entry->checkNumber, c.checkNumber);
        EXPECT_EQ(!device.checkOpen, c.aborted);
        if (c.decided) {
            Answer stored = ReceiptBook::Stored(*entry);
            EXPECT_EQ(stored.status, c.state == ReceiptState::Closed ? 200 : 422);
            EXPECT_EQ(stored.body["requestId"], "r1");
            EXPECT_EQ(stored.body["reconciled"], true);
        }
    }
}

TEST(ReceiptBook, LeavesReceiptsOfOtherPrintersAndActiveOnesAlone) {
    auto ledger = MemoryLedger();
    ReceiptBook book(*ledger);
    LedgerEntry existing;
    ledger->Claim(kReceiptKind, "back", "other", "{}", &existing);
    std::string cause;
    EXPECT_EQ(book.Claim(kReceiptKind, "main", "queued", "{}", &existing, &cause), ReceiptBook::Claimed::New);
    FakeDevice device;
    EXPECT_TRUE(book.Reconcile("main", device));
    EXPECT_TRUE(device.calls.empty());
    EXPECT_EQ(ledger->Find("other")->state, ReceiptState::Received);
    EXPECT_EQ(ledger->Find("queued")->state, ReceiptState::Received);
}

struct Ending {
    const char* name;
    bool closed, cancelled;  // what PrintReceipt said
    long printerAfter;       // last check number the printer shows afterwards
    bool reachableAfter;
    int status;
    ReceiptState state;
};

TEST(ReceiptBook, RecordsEveryStageAndDecidesALostClosing) {
    const Ending cases[] = {
        {"closed", true, false, 101, true, 200, ReceiptState::Closed},
        {"refused and cancelled", false, true, 100, true, 422, ReceiptState::Failed},
        {"lost reply, check closed", false, false, 101, true, 200, ReceiptState::Closed},
        {"lost reply, check open", false, false, 100, true, 422, ReceiptState::Failed},
        {"lost reply, printer gone", false, false, 101, false, 504, ReceiptState::Closing},
    };
    for (const Ending& c : cases) {
        SCOPED_TRACE(c.name);
        auto ledger = MemoryLedger();
        ReceiptBook book(*ledger);
        LedgerEntry existing;
        ledger->Claim(kReceiptKind, "main", "r1", "{\"requestId\":\"r1\"}", &existing);
        FakeDevice device;
        std::vector<ReceiptState> seen;
        device.print = [&](FakeDevice& d, const ReceiptProgress& progress) {
            progress.started(d.lastCheckNumber);
            seen.push_back(ledger->Find("r1")->state);
            progress.linesSent();
            seen.push_back(ledger->Find("r1")->state);
            progress.closing();
            seen.push_back(ledger->Find("r1")->state);
            d.lastCheckNumber = c.printerAfter;
            d.checkOpen = !c.closed && !c.cancelled;
            d.reachable = c.reachableAfter;
            ReceiptOutcome outcome;
            outcome.closed = c.closed;
            outcome.cancelled = c.cancelled;
            outcome.checkNumber = c.printerAfter;
            if (!c.closed) outcome.error = {33, "SOFTPAPER", "no paper"};
            return outcome;
        };
        Answer answer = book.Print("main", "r1", "{\"requestId\":\"r1\"}", device);
        EXPECT_EQ(seen, (std::vector<ReceiptState>{ReceiptState::Started, ReceiptState::LinesSent,
                                                    ReceiptState::Closing}));
        EXPECT_EQ(answer.status, c.status);
        auto entry = ledger->Find("r1");
        EXPECT_EQ(entry->state, c.state);
        EXPECT_EQ(entry->startCheckNumber, 100);
        if (c.state == ReceiptState::Closed) {
            EXPECT_EQ(answer.body["checkNumber"], 101);
            EXPECT_EQ(entry->checkNumber, 101);
        }
        if (IsFinal(c.state)) {
            EXPECT_EQ(ReceiptBook::Stored(*entry).body, answer.body);
            EXPECT_EQ(ReceiptBook::Stored(*entry).status, answer.status);
        }
        if (c.state == ReceiptState::Failed) {
            EXPECT_EQ(answer.body["cancelled"], true);
            EXPECT_EQ(answer.body["error"]["word"], "SOFTPAPER");
            EXPECT_FALSE(device.checkOpen);
        }
    }
}

}  // namespace
}  // namespace brenvikd
