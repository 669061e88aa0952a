// The C API against the substitute printer on pseudo-terminals: receipts
// with their progress, a receipt that fails half-way and is cancelled
// without a trace in the registers, and two printers on two threads.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "brenvik/brenvik.h"
#include "sim/m301sim.h"
#include "tests/support/hostile_texts.h"

namespace {

// One simulated printer on its own pseudo-terminal.
struct SimPrinter {
    std::string dir;
    m301sim::Printer printer;
    std::unique_ptr<m301sim::PtyPrinter> pty;
    std::mutex journalMutex;
    std::string journal;

    bool Start(std::string& error) {
        char dirTemplate[] = "/tmp/brenvik-capi-sim.XXXXXX";
        if (mkdtemp(dirTemplate) == nullptr) return false;
        dir = dirTemplate;
        printer.SetJournalSink([this](const std::string& doc) {
            std::lock_guard<std::mutex> lock(journalMutex);
            journal += doc;
        });
        m301sim::PtyPrinter::Options options;
        options.link = dir + "/com3";
        pty = std::make_unique<m301sim::PtyPrinter>(printer, options);
        return pty->Start(&error);
    }
    std::string Link() const { return dir + "/com3"; }
    std::string Journal() {
        std::lock_guard<std::mutex> lock(journalMutex);
        return journal;
    }
    // A number from the state line, such as "day_sales".
    long long State(const std::string& key) const {
        const std::string json = printer.StateJson();
        const size_t at = json.find("\"" + key + "\":");
        if (at == std::string::npos) return -1;
        return std::atoll(json.c_str() + at + key.size() + 3);
    }
    ~SimPrinter() {
        if (pty) pty->Stop();
        if (!dir.empty()) (void)system(("rm -rf '" + dir + "'").c_str());
    }
};

brenvik_printer* Connect(SimPrinter& sim) {
    brenvik_printer* p = nullptr;
    if (brenvik_create(&p) != BRENVIK_OK) return nullptr;
    brenvik_set_log_directory(p, sim.dir.c_str());
    brenvik_set_timeout(p, 1500);
    if (brenvik_connect_device(p, sim.Link().c_str(), "Олена", "1111") != BRENVIK_OK) {
        brenvik_close(p);
        return nullptr;
    }
    return p;
}

const char* const kSale =
    R"({"requestId":"t-1","type":"sale","items":[)"
    R"({"name":"Хліб житній","quantity":2,"price":"18.50","tax":1},)"
    R"({"name":"Сир твердий","quantity":250,"price":"400.00","weighed":true,"tax":2,"discount":"5.00"},)"
    R"({"name":"Ґудзики","quantity":3,"price":150,"tax":1}],)"
    R"("texts":[{"text":"Дякуємо за покупку!"}],"payments":{"cash":"200.00","card":"0.50"}})";

struct Recorded {
    std::vector<brenvik_receipt_progress> events;
    SimPrinter* sim = nullptr;
    int failAfterLine = -1;  // inject a paper fault once this line is in
};

void Record(const brenvik_receipt_progress* progress, void* user) {
    auto* r = static_cast<Recorded*>(user);
    r->events.push_back(*progress);
    if (progress->stage == BRENVIK_STAGE_LINE && progress->line_index == r->failAfterLine)
        r->sim->printer.Control("next error SOFTPAPER");
}

TEST(CApiSim, PrintsAReceiptWithItsStagesAndItsResult) {
    SimPrinter sim;
    std::string error;
    ASSERT_TRUE(sim.Start(error)) << error;
    brenvik_printer* p = Connect(sim);
    ASSERT_NE(p, nullptr);

    int64_t before = -1;
    ASSERT_EQ(brenvik_last_check_number(p, &before), BRENVIK_OK);
    Recorded recorded;
    recorded.sim = &sim;
    brenvik_receipt_result r{};
    r.size = sizeof r;
    ASSERT_EQ(brenvik_receipt_print(p, kSale, Record, &recorded, &r), BRENVIK_OK) << r.message;
    EXPECT_EQ(r.outcome, BRENVIK_RECEIPT_CLOSED);
    EXPECT_EQ(r.check_number, before + 1);
    const int64_t total = 3700 + (10000 - 500) + 450;  // on-sale taxes: none programmed
    EXPECT_EQ(r.total, total);
    EXPECT_EQ(r.cash, 20000);
    EXPECT_EQ(r.card, 50);
    EXPECT_EQ(r.change, 20050 - total);
    EXPECT_GT(r.printer_time.year, 2000);
    EXPECT_EQ(sim.State("day_sales"), total);
    EXPECT_EQ(sim.State("last_check_number"), r.check_number);

    // started (with the number before), one event per line, lines sent, closing.
    ASSERT_EQ(recorded.events.size(), 6u);
    EXPECT_EQ(recorded.events[0].stage, BRENVIK_STAGE_STARTED);
    EXPECT_EQ(recorded.events[0].last_check_number, before);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(recorded.events[1 + i].stage, BRENVIK_STAGE_LINE);
        EXPECT_EQ(recorded.events[1 + i].line_index, i);
    }
    EXPECT_EQ(recorded.events[4].stage, BRENVIK_STAGE_LINES_SENT);
    EXPECT_EQ(recorded.events[5].stage, BRENVIK_STAGE_CLOSING);
    EXPECT_EQ(recorded.events[5].sum, total);

    const std::string paper = sim.Journal();
    EXPECT_NE(paper.find("Дякуємо за покупку!"), std::string::npos);
    int64_t after = 0;
    brenvik_last_check_number(p, &after);
    EXPECT_EQ(after, r.check_number);
    brenvik_close(p);
}

// A program built against an older, shorter struct: the library fills what
// that program declared and not a byte more; an unset size is refused.
TEST(CApiSim, AnOldCallersStructsAreFilledOnlyAsFarAsTheirSize) {
    SimPrinter sim;
    std::string error;
    ASSERT_TRUE(sim.Start(error)) << error;
    brenvik_printer* p = Connect(sim);
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(brenvik_cash_in(p, 12345), BRENVIK_OK);

    constexpr unsigned char kUntouched = 0xA5;
    alignas(brenvik_cash) unsigned char cashBytes[sizeof(brenvik_cash)];
    std::memset(cashBytes, kUntouched, sizeof cashBytes);
    auto* cash = reinterpret_cast<brenvik_cash*>(cashBytes);
    cash->size = 0;
    EXPECT_EQ(brenvik_get_cash(p, cash), BRENVIK_E_ARGUMENT);
    EXPECT_EQ(cashBytes[sizeof(uint32_t)], kUntouched);

    const size_t oldCash = offsetof(brenvik_cash, outcome);  // knows rest and income only
    cash->size = static_cast<uint32_t>(oldCash);
    ASSERT_EQ(brenvik_get_cash(p, cash), BRENVIK_OK);
    EXPECT_EQ(cash->income, 12345);
    EXPECT_EQ(cash->size, oldCash);
    for (size_t k = oldCash; k < sizeof cashBytes; ++k) ASSERT_EQ(cashBytes[k], kUntouched) << "byte " << k;

    // An amount past the printer's registers is refused, not wrapped; the
    // error, read into an old struct, stops before the message.
    EXPECT_EQ(brenvik_cash_in(p, INT64_C(1) << 32), BRENVIK_E_ARGUMENT);
    EXPECT_EQ(sim.State("day_cash_in"), 12345);
    alignas(brenvik_error) unsigned char errorBytes[sizeof(brenvik_error)];
    std::memset(errorBytes, kUntouched, sizeof errorBytes);
    auto* e = reinterpret_cast<brenvik_error*>(errorBytes);
    e->size = static_cast<uint32_t>(offsetof(brenvik_error, message));
    EXPECT_EQ(brenvik_last_error(p, e), BRENVIK_E_ARGUMENT);
    EXPECT_EQ(e->status, BRENVIK_E_ARGUMENT);
    for (size_t k = offsetof(brenvik_error, message); k < sizeof errorBytes; ++k)
        ASSERT_EQ(errorBytes[k], kUntouched) << "byte " << k;
    brenvik_error full{};
    full.size = sizeof full;
    brenvik_last_error(p, &full);
    EXPECT_STREQ(full.argument, "amount");

    // A receipt result that ends before the message still prints the check.
    alignas(brenvik_receipt_result) unsigned char resultBytes[sizeof(brenvik_receipt_result)];
    std::memset(resultBytes, kUntouched, sizeof resultBytes);
    auto* r = reinterpret_cast<brenvik_receipt_result*>(resultBytes);
    r->size = static_cast<uint32_t>(offsetof(brenvik_receipt_result, message));
    ASSERT_EQ(brenvik_receipt_print(p, kSale, nullptr, nullptr, r), BRENVIK_OK);
    EXPECT_EQ(r->outcome, BRENVIK_RECEIPT_CLOSED);
    EXPECT_EQ(r->check_number, sim.State("last_check_number"));
    for (size_t k = offsetof(brenvik_receipt_result, message); k < sizeof resultBytes; ++k)
        ASSERT_EQ(resultBytes[k], kUntouched) << "byte " << k;
    brenvik_close(p);
}

// A device that will not open says why, in the system's words, and what to
// do about it; the printer's own message and number stay in front.
TEST(CApiSim, ADeviceThatWillNotOpenSaysWhyAndWhatToDo) {
    SimPrinter sim;
    std::string error;
    ASSERT_TRUE(sim.Start(error)) << error;
    brenvik_printer* holder = Connect(sim);
    ASSERT_NE(holder, nullptr);
    const std::string notSerial = sim.dir + "/plain-file";
    FILE* f = std::fopen(notSerial.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);

    struct Case {
        std::string device;
        const char* because;
        const char* advice;
    } cases[] = {
        {sim.dir + "/no-such-device", "No such file or directory", "/dev/serial/by-id"},
        {notSerial, "(errno 25)", "not a serial device"},
        {sim.Link(), "held by another program", "fuser"},
    };
    for (const Case& c : cases) {
        brenvik_printer* p = nullptr;
        EXPECT_EQ(brenvik_open_device(c.device.c_str(), "Олена", "1111", &p), BRENVIK_E_NO_CONNECTION) << c.device;
        brenvik_error e{};
        e.size = sizeof e;
        brenvik_last_error(p, &e);
        const std::string message = e.message;
        EXPECT_EQ(e.number, 1u) << message;
        EXPECT_EQ(message.rfind("Невозможно открыть СОМ порт", 0), 0u) << message;
        EXPECT_NE(message.find(c.because), std::string::npos) << message;
        // What to do is the advice, beside the manual's meaning of the number.
        EXPECT_NE(std::string(e.advice).find(c.advice), std::string::npos) << e.advice;
        EXPECT_STREQ(e.meaning, brenvik_error_meaning(1, "en"));
        brenvik_close(p);
    }
    brenvik_close(holder);
}

// The log opens with the first connection, where the caller said: a handle
// told its directory leaves nothing in the default place.
TEST(CApiSim, TheLogOpensWhereTheCallerSaysAndNowhereElse) {
    SimPrinter sim;
    std::string error;
    ASSERT_TRUE(sim.Start(error)) << error;
    const std::string usual = sim.dir + "/usual";
    const std::string chosen = sim.dir + "/chosen";
    ASSERT_EQ(system(("mkdir -p '" + usual + "' '" + chosen + "'").c_str()), 0);
    const char* before = getenv("BRENVIK_LOG_DIR");
    const std::string saved = before != nullptr ? before : "";
    setenv("BRENVIK_LOG_DIR", usual.c_str(), 1);
    brenvik_printer* p = nullptr;
    ASSERT_EQ(brenvik_create(&p), BRENVIK_OK);
    EXPECT_EQ(brenvik_set_log_directory(p, chosen.c_str()), BRENVIK_OK);
    EXPECT_EQ(brenvik_connect_device(p, sim.Link().c_str(), "Олена", "1111"), BRENVIK_OK);
    brenvik_close(p);
    if (before != nullptr) setenv("BRENVIK_LOG_DIR", saved.c_str(), 1); else unsetenv("BRENVIK_LOG_DIR");
    EXPECT_EQ(access((chosen + "/Pelmora.log").c_str(), F_OK), 0);
    EXPECT_NE(access((usual + "/Pelmora.log").c_str(), F_OK), 0);
}

TEST(CApiSim, AReceiptFailingHalfWayIsCancelledAndLeavesNoTrace) {
    SimPrinter sim;
    std::string error;
    ASSERT_TRUE(sim.Start(error)) << error;
    brenvik_printer* p = Connect(sim);
    ASSERT_NE(p, nullptr);
    const long long salesBefore = sim.State("day_sales");
    const long long checkBefore = sim.State("last_check_number");

    Recorded recorded;
    recorded.sim = &sim;
    recorded.failAfterLine = 0;  // the second item meets an empty paper roll
    brenvik_receipt_result r{};
    r.size = sizeof r;
    EXPECT_EQ(brenvik_receipt_print(p, kSale, Record, &recorded, &r), BRENVIK_E_REFUSED);
    EXPECT_EQ(r.outcome, BRENVIK_RECEIPT_CANCELLED);
    EXPECT_EQ(r.cancelled, 1);
    EXPECT_EQ(r.failed_line, 1);
    EXPECT_STREQ(r.failed_path, "/items/1");
    EXPECT_STREQ(r.error_word, "SOFTPAPER");
    EXPECT_NE(std::string(r.message).find("cancelled"), std::string::npos) << r.message;

    brenvik_error e{};
    e.size = sizeof e;
    EXPECT_EQ(brenvik_last_error(p, &e), BRENVIK_E_REFUSED);
    EXPECT_STREQ(e.word, "SOFTPAPER");
    EXPECT_STREQ(e.argument, "/items/1");

    EXPECT_NE(sim.printer.StateJson().find("\"check_open\":false"), std::string::npos);
    EXPECT_EQ(sim.State("day_sales"), salesBefore);
    EXPECT_EQ(sim.State("last_check_number"), checkBefore);
    for (const auto& event : recorded.events) EXPECT_NE(event.stage, BRENVIK_STAGE_CLOSING);

    // An invalid document never reaches the printer.
    const long long commands = sim.State("commands");
    EXPECT_EQ(brenvik_receipt_print(p, R"({"type":"sale","items":[{"name":"a","quantity":1,"price":1.5}]})",
                                    nullptr, nullptr, &r),
              BRENVIK_E_ARGUMENT);
    EXPECT_EQ(r.outcome, BRENVIK_RECEIPT_INVALID);
    EXPECT_STREQ(r.failed_path, "/items/0/price");
    EXPECT_EQ(sim.State("commands"), commands);
    brenvik_close(p);
}

// Connected, the table of hostile texts is refused as a goods name and in
// a receipt, and so is a line whose tax group the printer has not
// programmed: the printer hears none of it, so no check is opened only to
// be cancelled on paper.
TEST(CApiSim, HostileTextsAndUnprogrammedTaxesSendNothing) {
    SimPrinter sim;
    std::string error;
    ASSERT_TRUE(sim.Start(error)) << error;
    brenvik_printer* p = Connect(sim);
    ASSERT_NE(p, nullptr);
    const long long commands = sim.State("commands");
    for (const hostile::Case& c : hostile::Load(BRENVIK_HOSTILE_TEXTS)) {
        SCOPED_TRACE(c.id);
        brenvik_receipt_result r{};
        r.size = sizeof r;
        EXPECT_EQ(brenvik_receipt_print(p, hostile::Receipt(c).c_str(), nullptr, nullptr, &r), BRENVIK_E_ARGUMENT);
        EXPECT_EQ(r.outcome, BRENVIK_RECEIPT_INVALID);
        EXPECT_STREQ(r.failed_path, "/items/0/name");
        EXPECT_NE(std::strstr(r.message, c.expect.c_str()), nullptr) << r.message;
        if (c.hasBytes && c.bytes.find('\0') == std::string::npos) {
            EXPECT_EQ(brenvik_fiscal_line(p, c.bytes.c_str(), 1, 100, 0, 1, 0, 0, nullptr), BRENVIK_E_ARGUMENT);
        }
    }
    // Group 4 is not programmed on the simulator.
    brenvik_receipt_result r{};
    r.size = sizeof r;
    EXPECT_EQ(brenvik_receipt_print(p, R"({"type":"sale","items":[{"name":"a","quantity":1,"price":1,"tax":[1,4]}]})",
                                    nullptr, nullptr, &r),
              BRENVIK_E_ARGUMENT);
    EXPECT_STREQ(r.failed_path, "/items/0/tax");
    // Checked against this printer, every line it would refuse is listed.
    char* list = nullptr;
    EXPECT_EQ(brenvik_receipt_check(p,
                                    R"({"type":"sale","items":[{"name":"a","quantity":1,"price":1,"tax":4},)"
                                    R"({"name":"b","quantity":1,"price":1,"tax":1},)"
                                    R"({"name":"c","quantity":1,"price":1,"tax":[1,5]}]})",
                                    &list),
              BRENVIK_E_ARGUMENT);
    ASSERT_NE(list, nullptr);
    const nlohmann::json problems = nlohmann::json::parse(list);
    brenvik_free(list);
    ASSERT_EQ(problems.size(), 2u) << problems.dump();
    EXPECT_EQ(problems[0]["path"], "/items/0/tax");
    EXPECT_EQ(problems[1]["path"], "/items/2/tax");
    EXPECT_EQ(sim.State("commands"), commands);
    EXPECT_EQ(sim.Journal(), "");
    brenvik_close(p);
}

TEST(CApiSim, TwoPrintersOnTwoThreadsKeepTheirOwnChecks) {
    SimPrinter simA;
    SimPrinter simB;
    std::string error;
    ASSERT_TRUE(simA.Start(error)) << error;
    ASSERT_TRUE(simB.Start(error)) << error;

    auto sell = [](SimPrinter* sim, int64_t price, int checks, int* closed) {
        brenvik_printer* p = Connect(*sim);
        if (p == nullptr) return;
        const std::string doc = R"({"type":"sale","items":[{"name":"Товар","quantity":1,"price":)" +
                                std::to_string(price) + "}]}";
        for (int i = 0; i < checks; ++i) {
            brenvik_receipt_result r{};
            r.size = sizeof r;
            if (brenvik_receipt_print(p, doc.c_str(), nullptr, nullptr, &r) == BRENVIK_OK) ++*closed;
        }
        brenvik_close(p);
    };
    int closedA = 0;
    int closedB = 0;
    std::thread a(sell, &simA, 111, 5, &closedA);
    std::thread b(sell, &simB, 2222, 5, &closedB);
    a.join();
    b.join();
    EXPECT_EQ(closedA, 5);
    EXPECT_EQ(closedB, 5);
    EXPECT_EQ(simA.State("day_sales"), 5 * 111);
    EXPECT_EQ(simB.State("day_sales"), 5 * 2222);
    // Each handle wrote its own log in its own directory.
    EXPECT_EQ(access((simA.dir + "/Pelmora.log").c_str(), R_OK), 0);
    EXPECT_EQ(access((simB.dir + "/Pelmora.log").c_str(), R_OK), 0);
}

TEST(CApiSim, OneHandleFromSeveralThreadsIsSerialised) {
    SimPrinter sim;
    std::string error;
    ASSERT_TRUE(sim.Start(error)) << error;
    brenvik_printer* p = Connect(sim);
    ASSERT_NE(p, nullptr);
    std::vector<std::thread> threads;
    int failures = 0;
    std::mutex m;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 4; ++i) {
                brenvik_config c{};
                c.size = sizeof c;
                if (brenvik_get_config(p, &c) != BRENVIK_OK || std::string(c.serial_number) != "4000012345") {
                    std::lock_guard<std::mutex> lock(m);
                    ++failures;
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures, 0);
    brenvik_close(p);
}

}  // namespace
