// The printer's insides: what it keeps, shared by the simulator's sources.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "sim/m301sim.h"

namespace m301sim {

constexpr size_t kMaxBlockBody = 252;      // text (251) + length byte
constexpr size_t kMaxCheckLines = 720;     // SOFTOVART beyond
constexpr size_t kMaxStoredText = 100;     // text lines kept for a document
constexpr size_t kMaxCopyLines = 300;      // SOFTCOPY beyond
constexpr size_t kFiscalMemoryRecords = 2100;
constexpr size_t kMaxArticles = 15516;
constexpr int64_t kShiftSeconds = 24 * 3600;
// The printer's receive time-out: a block whose next byte does not come
// within 2 s is answered with SOFTTXTOUT and dropped, so a sender that died
// mid-block does not swallow the next wake-up.
constexpr std::chrono::milliseconds kReceiveTimeout{2000};

// Tax slots 0..7; index 8 of the turnover arrays is the untaxed turnover.
struct Line {
    bool isReturn = false;
    std::string name;  // UTF-8
    int64_t sum = 0, price = 0, qty = 0;
    bool piece = true;
    int taxMask = 0;
    int64_t discount = 0;  // negative discount, positive surcharge
    std::string discountName;
    int64_t article = 0;
    int64_t amount = 0;  // sum + discount
    int64_t tax[8] = {};
    int64_t onsale = 0, included = 0, saleIncluded = 0;
};

struct CheckSide {
    int64_t amount = 0, onsale = 0, included = 0, saleIncluded = 0;
};

struct OpenCheck {
    bool open = false;
    std::string department;
    std::vector<Line> lines;
    bool lastLineValid = false;  // STRN may cancel the last line
    CheckSide sale, ret;
    std::vector<std::string> body, textBefore, textAfter;
    std::string returnRef;
    int groupDepth = 0;
};

struct DayRegisters {
    int64_t saleTurnover[9] = {}, returnTurnover[9] = {};
    int64_t saleTax[8] = {}, returnTax[8] = {};
    int64_t sales = 0, returns = 0;  // on-sale taxes included
    int64_t discounts = 0, surcharges = 0;
    int64_t payments[4] = {};  // packing, cheque, credit, cash (net of change)
    int64_t startCash = 0, cashIn = 0, cashOut = 0, cashSales = 0, cashReturns = 0;
    int64_t checkIncome = 0, checkOutcome = 0;
    int64_t saleChecks = 0, returnChecks = 0;
};

struct ZRecord {
    int64_t number = 0;
    std::string date, time;  // YYYYMMDD, hhmmss
    int64_t sales = 0, returns = 0, saleChecks = 0, returnChecks = 0;
    int64_t saleTurnover[9] = {}, returnTurnover[9] = {};
    int64_t saleTax[8] = {}, returnTax[8] = {};
};

struct Article {
    std::string name;  // UTF-8, at most 24 characters
    bool piece = true;
    int taxMask = 0;
    int64_t soldQty = 0, saleSum = 0;
    int64_t slot = 0;
};

struct BottomLine {
    std::string text;
    bool journal = false;
    int mode = 0;
};

struct Faults {  // one-shot, for the next reply
    bool silent = false;
    long cut = -1;
    long cutEnd = -1;      // bytes taken off the end of the reply
    unsigned delayMs = 0;  // before the reply's first byte
    bool loseEnd = false;  // the block's end byte is lost on the line
    int splitParts = 0;
    unsigned splitMs = 0;
    bool noise = false;
    int trailing = 0;
    std::vector<std::string> errors;
    std::string doneAndError;
    bool confNoEnd = false;
    // The printer starts talking without end: 1 instead of the reply,
    // 2 after it (a READY block followed by more bytes).
    int babble = 0;
    // The command these faults wait for (four letters); empty: the next one.
    std::string target;
};

struct Outcome {
    std::vector<std::string> data;    // data blocks, printer code page
    std::vector<std::string> errors;  // error words
    int printed = 0;                  // lines printed on paper
    void Fail(const char* word) { errors.push_back(word); }
};

enum class KeyClass { Query, Any, Work, XReport, ZReport, Programming };

struct Printer::Impl {
    using Handler = void (Impl::*)(const std::string& arg, Outcome& out);
    struct CommandInfo {
        const char* name;
        Handler handler;
        KeyClass key;
        bool cashier;  // needs a registered cashier
        bool prints;   // refused while the paper is out
        bool fiscal;   // SOFTREGIST instead of DONE while not fiscalized
    };

    explicit Impl(const Config& c);

    // ---- line ----
    Reply Feed(const std::string& bytes);
    Reply Answer(const std::string& body);
    Reply ReceiveTimeout();
    long MsUntilReceiveTimeout() const;
    // The reply's bytes as the pending faults shape them (noise, trailing,
    // cuts, delay, pieces); `delayMs` is the printing time before it.
    Reply Shape(std::string bytes, const Faults& f, unsigned delayMs) const;
    // Whether the pending faults are meant for the command that `text`
    // (or a block body) begins with.
    bool Targets(const std::string& text) const;
    void StartBabbling();
    std::string Babble(size_t n);
    std::string Block(std::string text) const;
    std::string Ready() const { return Block("READY"); }
    Outcome Execute(const CommandInfo& info, const std::string& text);
    std::string Control(const std::string& line);
    std::string StateJson() const;

    // ---- time ----
    std::time_t Now() const;
    std::string DateText() const;  // YYYYMMDD
    std::string TimeText() const;  // hhmmss
    std::string Stamp() const;     // "08.12.2026 01:45:12"

    // ---- paper ----
    size_t Width() const { return config.variant == "vTTs" ? 36 : 43; }
    std::string Rule(char c = '-') const { return std::string(Width(), c); }
    std::string TwoColumns(const std::string& left, const std::string& right) const;
    std::string Centered(const std::string& s) const;
    std::vector<std::string> Wrap(const std::string& s) const;
    std::vector<std::string> Header() const;
    void PrintDocument(const std::vector<std::string>& lines, Outcome& out);
    std::vector<std::string> RegistersReport(const char* title) const;
    std::string LineLetters(int taxMask) const;

    // ---- fiscal helpers ----
    int64_t Drawer() const;
    bool ShiftExpired() const;
    void OpenShift();
    void ComputeTaxes(Line& line) const;
    void ResetCheck();
    bool Save(std::string* error);

    // ---- commands ----
    void CmdCONf(const std::string&, Outcome&);
    void CmdGLCN(const std::string&, Outcome&);
    void CmdCNAL(const std::string&, Outcome&);
    void CmdCCAS(const std::string&, Outcome&);
    void CmdCFIS(const std::string&, Outcome&);
    void CmdGETD(const std::string&, Outcome&);
    void CmdARTD(const std::string&, Outcome&);
    void CmdUPAS(const std::string&, Outcome&);
    void CmdPREP(const std::string&, Outcome&);
    void CmdCANC(const std::string&, Outcome&);
    void CmdBCHN(const std::string&, Outcome&);
    void CmdFISC(const std::string&, Outcome&);
    void CmdBFIS(const std::string&, Outcome&);
    void CmdFICD(const std::string&, Outcome&);
    void CmdBFCD(const std::string&, Outcome&);
    void SaleLine(const std::string& arg, bool isReturn, bool longFormat, Outcome& out);
    void CmdSTRN(const std::string&, Outcome&);
    void CmdCOMP(const std::string&, Outcome&);
    void CmdKASS(const std::string&, Outcome&);
    void CmdCOPY(const std::string&, Outcome&);
    void CmdNULL(const std::string&, Outcome&);
    void CmdCAIO(const std::string&, Outcome&);
    void CmdTEXT(const std::string&, Outcome&);
    void CmdFINF(const std::string&, Outcome&);
    void CmdCTXT(const std::string&, Outcome&);
    void CmdDBEG(const std::string&, Outcome&);
    void CmdPRTX(const std::string&, Outcome&);
    void CmdGRBG(const std::string&, Outcome&);
    void CmdGREN(const std::string&, Outcome&);
    void CmdPCOD(const std::string&, Outcome&);
    void CmdZREP(const std::string&, Outcome&);
    void CmdNREP(const std::string&, Outcome&);
    void Cmdnrep(const std::string&, Outcome&);
    void CmdFIRN(const std::string&, Outcome&);
    void CmdFIRP(const std::string&, Outcome&);
    void PeriodicalReport(const std::string& title, const std::vector<const ZRecord*>& records,
                          Outcome& out);
    void CmdARTZ(const std::string&, Outcome&);
    void CmdDIZV(const std::string&, Outcome&);
    void CmdDISp(const std::string&, Outcome&);
    void CmdDIsp(const std::string&, Outcome&);
    void CmdCUTR(const std::string&, Outcome&);
    void CmdFEED(const std::string&, Outcome&);
    void CmdCTIM(const std::string&, Outcome&);
    void CmdARMO(const std::string&, Outcome&);
    void CmdSENC(const std::string&, Outcome&);
    void CmdHEAD(const std::string&, Outcome&);
    void CmdBOTM(const std::string&, Outcome&);
    void CmdBOTm(const std::string&, Outcome&);
    void CmdDEPT(const std::string&, Outcome&);
    void CmdTMOD(const std::string&, Outcome&);
    void CmdPPOD(const std::string&, Outcome&);
    void CmdSTFL(const std::string&, Outcome&);
    void CmdNPDI(const std::string&, Outcome&);
    void CmdNCDC(const std::string&, Outcome&);
    void CmdZDNM(const std::string&, Outcome&);
    void CmdNLPR(const std::string&, Outcome&);
    void CmdTABL(const std::string&, Outcome&);
    static const std::vector<CommandInfo>& Commands();

    // ---- state file ----
    std::string Serialize() const;
    bool Deserialize(const std::string& text, std::string* error);

    mutable std::mutex mutex;
    Config config;
    std::function<std::time_t()> clock;
    std::function<void(const std::string&)> journal;
    std::function<void(const std::string&)> trace;
    std::string statePath;

    // Line parser.
    bool inBlock = false;
    std::function<std::chrono::steady_clock::time_point()> ticks;
    std::chrono::steady_clock::time_point lastByte;
    bool overflow = false;
    std::string body;
    int wakeCount = 0;
    bool handshake = true;
    // The lost end byte was the target's: its SOFTTXTOUT takes the faults.
    bool targetEndLost = false;

    // Faults and switches.
    Faults next;
    bool paperOut = false;
    // Talking without end, and deaf meanwhile; the next junk byte.
    bool babbling = false;
    size_t babbleAt = 0;

    // Run-time state (not kept across restarts).
    std::string cashier;
    bool cashierRegistered = false;
    OpenCheck check;
    bool textDocOpen = false;
    std::vector<std::string> storedText;
    std::string display, externalDisplay;
    int64_t drawerOpenings = 0;
    int64_t commandCount = 0;

    // Kept in the state file.
    int64_t lastCheck = 0, lastDoc = 0, lastServDoc = 0, zNumber = 0;
    bool shiftOpen = false;
    int64_t shiftOpenedAt = 0;
    int64_t clockOffset = 0;
    DayRegisters day;
    std::vector<ZRecord> fiscalMemory;
    std::map<int64_t, Article> articles;
    std::vector<std::string> lastCheckPaper;
    std::string head, bottom, deptAlias, discountTotalsName, nlpr;
    BottomLine bottomLines[10];
    int tmod = 0, ppod = 0, npdi = 0, ncdc = 0, tableMode = 0, lineMode = 0;
};

}  // namespace m301sim
