// Every fault the simulator's control socket offers, against every family
// of operations, with the real engine on a real pseudo-terminal: no crash,
// a bounded time, the documented error, and afterwards the engine and the
// printer agree on the check, the counters and the cash. The cells run side
// by side, each with its own m301sim process, since most of their time is
// spent waiting for the printer's and the engine's time-outs.
//
// Two kinds of cell are counted apart: an unknown error word (the engine
// counts it as success, by design, while the printer did nothing) and a lost
// line command (the engine cannot know whether the printer took the line;
// only aborting the check brings the two together again). Their recovery by
// abort is checked all the same.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/faults/sim_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using simproc::StateNumber;

// ---- the faults ------------------------------------------------------------

enum class Kind {
    Lost,     // the reply never comes whole in time: error 80, the outcome unknown
    Benign,   // the engine copes: success
    Refused,  // the printer refuses (some families only): the listed error
    Unknown,  // an error word the engine does not know: success, by design
};

// What a family does that a fault may hit.
enum Trait : unsigned {
    kQuery = 1,    // reads only; answers in every key position, needs no paper
    kPrints = 2,   // refused without paper
    kWork = 4,     // needs the key in the work position
    kConf = 8,     // reads the configuration (CONf)
    kWakes = 16,   // starts with the wake-up handshake
    kCashier = 32, // registers the cashier
};

struct Fault {
    const char* name;
    std::vector<std::string> controls;
    Kind kind;
    std::set<uint32_t> errors;  // the documented errors when the printer refuses
    unsigned hits;              // the traits the fault refuses; 0: every family
    int lateMs;                 // bytes still on their way after the engine gave up
};

// Error numbers as the printer's manual pairs them with its words.
constexpr uint32_t kTimeout = 80, kPaper = 81, kTxtOut = 82, kCutter = 18, kMem07 = 56, kSysLock = 22,
                   kNotWork = 30, kNoLink = 7, kBadConf = 92, kCloseUnconfirmed = 93;

const std::vector<Fault>& Faults() {
    static const std::vector<Fault> faults = {
        {"silent", {"next silent"}, Kind::Lost, {kTimeout}, 0, 0},
        {"cut 0", {"next cut 0"}, Kind::Lost, {kTimeout}, 0, 0},
        {"cut 9", {"next cut 9"}, Kind::Lost, {kTimeout}, 0, 0},
        {"cut-end 3", {"next cut-end 3"}, Kind::Lost, {kTimeout}, 0, 0},
        {"trailing 3", {"next trailing 3"}, Kind::Lost, {kTimeout}, 0, 0},
        {"delay 7000", {"next delay 7000"}, Kind::Lost, {kTimeout}, 0, 2500},
        {"split 2 7000", {"next split 2 7000"}, Kind::Lost, {kTimeout}, 0, 2500},
        {"delay 3000", {"next delay 3000"}, Kind::Benign, {}, 0, 0},
        {"split 3 1500", {"next split 3 1500"}, Kind::Benign, {}, 0, 0},
        {"noise", {"next noise"}, Kind::Benign, {}, 0, 0},
        {"lose-end", {"next lose-end"}, Kind::Refused, {kTxtOut}, 0, 0},
        {"error SOFTPAPER", {"next error SOFTPAPER"}, Kind::Refused, {kPaper}, 0, 0},
        {"error 2 words", {"next error SOFTPAPER HARDCUTTER"}, Kind::Refused, {kCutter}, 0, 0},
        {"error MEM_07", {"next error MEM_ERROR_CODE_07"}, Kind::Refused, {kMem07}, 0, 0},
        {"error unknown", {"next error SOFTWRONG"}, Kind::Unknown, {}, 0, 0},
        {"done-and-error", {"next done-and-error SOFTPAPER"}, Kind::Benign, {}, 0, 0},
        {"paper out", {"paper out"}, Kind::Refused, {kPaper}, kPrints, 0},
        {"key 0", {"key 0"}, Kind::Refused, {kSysLock}, kWork | kPrints | kCashier, 0},
        {"key 2", {"key 2"}, Kind::Refused, {kNotWork}, kWork, 0},
        {"conf-length 152", {"conf-length 152"}, Kind::Refused, {kBadConf}, kConf, 0},
        {"conf-no-end", {"conf-no-end"}, Kind::Benign, {}, 0, 0},
        {"handshake off", {"handshake off"}, Kind::Refused, {kNoLink}, kWakes, 0},
    };
    return faults;
}

// ---- one cell ---------------------------------------------------------------

// Two lines every check starts with: 2 x 18.50 under tax А (included) and
// 100.00 under tax Г (2 % on-sale, 2.00 on top).
constexpr int32_t kCheckSales = 3700 + 10000, kCheckTaxes = 200;

struct Cell {
    simproc::SimProcess& sim;
    simproc::Engine& e;
    std::string state;  // the printer's state line, read after the fault was cleared
    std::string text;   // a text result, copied out
    std::vector<std::string> problems;
    bool apartUnknown = false, apartLostLine = false;
    bool oldFirmware = false;  // the engine reads no check numbers from it

    long long S(const char* key) const { return StateNumber(state, key); }
    void Read() { state = sim.Control("state"); }
    void Problem(const std::string& p) { problems.push_back(p); }
    void Expect(bool ok, const std::string& what) {
        if (!ok) Problem(what);
    }
    void OpenCheckWithTwoLines() {
        Expect(e->OpenCheck("1") == 1, "setup: OpenCheck");
        Expect(e->FiscalLine("Хліб житній", 2, 1850, 0, 1, 0, 0) == 3700, "setup: first line");
        Expect(e->FiscalLine("Кава мелена", 1, 10000, 0, 4, 0, 0) == 10000, "setup: second line");
    }
    // The engine's open check against the printer's.
    void TotalsAgree(const char* when) {
        const std::string w = std::string(" ") + when;
        Expect(e->CheckSumm == S("check_sales"), "sales: engine " + std::to_string(e->CheckSumm) + ", printer " +
                                                     std::to_string(S("check_sales")) + w);
        Expect(e->CheckReturnSumm == S("check_returns"), "returns differ" + w);
        if (S("check_open") == 1)
            Expect(e->CheckOnSaleTaxes == S("check_onsale_taxes"),
                   "on-sale taxes: engine " + std::to_string(e->CheckOnSaleTaxes) + ", printer " +
                       std::to_string(S("check_onsale_taxes")) + w);
    }
    // The number of the check the printer closed last, as the engine knows it.
    void LastCheckAgrees() {
        if (oldFirmware) return;
        Expect(e->LastClosedCheck() == S("last_check_number"),
               "last closed check: engine " + std::to_string(e->LastClosedCheck()) + ", printer " +
                   std::to_string(S("last_check_number")));
    }
    // Aborting brings any check back to nothing on both sides.
    void AbortAndAgree() {
        Expect(e->AbortCheck() == 1, "AbortCheck failed");
        Read();
        Expect(S("check_open") == 0, "the printer's check is still open after AbortCheck");
        TotalsAgree("after AbortCheck");
    }
};

struct Outcome {
    bool ok;
    uint32_t error;
};

struct Family {
    const char* name;
    unsigned traits;
    std::function<void(Cell&)> setup;
    std::function<Outcome(Cell&)> run;
    // What must hold afterwards (the fault cleared, the state read),
    // `before` being the state before the operation.
    std::function<void(Cell&, const Outcome&, const std::string& before)> agree;
    // A printer of older firmware, without document numbers the engine
    // reads: an uncertain close is decided by another register.
    bool oldFirmware = false;
};

Outcome Result(simproc::Engine& e, bool ok) { return {ok, e->ErrorNumber}; }

// A sale line that may or may not have reached the printer's check.
void LineAgrees(Cell& c, const Outcome& o, int32_t amount, int32_t taxes) {
    const bool lost = !o.ok && o.error == kTimeout;
    if (lost) {
        c.apartLostLine = true;
        c.AbortAndAgree();
        return;
    }
    c.TotalsAgree("after the line");
    if (c.S("check_open") != 1) return c.Problem("the check is gone");
    if (!c.problems.empty()) return;
    // The check goes on and closes with what both sides counted.
    const int32_t expected = kCheckSales + kCheckTaxes + (o.ok ? amount + taxes : 0);
    const long long daySales = c.S("day_sales");
    c.Expect(c.e->CloseCheck() == expected, "CloseCheck after the line did not close " + std::to_string(expected));
    c.Read();
    c.Expect(c.S("day_sales") - daySales == expected, "the printer's day took " +
                                                         std::to_string(c.S("day_sales") - daySales) +
                                                         ", not " + std::to_string(expected));
}

// A closing command: whatever came of it, the engine must know it.
void CloseAgrees(Cell& c, const Outcome& o, const std::function<int32_t()>& close, const std::string& before) {
    const long long dayBefore = StateNumber(before, "day_sales");
    const bool closed = c.S("check_open") == 0;
    if (closed) {
        c.Expect(o.ok, "the printer closed the check, the engine reported error " + std::to_string(o.error));
        c.Expect(c.S("day_sales") - dayBefore == kCheckSales + kCheckTaxes, "the printer's day took a wrong total");
        c.TotalsAgree("after the close");
        c.LastCheckAgrees();
        return;
    }
    c.Expect(!o.ok, "the engine reported the close, the printer's check is still open");
    c.TotalsAgree("after the refused close");
    if (!c.problems.empty()) return;
    // The cause gone, the same call closes the same check.
    c.Expect(close() == kCheckSales + kCheckTaxes, "the retried close failed: error " +
                                                       std::to_string(c.e->ErrorNumber));
    c.Read();
    c.Expect(c.S("check_open") == 0, "the retried close left the check open");
    c.Expect(c.S("day_sales") - dayBefore == kCheckSales + kCheckTaxes, "the retried close took a wrong total");
    c.TotalsAgree("after the retried close");
    c.LastCheckAgrees();
}

std::string Field(const std::string& s, const char* name) {
    const std::string tag = std::string(name) + "=\"";
    const size_t p = s.find(tag);
    if (p == std::string::npos) return "";
    const size_t e = s.find('"', p + tag.size());
    return s.substr(p + tag.size(), e - p - tag.size());
}

const std::vector<Family>& Families() {
    static const std::vector<Family> families = {
        {"Init", kQuery | kConf | kWakes | kCashier,
         [](Cell&) {},
         [](Cell& c) { return Result(c.e, c.e->InitDevice(c.sim.Link().c_str(), "Олена", "0000") == 1); },
         [](Cell& c, const Outcome& o, const std::string&) {
             if (!o.ok) {
                 c.Expect(c.e->InitDevice(c.sim.Link().c_str(), "Олена", "0000") == 1, "a second Init failed");
                 c.Read();
             }
             c.Expect(std::strcmp(c.e->SerialNumber, "4000012345") == 0,
                      std::string("serial number \"") + c.e->SerialNumber + "\"");
             c.Expect(c.S("cashier") == 1, "no cashier registered");
         }},
        {"FiscalLine", kPrints | kWork,
         [](Cell& c) { c.OpenCheckWithTwoLines(); },
         [](Cell& c) {
             const int32_t sum = c.e->FiscalLine("Сіль кам'яна", 3, 1200, 0, 1, 0, 0);
             return Result(c.e, sum == 3600);
         },
         [](Cell& c, const Outcome& o, const std::string&) { LineAgrees(c, o, 3600, 0); }},
        {"FiscalLineEx", kPrints | kWork,
         [](Cell& c) { c.OpenCheckWithTwoLines(); },
         [](Cell& c) {
             // 1.5 kg at 19.99 is 29.99, less a discount of 1.99: 28.00, and 2 % on top.
             const int32_t sum = c.e->FiscalLineEx("Сир твердий", 1500, 1999, 1, 4, 0, 0, 0, "Знижка", 199);
             return Result(c.e, sum == 2999);
         },
         [](Cell& c, const Outcome& o, const std::string&) { LineAgrees(c, o, 2800, 56); }},
        {"CloseCheck", kPrints | kWork,
         [](Cell& c) { c.OpenCheckWithTwoLines(); },
         [](Cell& c) { return Result(c.e, c.e->CloseCheck() == kCheckSales + kCheckTaxes); },
         [](Cell& c, const Outcome& o, const std::string& before) {
             CloseAgrees(c, o, [&c] { return c.e->CloseCheck(); }, before);
         }},
        {"CloseCheckEx", kPrints | kWork,
         [](Cell& c) { c.OpenCheckWithTwoLines(); },
         [](Cell& c) { return Result(c.e, c.e->CloseCheckEx(20000, 0, 0, 0) == kCheckSales + kCheckTaxes); },
         [](Cell& c, const Outcome& o, const std::string& before) {
             CloseAgrees(c, o, [&c] { return c.e->CloseCheckEx(20000, 0, 0, 0); }, before);
         }},
        {"Close oldFw", kPrints | kWork,
         [](Cell& c) { c.OpenCheckWithTwoLines(); },
         [](Cell& c) { return Result(c.e, c.e->CloseCheck() == kCheckSales + kCheckTaxes); },
         [](Cell& c, const Outcome& o, const std::string& before) {
             CloseAgrees(c, o, [&c] { return c.e->CloseCheck(); }, before);
         },
         true},
        {"CloseEx oldFw", kPrints | kWork,
         [](Cell& c) { c.OpenCheckWithTwoLines(); },
         [](Cell& c) { return Result(c.e, c.e->CloseCheckEx(20000, 0, 0, 0) == kCheckSales + kCheckTaxes); },
         [](Cell& c, const Outcome& o, const std::string& before) {
             CloseAgrees(c, o, [&c] { return c.e->CloseCheckEx(20000, 0, 0, 0); }, before);
         },
         true},
        {"ConfigXML", kQuery | kConf,
         [](Cell&) {},
         [](Cell& c) {
             const char* xml = c.e->GetPrinterConfigXML(1);
             c.text = xml ? xml : "";
             return Result(c.e, !c.text.empty());
         },
         [](Cell& c, const Outcome& o, const std::string&) {
             if (!o.ok) return;
             const std::string serial = Field(c.text, "SerialNumber");
             c.Expect(serial == "4000012345", "configuration document with serial number \"" + serial + "\"");
         }},
        {"CashXML", kQuery,
         [](Cell& c) { c.Expect(c.e->MoveCash(1, 50000) == 1, "setup: MoveCash"); },
         [](Cell& c) {
             const char* xml = c.e->GetCashInfoXML();
             c.text = xml ? xml : "";
             return Result(c.e, !c.text.empty());
         },
         [](Cell& c, const Outcome& o, const std::string&) {
             if (!o.ok) return;
             const std::string total = Field(c.text, "total");
             c.Expect(std::atoll(total.c_str()) == c.S("cash") && !total.empty(),
                      "cash document total \"" + total + "\", printer " + std::to_string(c.S("cash")));
         }},
        {"XReport", kPrints,
         [](Cell&) {},
         [](Cell& c) { return Result(c.e, c.e->XReport() == 1); },
         [](Cell& c, const Outcome& o, const std::string& before) {
             const long long printed = c.S("last_serv_doc_number") - StateNumber(before, "last_serv_doc_number");
             if (o.ok) c.Expect(printed == 1, "the engine reported an X-report the printer did not print");
             if (!o.ok && o.error != kTimeout) c.Expect(printed == 0, "a refused X-report was printed");
         }},
        {"MoveCash", kPrints | kWork,
         [](Cell&) {},
         [](Cell& c) { return Result(c.e, c.e->MoveCash(1, 12345) == 1); },
         [](Cell& c, const Outcome& o, const std::string& before) {
             const long long moved = c.S("day_cash_in") - StateNumber(before, "day_cash_in");
             if (o.ok) c.Expect(moved == 12345, "the engine reported cash the printer did not take in");
             if (!o.ok && o.error != kTimeout) c.Expect(moved == 0, "refused cash was taken in");
         }},
    };
    return families;
}

// Cells whose fault the engine does not handle yet, with the reason: they
// are run and checked like every other and shown apart as "wait", so that
// the matrix can guard everything else meanwhile. A cell listed here that
// passes is shown as "fixed", and its line should go.
struct PendingCells {
    std::vector<std::string> families, faults;
    const char* reason;
};

const char* Pending(const std::string& family, const Fault& fault) {
    static const std::vector<PendingCells> pending = {
        {{"CloseCheck", "CloseCheckEx", "Close oldFw", "CloseEx oldFw"},
         {"delay 7000", "split 2 7000"},
         "a closing whose reply comes while its reconciling read waits must still be known as closed"},
        {{"Init"},
         {"silent", "cut 0", "cut 9", "split 2 7000", "lose-end", "error SOFTPAPER", "error 2 words",
          "error MEM_07"},
         "Init must not succeed without the printer's configuration"},
    };
    for (const PendingCells& p : pending) {
        if (std::find(p.families.begin(), p.families.end(), family) != p.families.end() &&
            std::find(p.faults.begin(), p.faults.end(), fault.name) != p.faults.end())
            return p.reason;
    }
    return nullptr;
}

// ---- running the cells ------------------------------------------------------

struct CellResult {
    std::string fault, family;
    std::vector<std::string> problems;
    bool ran = false, apartUnknown = false, apartLostLine = false;
    const char* pending = nullptr;
    double seconds = 0;
};

// The cleared printer: no pending fault, paper in, key in the work position,
// answering the wake-up, configuration replies of their right length.
const char* const kClear[] = {"clear", "paper in", "key 1", "handshake on", "conf-length 153"};

CellResult RunCell(simproc::Launcher& launcher, const Fault& fault, const Family& family, const std::string& simDir,
                   const std::string& logDir) {
    CellResult r{fault.name, family.name, {}, true, false, false, Pending(family.name, fault), 0};
    std::error_code err;
    std::filesystem::remove_all(logDir, err);
    if (!std::filesystem::create_directories(logDir, err) || !std::filesystem::create_directories(simDir, err)) {
        r.problems.push_back("cannot make " + logDir);
        return r;
    }
    std::vector<std::string> args = {"--tax", "4=2.00:1", "--journal", logDir + "/paper.txt"};
    if (family.oldFirmware) args.insert(args.end(), {"--firmware", "20040115"});
    simproc::SimProcess sim(launcher, M301SIM_PROGRAM, simDir, args);
    if (!sim.Ready()) {
        r.problems.push_back("m301sim did not start");
        return r;
    }
    simproc::Engine engine(logDir);
    Cell c{sim, engine, "", "", {}, false, false, family.oldFirmware};
    if (std::strcmp(family.name, "Init") != 0)
        c.Expect(engine->InitDevice(sim.Link().c_str(), "Олена", "0000") == 1, "setup: Init");
    family.setup(c);
    if (c.problems.empty()) {
        const std::string before = sim.Control("state");
        for (const std::string& control : fault.controls)
            c.Expect(sim.Control(control) == "OK", "control '" + control + "' refused");
        const auto start = Clock::now();
        const Outcome o = family.run(c);
        r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        // Late bytes arrive before the next call, as they would while the
        // cashier reads the error.
        if (fault.lateMs) std::this_thread::sleep_for(std::chrono::milliseconds(fault.lateMs));
        for (const char* clear : kClear) sim.Control(clear);
        c.Read();

        // Three reply time-outs at most (the command, a reconciling read, the
        // drawer); the start-up has its wake-up waits besides.
        const double bound = family.traits & kWakes ? 30.0 : 20.0;
        c.Expect(r.seconds <= bound, "took " + std::to_string(r.seconds) + " s");
        const bool refuses = fault.hits == 0 || (fault.hits & family.traits) != 0;
        if (!o.ok) {
            // A configuration reply that a fault spoiled may also be reported
            // as the configuration that stayed bad.
            const bool badConf = (family.traits & kConf) && o.error == kBadConf && fault.kind != Kind::Benign;
            const bool documented =
                badConf || (fault.kind == Kind::Lost && (o.error == kTimeout || o.error == kCloseUnconfirmed)) ||
                (fault.kind == Kind::Refused && refuses && fault.errors.count(o.error)) ||
                (fault.kind == Kind::Unknown && (o.error == 0 || o.error == kCloseUnconfirmed));
            c.Expect(documented, "failed with error " + std::to_string(o.error));
        }
        if (fault.kind == Kind::Unknown && (o.ok || o.error == 0)) {
            // Success by design, with nothing done (a document without its
            // data): the check part is undone by abort, and counted apart.
            c.apartUnknown = true;
            if (c.S("check_open") == 1) c.AbortAndAgree();
        } else {
            family.agree(c, o, before);
        }
        // The next command is answered by its own reply, not by a late one:
        // the document numbers, or on older firmware, whose numbers the
        // engine does not read, the cash.
        if (family.oldFirmware) {
            std::memset(engine->CashInfoText, 0, sizeof engine->CashInfoText);
            const char* xml = engine->GetCashInfoXML();
            const std::string total = Field(xml ? xml : "", "total");
            c.Read();
            c.Expect(!total.empty() && std::atoll(total.c_str()) == c.S("cash"),
                     "the next command read the cash \"" + total + "\", printer " + std::to_string(c.S("cash")));
        } else {
            std::memset(engine->LastCheckNumber, 0, sizeof engine->LastCheckNumber);
            std::memset(engine->LastDocNumber, 0, sizeof engine->LastDocNumber);
            c.Expect(engine->ReadDocumentNumbers() == 0, "the next command failed: error " +
                                                             std::to_string(engine->ErrorNumber));
            c.Read();
            c.Expect(std::atoll(engine->LastCheckNumber) == c.S("last_check_number") &&
                         std::atoll(engine->LastDocNumber) == c.S("last_doc_number"),
                     std::string("the next command read document numbers ") + engine->LastCheckNumber + "/" +
                         engine->LastDocNumber + ", printer " + std::to_string(c.S("last_check_number")) + "/" +
                         std::to_string(c.S("last_doc_number")));
        }
    }
    r.problems = c.problems;
    r.apartUnknown = c.apartUnknown;
    r.apartLostLine = c.apartLostLine;
    return r;
}

std::string Shorten(std::string s, size_t n) { return s.size() <= n ? s : s.substr(0, n); }

TEST(FaultMatrix, EveryFaultAgainstEveryOperationFamily) {
    simproc::Launcher launcher;  // first, while this process holds no port
    char dirTemplate[] = "/tmp/brenvik-faults.XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::string simRoot = dirTemplate;
    const std::string logRoot = FAULTS_LOG_DIR;
    std::error_code gone;
    std::filesystem::remove_all(logRoot, gone);  // the logs of this run only

    const std::vector<Fault>& faults = Faults();
    const std::vector<Family>& families = Families();
    std::vector<CellResult> results(faults.size() * families.size());
    std::atomic<size_t> next{0};
    // The slow cells (time-outs) first, so the pool does not end on them.
    // FAULTS_ONLY="CloseCheck x silent" runs the cells whose name holds it.
    const char* only = std::getenv("FAULTS_ONLY");
    std::vector<size_t> order;
    for (const bool slow : {true, false}) {
        for (size_t i = 0; i < results.size(); ++i) {
            const Fault& f = faults[i / families.size()];
            const std::string name = std::string(families[i % families.size()].name) + " x " + f.name;
            results[i] = {f.name, families[i % families.size()].name, {}, false, false, false, nullptr, 0};
            if ((f.kind == Kind::Lost) == slow && (!only || name.find(only) != std::string::npos))
                order.push_back(i);
        }
    }

    const char* jobs = std::getenv("FAULTS_JOBS");
    const size_t workers = jobs && std::atoi(jobs) > 0 ? static_cast<size_t>(std::atoi(jobs)) : 12;
    const auto start = Clock::now();
    std::vector<std::thread> pool;
    for (size_t w = 0; w < workers; ++w) {
        pool.emplace_back([&] {
            for (size_t k; (k = next++) < order.size();) {
                const size_t i = order[k];
                const Fault& f = faults[i / families.size()];
                const Family& fam = families[i % families.size()];
                const std::string name = std::to_string(i);
                results[i] = RunCell(launcher, f, fam, simRoot + "/" + name, logRoot + "/" + fam.name + "-" + name);
            }
        });
    }
    for (std::thread& t : pool) t.join();
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    std::error_code err;
    std::filesystem::remove_all(simRoot, err);

    // The table: ok, U (unknown word, apart), L (lost line, apart), FAIL.
    std::ostringstream table;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%-16s", "fault");
    table << buf;
    for (const Family& fam : families) {
        std::snprintf(buf, sizeof buf, " %-13s", fam.name);
        table << buf;
    }
    table << "\n";
    int passed = 0, failed = 0, unknown = 0, lostLine = 0, waiting = 0, fixed = 0;
    double slowest = 0;
    for (size_t fi = 0; fi < faults.size(); ++fi) {
        std::snprintf(buf, sizeof buf, "%-16s", faults[fi].name);
        table << buf;
        for (size_t mi = 0; mi < families.size(); ++mi) {
            const CellResult& r = results[fi * families.size() + mi];
            slowest = std::max(slowest, r.seconds);
            std::string mark;
            if (!r.ran) {
                mark = "-";
            } else if (!r.problems.empty() && r.pending) {
                mark = "wait";
                ++waiting;
            } else if (!r.problems.empty()) {
                mark = "FAIL";
                ++failed;
            } else if (r.pending) {
                mark = "fixed";
                ++fixed;
            } else if (r.apartUnknown) {
                mark = "U";
                ++unknown;
            } else if (r.apartLostLine) {
                mark = "L";
                ++lostLine;
            } else {
                mark = "ok";
                ++passed;
            }
            std::snprintf(buf, sizeof buf, " %-5s%5.1fs  ", mark.c_str(), r.seconds);
            table << buf;
        }
        table << "\n";
    }
    std::printf("%s", table.str().c_str());
    std::printf("cells %zu: %d agree, %d unknown error word (apart), %d lost line (apart), %d FAIL; "
                "%d wait for an engine fix, %d fixed meanwhile; %zu workers, %.0f s wall, slowest operation %.1f s\n",
                order.size(), passed + fixed, unknown, lostLine, failed, waiting, fixed, workers, wall, slowest);
    for (const CellResult& r : results) {
        for (const std::string& p : r.problems) {
            if (r.pending)
                std::printf("wait  %s x %s: %s (%s)\n", r.family.c_str(), r.fault.c_str(), Shorten(p, 200).c_str(),
                            r.pending);
            else
                ADD_FAILURE() << r.family << " x " << r.fault << ": " << Shorten(p, 300);
        }
        if (r.ran && r.pending && r.problems.empty())
            std::printf("fixed %s x %s: no longer waits (%s)\n", r.family.c_str(), r.fault.c_str(), r.pending);
    }
}

}  // namespace
