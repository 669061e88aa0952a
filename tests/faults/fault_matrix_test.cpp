// Every fault the simulator's control socket offers, against every family
// of operations, with the real engine on a real pseudo-terminal: no crash,
// a bounded time and memory, the documented error, and afterwards the engine
// and the printer agree on the check, the counters and the cash. The cells
// run side by side, each with its own m301sim process, since most of their
// time is spent waiting for the printer's and the engine's time-outs.
//
// What each fault hits, and why:
//  - Lost replies (silent, cut, cut-end, trailing, delay 7000, split 2 7000):
//    every family. A query or a sale line may fail with the time-out; an
//    operation that changes the printer's state (closings, X- and Z-reports,
//    the zero Z-report, fiscal-memory, article and discount reports, text
//    documents, zero checks, check copies, cash) is reconciled and must end
//    as the printer's counter shows: done is success, not done is failure,
//    and error 95 only where no counter can tell (a check copy; on firmware
//    other than T3+ the X-report, whose document numbers the engine does not
//    read there) or the printer cannot be asked. Closings, the X- and
//    Z-reports and cash run on both firmwares; the article and discount
//    reports, of the fiscal-memory reports' shape, on a sample of faults.
//  - split 2 7000 now: half a reply, a pause longer than the reply time-out,
//    and the rest while the next command already waits: every family, and
//    the next command must get its own reply (no wait in between, unlike the
//    other lost replies, whose late bytes come before the next call).
//  - babble: the printer talks without end and hears nothing (instead of
//    the reply; after its READY; after a command it never heard; from before
//    the command, as an adapter gone mad): every family, the handshake
//    included. The collection must stop within bounds of time and memory, a
//    state change nobody could confirm is 95, and once the line is quiet the
//    next command gets its own reply.
//  - Error words, lose-end and done-and-error: every family; the printer
//    answers, so the outcome is the word's (or success) with nothing left
//    to reconcile. An unknown word leaves a state change unconfirmed: it is
//    reconciled like a lost reply.
//  - paper out, key 0 and key 2: the families that print, need a cashier, or
//    need the work or Z-report key position; queries answer in any position.
//  - conf-length and conf-no-end: the families that read the configuration.
//  - handshake off: Init only; the others are connected before the fault.
// A fault waits for the family's own command (the simulator's `target`), so
// that it hits the Z-report rather than the reads the engine sends before it.
//
// Each cell checks: no success for what the printer did not do; no failure
// for what it did (error 95 only where nothing could tell); the two next
// commands get their own replies; the operation's time and what the engine
// keeps of the line stay bounded (and the whole process's memory).
//
// Two kinds of cell are counted apart: an unknown error word on a query, a
// line or the start-up (the engine counts it as success, by design, while the
// printer did nothing) and a lost line command (the engine cannot know
// whether the printer took the line; only aborting the check brings the two
// together again). Their recovery by abort is checked all the same.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
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
using Said = brenvik::Outcome;

// ---- the faults ------------------------------------------------------------

enum class Kind {
    Lost,     // the reply never comes whole in time: error 80, or reconciled
    Benign,   // the engine copes: success
    Refused,  // the printer refuses (some families only): the listed error
    Unknown,  // an error word the engine does not know: success by design, or reconciled
    Endless,  // the line never stops talking: error 94, or reconciled
};

// What a family does that a fault may hit.
enum Trait : unsigned {
    kQuery = 1,    // reads only; answers in every key position, needs no paper
    kPrints = 2,   // refused without paper
    kWork = 4,     // needs the key in the work position
    kConf = 8,     // reads the configuration (CONf)
    kWakes = 16,   // starts with the wake-up handshake
    kCashier = 32, // registers the cashier
    kZKey = 64,    // needs the key in the work or Z-report position
};

struct Fault {
    const char* name;
    std::vector<std::string> controls;
    Kind kind;
    std::set<uint32_t> errors;  // the documented errors when the printer refuses
    unsigned hits;              // the traits the fault refuses; 0: every family
    int lateMs;                 // bytes still on their way after the engine gave up
    bool uncertain;             // the command reached the printer, its reply did not come back whole
    bool deaf;                  // meanwhile the printer hears nothing: no counter can be read
};

// Error numbers as the printer's manual pairs them with its words, and the
// engine's own.
constexpr uint32_t kTimeout = 80, kPaper = 81, kTxtOut = 82, kCutter = 18, kMem07 = 56, kSysLock = 22,
                   kNotWork = 30, kNotZKey = 33, kNoLink = 7, kBadConf = 92, kCloseUnconfirmed = 93,
                   kEndless = 94, kUnconfirmed = 95, kNotDone = 96;

const std::vector<Fault>& Faults() {
    static const std::vector<Fault> faults = {
        {"silent", {"next silent"}, Kind::Lost, {kTimeout}, 0, 0, true, false},
        {"cut 0", {"next cut 0"}, Kind::Lost, {kTimeout}, 0, 0, true, false},
        {"cut 9", {"next cut 9"}, Kind::Lost, {kTimeout}, 0, 0, true, false},
        {"cut-end 3", {"next cut-end 3"}, Kind::Lost, {kTimeout}, 0, 0, true, false},
        {"trailing 3", {"next trailing 3"}, Kind::Lost, {kTimeout}, 0, 0, true, false},
        {"delay 7000", {"next delay 7000"}, Kind::Lost, {kTimeout}, 0, 2500, true, false},
        {"split 2 7000", {"next split 2 7000"}, Kind::Lost, {kTimeout}, 0, 2500, true, false},
        {"split 2 7000 now", {"next split 2 7000"}, Kind::Lost, {kTimeout}, 0, 0, true, false},
        {"babble", {"next babble"}, Kind::Endless, {}, 0, 0, true, true},
        {"babble after", {"next babble after"}, Kind::Endless, {}, 0, 0, true, true},
        {"silent babble", {"next silent", "next babble"}, Kind::Endless, {}, 0, 0, true, true},
        {"babble on", {"babble on"}, Kind::Endless, {}, 0, 0, false, true},
        {"delay 3000", {"next delay 3000"}, Kind::Benign, {}, 0, 0, false, false},
        {"split 3 1500", {"next split 3 1500"}, Kind::Benign, {}, 0, 0, false, false},
        {"noise", {"next noise"}, Kind::Benign, {}, 0, 0, false, false},
        {"lose-end", {"next lose-end"}, Kind::Refused, {kTxtOut}, 0, 0, false, false},
        {"error SOFTPAPER", {"next error SOFTPAPER"}, Kind::Refused, {kPaper}, 0, 0, false, false},
        {"error 2 words", {"next error SOFTPAPER HARDCUTTER"}, Kind::Refused, {kCutter}, 0, 0, false, false},
        {"error MEM_07", {"next error MEM_ERROR_CODE_07"}, Kind::Refused, {kMem07}, 0, 0, false, false},
        {"error unknown", {"next error SOFTWRONG"}, Kind::Unknown, {}, 0, 0, false, false},
        {"done-and-error", {"next done-and-error SOFTPAPER"}, Kind::Benign, {}, 0, 0, false, false},
        {"paper out", {"paper out"}, Kind::Refused, {kPaper}, kPrints, 0, false, false},
        {"key 0", {"key 0"}, Kind::Refused, {kSysLock}, kWork | kPrints | kCashier, 0, false, false},
        {"key 2", {"key 2"}, Kind::Refused, {kNotWork, kNotZKey}, kWork | kZKey, 0, false, false},
        {"conf-length 152", {"conf-length 152"}, Kind::Refused, {kBadConf}, kConf, 0, false, false},
        {"conf-no-end", {"conf-no-end"}, Kind::Benign, {}, 0, 0, false, false},
        {"handshake off", {"handshake off"}, Kind::Refused, {kNoLink}, kWakes, 0, false, false},
    };
    return faults;
}

// ---- one cell ---------------------------------------------------------------

// Two lines every check starts with: 2 x 18.50 under tax А (included) and
// 100.00 under tax Г (2 % on-sale, 2.00 on top).
constexpr int32_t kCheckSales = 3700 + 10000, kCheckTaxes = 200;

struct Cell {
    Cell(simproc::SimProcess& s, simproc::Engine& engine, const Fault& f, std::string paper)
        : sim(s), e(engine), fault(f), journal(std::move(paper)) {}
    simproc::SimProcess& sim;
    simproc::Engine& e;
    const Fault& fault;
    std::string journal;        // the printer's paper
    size_t journalBefore = 0;   // its size when the operation began
    std::string state;  // the printer's state line, read after the fault was cleared
    std::string text;   // a text result, copied out
    std::vector<std::string> problems;
    bool apartUnknown = false, apartLostLine = false;
    bool oldFirmware = false;  // the engine reads no document numbers from it

    long long S(const char* key) const { return StateNumber(state, key); }
    void Read() { state = sim.Control("state"); }
    void Problem(const std::string& p) { problems.push_back(p); }
    void Expect(bool ok, const std::string& what) {
        if (!ok) Problem(what);
    }
    // What the printer printed since the operation began.
    std::string PaperSince() const {
        std::ifstream in(journal, std::ios::binary);
        std::ostringstream all;
        all << in.rdbuf();
        const std::string paper = all.str();
        return paper.size() > journalBefore ? paper.substr(journalBefore) : "";
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

// What the engine said: the result, its error and, for an operation that
// changes the printer's state, its outcome.
struct Answer {
    bool ok;
    uint32_t error;
    Said outcome;
};

struct Family {
    const char* name;
    unsigned traits;
    std::function<void(Cell&)> setup;
    std::function<Answer(Cell&)> run;
    // What must hold afterwards (the fault cleared, the state read),
    // `before` being the state before the operation.
    std::function<void(Cell&, const Answer&, const std::string& before)> agree;
    // A printer of older firmware, without document numbers the engine
    // reads: an uncertain operation is decided by other registers.
    bool oldFirmware = false;
    // The command the fault waits for; none: the first the family sends.
    const char* target = nullptr;
    // Only these faults (a family of the same shape as another); empty: all.
    std::vector<std::string> faultsOnly = {};
};

Answer Result(simproc::Engine& e, bool ok) { return {ok, e->ErrorNumber, e->LastOutcome()}; }

const char* Name(Said s) {
    switch (s) {
    case Said::None: return "None";
    case Said::Done: return "Done";
    case Said::Refused: return "Refused";
    case Said::ReconciledDone: return "ReconciledDone";
    case Said::ReconciledNotDone: return "ReconciledNotDone";
    case Said::Unreachable: return "Unreachable";
    case Said::Undecided: return "Undecided";
    }
    return "?";
}

// What the engine said about an operation that changes the printer's state,
// against what the printer did. `canTell`: a counter the engine reads on
// this firmware decides the operation.
void VerdictAgrees(Cell& c, const Answer& a, bool done, bool canTell) {
    const Fault& f = c.fault;
    const std::string tail = std::string(" (") + (a.ok ? "success" : "error " + std::to_string(a.error)) +
                             ", outcome " + Name(a.outcome) + ", the printer " + (done ? "did it" : "did not") +
                             ")";
    if (a.ok) {
        c.Expect(done, "success for what the printer did not do" + tail);
        c.Expect(a.outcome == Said::Done || a.outcome == Said::ReconciledDone, "success with a wrong outcome" + tail);
        return;
    }
    if (a.error == kUnconfirmed) {
        c.Expect(a.outcome == Said::Unreachable || a.outcome == Said::Undecided, "error 95 with a wrong outcome" + tail);
        c.Expect(!canTell || f.deaf, "error 95, but the printer could be asked and its counter tells" + tail);
        return;
    }
    c.Expect(!done, "a failure for what the printer did" + tail);
    if (f.uncertain) {
        // Its reply was lost: only a counter that stood still may say no.
        c.Expect(canTell && !f.deaf && a.outcome == Said::ReconciledNotDone,
                 "a lost reply reported as a plain failure, though nothing told" + tail);
    } else if (f.kind == Kind::Refused) {
        c.Expect(a.outcome == Said::Refused, "a refusal with a wrong outcome" + tail);
    }
}

// A sale line that may or may not have reached the printer's check.
void LineAgrees(Cell& c, const Answer& o, int32_t amount, int32_t taxes) {
    const bool lost = !o.ok && (o.error == kTimeout || o.error == kEndless || o.error == kUnconfirmed);
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
void CloseAgrees(Cell& c, const Answer& o, const std::function<int32_t()>& close, const std::string& before) {
    const long long dayBefore = StateNumber(before, "day_sales");
    const bool closed = c.S("check_open") == 0;
    // Both firmwares can tell: the check number, or the day's sales.
    VerdictAgrees(c, o, closed, true);
    if (closed) {
        c.Expect(c.S("day_sales") - dayBefore == kCheckSales + kCheckTaxes, "the printer's day took a wrong total");
        if (o.ok) {  // a closing nobody could confirm keeps its totals
            c.TotalsAgree("after the close");
            c.LastCheckAgrees();
        }
        return;
    }
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

// Whether the printer did an operation, from its state before and now.
using Truth = std::function<bool(const Cell&, const std::string& before)>;

// The printer's counter `key` moved by exactly `step`.
Truth Moved(const char* key, long long step) {
    return [key, step](const Cell& c, const std::string& before) {
        return c.S(key) - StateNumber(before, key) == step;
    };
}

// An operation that changes the printer's state: the engine's verdict must
// be the printer's; what was not done is done by the same call, once, when
// the cause is gone.
Family StateChange(const char* name, unsigned traits, const char* target, bool oldFirmware, bool canTell,
                   std::function<void(Cell&)> setup, std::function<bool(Cell&)> call, Truth done) {
    Family f{name, traits, std::move(setup), nullptr, nullptr, oldFirmware, target};
    f.run = [call](Cell& c) { return Result(c.e, call(c)); };
    f.agree = [call, done, canTell](Cell& c, const Answer& a, const std::string& before) {
        const bool did = done(c, before);
        VerdictAgrees(c, a, did, canTell);
        if (did || !c.problems.empty()) return;
        c.Expect(call(c), "the retry failed: error " + std::to_string(c.e->ErrorNumber));
        c.Read();
        c.Expect(done(c, before), "the retry did not do it exactly once");
    };
    return f;
}

std::string Field(const std::string& s, const char* name) {
    const std::string tag = std::string(name) + "=\"";
    const size_t p = s.find(tag);
    if (p == std::string::npos) return "";
    const size_t e = s.find('"', p + tag.size());
    return s.substr(p + tag.size(), e - p - tag.size());
}

size_t Count(const std::string& s, const std::string& what) {
    size_t n = 0;
    for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + what.size())) ++n;
    return n;
}

void CheckClosed(Cell& c) {
    c.OpenCheckWithTwoLines();
    c.Expect(c.e->CloseCheck() == kCheckSales + kCheckTaxes, "setup: CloseCheck");
}

const std::vector<Family>& Families() {
    static const Truth serviceDocument = Moved("last_serv_doc_number", 1);
    static const std::vector<Family> families = {
        {"Init", kQuery | kConf | kWakes | kCashier,
         [](Cell&) {},
         [](Cell& c) { return Result(c.e, c.e->InitDevice(c.sim.Link().c_str(), "Олена", "0000") == 1); },
         [](Cell& c, const Answer& o, const std::string&) {
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
         [](Cell& c, const Answer& o, const std::string&) { LineAgrees(c, o, 3600, 0); }},
        {"FiscalLineEx", kPrints | kWork,
         [](Cell& c) { c.OpenCheckWithTwoLines(); },
         [](Cell& c) {
             // 1.5 kg at 19.99 is 29.99, less a discount of 1.99: 28.00, and 2 % on top.
             const int32_t sum = c.e->FiscalLineEx("Сир твердий", 1500, 1999, 1, 4, 0, 0, 0, "Знижка", 199);
             return Result(c.e, sum == 2999);
         },
         [](Cell& c, const Answer& o, const std::string&) { LineAgrees(c, o, 2800, 56); }},
        {"CloseCheck", kPrints | kWork,
         [](Cell& c) { c.OpenCheckWithTwoLines(); },
         [](Cell& c) { return Result(c.e, c.e->CloseCheck() == kCheckSales + kCheckTaxes); },
         [](Cell& c, const Answer& o, const std::string& before) {
             CloseAgrees(c, o, [&c] { return c.e->CloseCheck(); }, before);
         },
         false, "COMP"},
        {"CloseCheckEx", kPrints | kWork,
         [](Cell& c) { c.OpenCheckWithTwoLines(); },
         [](Cell& c) { return Result(c.e, c.e->CloseCheckEx(20000, 0, 0, 0) == kCheckSales + kCheckTaxes); },
         [](Cell& c, const Answer& o, const std::string& before) {
             CloseAgrees(c, o, [&c] { return c.e->CloseCheckEx(20000, 0, 0, 0); }, before);
         },
         false, "COMP"},
        {"Close oldFw", kPrints | kWork,
         [](Cell& c) { c.OpenCheckWithTwoLines(); },
         [](Cell& c) { return Result(c.e, c.e->CloseCheck() == kCheckSales + kCheckTaxes); },
         [](Cell& c, const Answer& o, const std::string& before) {
             CloseAgrees(c, o, [&c] { return c.e->CloseCheck(); }, before);
         },
         true, "COMP"},
        {"CloseEx oldFw", kPrints | kWork,
         [](Cell& c) { c.OpenCheckWithTwoLines(); },
         [](Cell& c) { return Result(c.e, c.e->CloseCheckEx(20000, 0, 0, 0) == kCheckSales + kCheckTaxes); },
         [](Cell& c, const Answer& o, const std::string& before) {
             CloseAgrees(c, o, [&c] { return c.e->CloseCheckEx(20000, 0, 0, 0); }, before);
         },
         true, "COMP"},
        {"ConfigXML", kQuery | kConf,
         [](Cell&) {},
         [](Cell& c) {
             const char* xml = c.e->GetPrinterConfigXML(1);
             c.text = xml ? xml : "";
             return Result(c.e, !c.text.empty());
         },
         [](Cell& c, const Answer& o, const std::string&) {
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
         [](Cell& c, const Answer& o, const std::string&) {
             if (!o.ok) return;
             const std::string total = Field(c.text, "total");
             c.Expect(std::atoll(total.c_str()) == c.S("cash") && !total.empty(),
                      "cash document total \"" + total + "\", printer " + std::to_string(c.S("cash")));
         }},
        StateChange("XReport", kPrints, "ZREP", false, true, [](Cell&) {},
                    [](Cell& c) { return c.e->XReport() == 1; }, serviceDocument),
        StateChange("MoveCash", kPrints | kWork, "CAIO", false, true, [](Cell&) {},
                    [](Cell& c) { return c.e->MoveCash(1, 12345) == 1; }, Moved("day_cash_in", 12345)),
        StateChange("ZReport", kPrints | kZKey, "NREP", false, true,
                    [](Cell& c) { c.Expect(c.e->MoveCash(1, 50000) == 1, "setup: MoveCash"); },
                    [](Cell& c) { return c.e->ZReport() == 1; }, Moved("z_number", 1)),
        // A fresh printer's shift is closed: the zero report opens it.
        StateChange("ZeroZReport", kPrints | kZKey, "nrep", false, true, [](Cell&) {},
                    [](Cell& c) { return c.e->PrintZeroZReport() == 1; },
                    [](const Cell& c, const std::string& before) {
                        return Moved("last_doc_number", 1)(c, before) && c.S("shift_open") == 1;
                    }),
        StateChange("NullCheck", kPrints | kWork, "NULL", false, true, [](Cell&) {},
                    [](Cell& c) { return c.e->NullCheck() == 1; }, Moved("last_check_number", 1)),
        // A copy moves no counter the printer reports: only the paper shows it.
        StateChange("CheckCopy", kPrints | kWork, "COPY", false, false, CheckClosed,
                    [](Cell& c) { return c.e->CheckCopy() == 1; },
                    [](const Cell& c, const std::string&) { return Count(c.PaperSince(), u8"КОПІЯ") == 2; }),
        StateChange("FiscRepNum", kPrints | kZKey, "FIRN", false, true,
                    [](Cell& c) { c.Expect(c.e->ZReport() == 1, "setup: ZReport"); },
                    [](Cell& c) { return c.e->PeriodicalFiscalReport(1, 1) == 1; }, serviceDocument),
        StateChange("FiscRepDate", kPrints | kZKey, "FIRP", false, true,
                    [](Cell& c) { c.Expect(c.e->ZReport() == 1, "setup: ZReport"); },
                    [](Cell& c) { return c.e->PeriodicalFiscalReportDate("20240101", "20991231") == 1; },
                    serviceDocument),
        StateChange("TextDocument", kPrints | kWork, "PRTX", false, true,
                    [](Cell& c) {
                        c.Expect(c.e->FreeTextLine(0, 0, 0, "Службова довідка") == 1, "setup: FreeTextLine");
                    },
                    [](Cell& c) { return c.e->CloseTextDocument(0) == 1; }, serviceDocument),
        StateChange("XReport oldFw", kPrints, "ZREP", true, false, [](Cell&) {},
                    [](Cell& c) { return c.e->XReport() == 1; }, serviceDocument),
        StateChange("ZReport oldFw", kPrints | kZKey, "NREP", true, true, CheckClosed,
                    [](Cell& c) { return c.e->ZReport() == 1; }, Moved("z_number", 1)),
        StateChange("MoveCash oldFw", kPrints | kWork, "CAIO", true, true, [](Cell&) {},
                    [](Cell& c) { return c.e->MoveCash(1, 12345) == 1; }, Moved("day_cash_in", 12345)),
    };
    static const std::vector<Family> all = [] {
        std::vector<Family> v = families;
        // Reports of the same shape as the fiscal-memory ones: a sample of
        // the faults shows that they are reconciled too.
        const std::vector<std::string> sample = {"silent", "cut 9", "split 2 7000 now", "babble",
                                                 "error SOFTPAPER", "key 2", "noise"};
        Family article = StateChange("ArticleReport", kPrints | kZKey, "ARTZ", false, true, [](Cell&) {},
                                     [](Cell& c) { return c.e->ArticleReport() == 1; }, serviceDocument);
        Family discount = StateChange("DiscountReport", kPrints | kZKey, "DIZV", false, true, [](Cell&) {},
                                      [](Cell& c) { return c.e->DiscountReport() == 1; }, serviceDocument);
        article.faultsOnly = discount.faultsOnly = sample;
        v.push_back(article);
        v.push_back(discount);
        return v;
    }();
    return all;
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
    static const std::vector<PendingCells> pending = {};
    for (const PendingCells& p : pending) {
        if (std::find(p.families.begin(), p.families.end(), family) != p.families.end() &&
            std::find(p.faults.begin(), p.faults.end(), fault.name) != p.faults.end())
            return p.reason;
    }
    return nullptr;
}

// ---- bounds -----------------------------------------------------------------

// Three reply time-outs at most (the command, the wait for its late reply,
// a reconciling read), the drawer besides; the start-up has its wake-up
// waits besides.
constexpr double kOperationBound = 25.0, kStartUpBound = 35.0;
// No reply is longer than a few hundred bytes: what the engine keeps of the
// line stays far below this.
constexpr size_t kQueueBound = 64 * 1024;

// Ends a fault that never ends by itself (a line that babbles) once an
// operation has run past its bound: an engine that does not bound its
// collection would otherwise keep the cell waiting for ever.
class Watchdog {
public:
    Watchdog(const simproc::SimProcess& sim, double seconds)
        : thread_([this, &sim, seconds] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (wake_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return stopped_; })) return;
              fired_ = true;
              lock.unlock();
              sim.Control("babble off");
              sim.Control("clear");
          }) {}
    ~Watchdog() { Stop(); }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    // True when it had to end the fault.
    bool Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopped_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
        return fired_;
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopped_ = false, fired_ = false;
    std::thread thread_;  // last: it uses the members above
};

size_t QueueBytes(simproc::Engine& e) { return std::max(e->RxQueue.capacity(), e->LastReply.capacity()); }

// A line of /proc/self/status, in kB.
long StatusKb(const char* key) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, std::strlen(key), key) == 0) return std::atol(line.c_str() + std::strlen(key) + 1);
    return -1;
}

// ---- running the cells ------------------------------------------------------

struct CellResult {
    std::string fault, family;
    std::vector<std::string> problems;
    bool ran = false, apartUnknown = false, apartLostLine = false;
    const char* pending = nullptr;
    double seconds = 0, cellSeconds = 0;
    size_t queueBytes = 0;
};

// The cleared printer: no pending fault, quiet, paper in, key in the work
// position, answering the wake-up, configuration replies of their right
// length.
const char* const kClear[] = {"clear", "babble off", "paper in", "key 1", "handshake on", "conf-length 153"};

// The next command is answered by its own reply, not by a late one: two
// different queries in a row, each checked against the printer's state.
void NextCommandsAgree(Cell& c, bool oldFirmware) {
    simproc::Engine& engine = c.e;
    if (!oldFirmware) {
        std::memset(engine->LastCheckNumber, 0, sizeof engine->LastCheckNumber);
        std::memset(engine->LastDocNumber, 0, sizeof engine->LastDocNumber);
        std::memset(engine->LastServDocNumber, 0, sizeof engine->LastServDocNumber);
        std::memset(engine->LastZReportNumber, 0, sizeof engine->LastZReportNumber);
        c.Expect(engine->ReadDocumentNumbers() == 0,
                 "the next command failed: error " + std::to_string(engine->ErrorNumber));
        c.Read();
        const std::string got = std::string(engine->LastCheckNumber) + "/" + engine->LastDocNumber + "/" +
                                engine->LastServDocNumber + "/" + engine->LastZReportNumber;
        c.Expect(std::atoll(engine->LastCheckNumber) == c.S("last_check_number") &&
                     std::atoll(engine->LastDocNumber) == c.S("last_doc_number") &&
                     std::atoll(engine->LastServDocNumber) == c.S("last_serv_doc_number") &&
                     std::atoll(engine->LastZReportNumber) == c.S("z_number") && engine->LastCheckNumber[0] != '\0',
                 "the next command read document numbers " + got + ", printer " +
                     std::to_string(c.S("last_check_number")) + "/" + std::to_string(c.S("last_doc_number")) + "/" +
                     std::to_string(c.S("last_serv_doc_number")) + "/" + std::to_string(c.S("z_number")));
    }
    std::memset(engine->CashInfoText, 0, sizeof engine->CashInfoText);
    const char* xml = engine->GetCashInfoXML();
    const std::string total = Field(xml ? xml : "", "total");
    c.Read();
    c.Expect(!total.empty() && std::atoll(total.c_str()) == c.S("cash"),
             "the next command read the cash \"" + total + "\", printer " + std::to_string(c.S("cash")));
    if (oldFirmware) {
        std::memset(engine->FiscalInfoText, 0, sizeof engine->FiscalInfoText);
        const std::string day = engine->GetFiscalInfo();
        c.Expect(day.size() >= 12 && std::atoll(day.substr(0, 12).c_str()) == c.S("day_sales"),
                 "the command after read the day's sales \"" + day.substr(0, 12) + "\", printer " +
                     std::to_string(c.S("day_sales")));
    }
}

CellResult RunCell(simproc::Launcher& launcher, const Fault& fault, const Family& family, const std::string& simDir,
                   const std::string& logDir) {
    CellResult r{fault.name, family.name, {}, true, false, false, Pending(family.name, fault), 0, 0, 0};
    const auto cellStart = Clock::now();
    std::error_code err;
    std::filesystem::remove_all(logDir, err);
    if (!std::filesystem::create_directories(logDir, err) || !std::filesystem::create_directories(simDir, err)) {
        r.problems.push_back("cannot make " + logDir);
        return r;
    }
    const std::string journal = logDir + "/paper.txt";
    std::vector<std::string> args = {"--tax", "4=2.00:1", "--journal", journal};
    if (family.oldFirmware) args.insert(args.end(), {"--firmware", "20040115"});
    simproc::SimProcess sim(launcher, M301SIM_PROGRAM, simDir, args);
    if (!sim.Ready()) {
        r.problems.push_back("m301sim did not start");
        return r;
    }
    simproc::Engine engine(logDir);
    Cell c{sim, engine, fault, journal};
    c.oldFirmware = family.oldFirmware;
    if (std::strcmp(family.name, "Init") != 0)
        c.Expect(engine->InitDevice(sim.Link().c_str(), "Олена", "0000") == 1, "setup: Init");
    family.setup(c);
    if (c.problems.empty()) {
        const std::string before = sim.Control("state");
        std::error_code sizeErr;
        c.journalBefore = static_cast<size_t>(std::filesystem::file_size(journal, sizeErr));
        if (family.target) c.Expect(sim.Control(std::string("target ") + family.target) == "OK", "target refused");
        for (const std::string& control : fault.controls)
            c.Expect(sim.Control(control) == "OK", "control '" + control + "' refused");
        const double bound = family.traits & kWakes ? kStartUpBound : kOperationBound;
        Watchdog watchdog(sim, bound + 1);
        const auto start = Clock::now();
        const Answer o = family.run(c);
        r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (watchdog.Stop())
            c.Problem("unbounded: the operation ended only when the line was silenced after " +
                      std::to_string(static_cast<int>(bound + 1)) + " s");
        r.queueBytes = QueueBytes(engine);
        // Late bytes arrive before the next call, as they would while the
        // cashier reads the error.
        if (fault.lateMs) std::this_thread::sleep_for(std::chrono::milliseconds(fault.lateMs));
        for (const char* clear : kClear) sim.Control(clear);
        c.Read();

        c.Expect(r.seconds <= bound, "took " + std::to_string(r.seconds) + " s");
        const bool refuses = fault.hits == 0 || (fault.hits & family.traits) != 0;
        if (!o.ok) {
            // A configuration reply that a fault spoiled may also be reported
            // as the configuration that stayed bad; a start-up on a line
            // that babbles finds no printer.
            const bool badConf = (family.traits & kConf) && o.error == kBadConf && fault.kind != Kind::Benign;
            const bool noLink = (family.traits & kWakes) && o.error == kNoLink && fault.kind == Kind::Endless;
            const bool documented =
                badConf || noLink ||
                (fault.kind == Kind::Lost && (o.error == kTimeout || o.error == kCloseUnconfirmed ||
                                              o.error == kUnconfirmed || o.error == kNotDone)) ||
                (fault.kind == Kind::Endless && (o.error == kEndless || o.error == kUnconfirmed)) ||
                (fault.kind == Kind::Refused && refuses && fault.errors.count(o.error)) ||
                (fault.kind == Kind::Unknown && (o.error == 0 || o.error == kCloseUnconfirmed ||
                                                 o.error == kUnconfirmed || o.error == kNotDone));
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
        NextCommandsAgree(c, family.oldFirmware);
        r.queueBytes = std::max(r.queueBytes, QueueBytes(engine));
        c.Expect(r.queueBytes <= kQueueBound, "the engine kept " + std::to_string(r.queueBytes) + " bytes of the line");
    }
    r.problems = c.problems;
    r.apartUnknown = c.apartUnknown;
    r.apartLostLine = c.apartLostLine;
    r.cellSeconds = std::chrono::duration<double>(Clock::now() - cellStart).count();
    return r;
}

std::string Shorten(std::string s, size_t n) { return s.size() <= n ? s : s.substr(0, n); }

bool Runs(const Family& family, const Fault& fault) {
    return family.faultsOnly.empty() ||
           std::find(family.faultsOnly.begin(), family.faultsOnly.end(), fault.name) != family.faultsOnly.end();
}

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
    // The slow cells (time-outs, babble) first, so the pool does not end on
    // them. FAULTS_ONLY="CloseCheck x silent" runs the cells whose name holds it.
    const char* only = std::getenv("FAULTS_ONLY");
    std::vector<size_t> order;
    for (const bool slow : {true, false}) {
        for (size_t i = 0; i < results.size(); ++i) {
            const Fault& f = faults[i / families.size()];
            const Family& fam = families[i % families.size()];
            const std::string name = std::string(fam.name) + " x " + f.name;
            results[i] = {f.name, fam.name, {}, false, false, false, nullptr, 0, 0, 0};
            const bool isSlow = f.kind == Kind::Lost || f.kind == Kind::Endless;
            if (isSlow == slow && Runs(fam, f) && (!only || name.find(only) != std::string::npos))
                order.push_back(i);
        }
    }

    const char* jobs = std::getenv("FAULTS_JOBS");
    const size_t workers = jobs && std::atoi(jobs) > 0 ? static_cast<size_t>(std::atoi(jobs)) : 12;
    const long rssBefore = StatusKb("VmRSS:");
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
    const long rssPeak = StatusKb("VmHWM:");
    std::error_code err;
    std::filesystem::remove_all(simRoot, err);

    // The table: ok, U (unknown word, apart), L (lost line, apart), FAIL.
    std::ostringstream table;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%-17s", "fault");
    table << buf;
    for (const Family& fam : families) {
        std::snprintf(buf, sizeof buf, " %-13s", fam.name);
        table << buf;
    }
    table << "\n";
    int passed = 0, failed = 0, unknown = 0, lostLine = 0, waiting = 0, fixed = 0;
    const CellResult* slowest = nullptr;
    const CellResult* slowestCell = nullptr;
    const CellResult* largest = nullptr;
    for (size_t fi = 0; fi < faults.size(); ++fi) {
        std::snprintf(buf, sizeof buf, "%-17s", faults[fi].name);
        table << buf;
        for (size_t mi = 0; mi < families.size(); ++mi) {
            const CellResult& r = results[fi * families.size() + mi];
            if (r.ran && (!slowest || r.seconds > slowest->seconds)) slowest = &r;
            if (r.ran && (!slowestCell || r.cellSeconds > slowestCell->cellSeconds)) slowestCell = &r;
            if (r.ran && (!largest || r.queueBytes > largest->queueBytes)) largest = &r;
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
            if (r.ran)
                std::snprintf(buf, sizeof buf, " %-5s%5.1fs  ", mark.c_str(), r.seconds);
            else
                std::snprintf(buf, sizeof buf, " %-13s", mark.c_str());
            table << buf;
        }
        table << "\n";
    }
    std::printf("%s", table.str().c_str());
    std::printf("cells %zu: %d agree, %d unknown error word (apart), %d lost line (apart), %d FAIL; "
                "%d wait for an engine fix, %d fixed meanwhile; %zu workers, %.0f s wall\n",
                order.size(), passed + fixed, unknown, lostLine, failed, waiting, fixed, workers, wall);
    if (slowest && slowestCell && largest)
        std::printf("slowest operation %.1f s (%s x %s); slowest cell %.1f s (%s x %s); most of the line kept "
                    "%zu bytes (%s x %s); process memory %ld kB before, peak %ld kB\n",
                    slowest->seconds, slowest->family.c_str(), slowest->fault.c_str(), slowestCell->cellSeconds,
                    slowestCell->family.c_str(), slowestCell->fault.c_str(), largest->queueBytes,
                    largest->family.c_str(), largest->fault.c_str(), rssBefore, rssPeak);
    // Every engine and printer of the run at once stays far below this.
    EXPECT_LT(rssPeak - rssBefore, 256L * 1024) << "the process grew from " << rssBefore << " kB to " << rssPeak;
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
