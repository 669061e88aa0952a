// PrinterEngine: the one object that knows the Maria 301 MTM fiscal printer.
//
// Every operation runs on the caller's thread and returns when the printer
// has answered or the waits have run out. Texts in and out are zero-terminated
// code page 1251 bytes. Result conventions:
//   - raw command operations return ErrorNumber (0 = success);
//   - operations named after automation methods return 1 for success and 0
//     for failure, where ErrorNumber 0 or 35 counts as success;
//   - amount operations return the amount or 0;
//   - text operations return ResultBuffer (valid until the next text result),
//     a reply field, or the empty text.
// Why an operation failed stays in ErrorNumber, ErrorCode and LastErrorText.
//
// The road of every command: command text -> SendCommand (frame, write) ->
// ReplyReader (collection, data pass, "DONE" pass, error pass).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/fiscal/readings.h"
#include "engine/platform.h"

namespace brenvik {

// Error numbers the engine sets on its own, besides the port (1-7) and the
// printer's words (10-86).
enum : uint32_t {
    kErrOpenPort = 1,
    kErrQueueSizes = 2,
    kErrEventMask = 3,
    kErrGetState = 4,
    kErrSetState = 5,
    kErrTimeouts = 6,
    kErrNoConnection = 7,
    kErrNotFiscalized = 35,
    kErrTimeout = 80,
    kErrTooBigQty = 87,
    kErrInvalidTax = 88,
    kErrInvalidTime = 89,
    kErrFieldOverflow = 90,  // a value does not fit its field in a command
    kErrCommandTooLong = 91, // a command text over 251 bytes is never sent
    kErrBadConfig = 92,      // the configuration reply stayed malformed after its tries
    kErrCloseUnconfirmed = 93,  // a closing command the printer neither confirmed nor refused
    kErrEndlessReply = 94,  // a reply longer or slower than any the printer gives: the line babbles
    kErrUnconfirmed = 95,   // an operation's reply was lost and nothing could tell whether it was done
    kErrNotDone = 96,       // an operation the printer neither confirmed nor refused, and did not carry out
};

// How an operation that changes the printer's state ended: a closing (COMP),
// a report, a text document, a zero check, a copy, cash in or out. One whose
// reply is lost, cut short or garbled is reconciled before it returns: by a
// late reply, or by the counter it moves, read before and after.
// For a closing, Done and ReconciledDone zero the check's line totals; the
// others keep them, so that a later closing sends the right amounts.
enum class Outcome : uint8_t {
    None,               // no such operation sent yet
    Done,               // the printer confirmed it (a closing: with the check's sums)
    Refused,            // the printer answered with an error word: nothing was done
    ReconciledDone,     // the reply was lost or garbled; the printer shows it done
    ReconciledNotDone,  // the reply was lost or garbled; the printer shows it not done
    Unreachable,        // the reply was lost or garbled and the printer could not be asked
    Undecided,          // the printer answered, but nothing it reports could tell
};

// Sizes of the engine's fixed texts (capacity including the terminator).
constexpr size_t kErrorCodeSize = 64;
constexpr size_t kErrorTextSize = 1024;
constexpr size_t kResultBufferSize = 1024;
constexpr size_t kMaxCommandText = 251;
constexpr uint32_t kLogArchiveSize = 5000000;

// One sale or return line in format-neutral form.
struct SaleLine {
    const char* name = "";
    int32_t sum = 0;
    int32_t price = 0;
    int32_t quantity = 0;
    int32_t pieceFlag = 1;  // 1 piece goods, 0 weighed goods
    int32_t lineType = 0;
    int32_t taxes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    int32_t article = 0;
    const char* discountName = "";
    int32_t discount = 0;  // negative discount, positive surcharge
};

class PrinterEngine {
public:
    explicit PrinterEngine(const EnginePlatform& platform);
    virtual ~PrinterEngine();
    PrinterEngine(const PrinterEngine&) = delete;
    PrinterEngine& operator=(const PrinterEngine&) = delete;

    // ---- Connection ------------------------------------------------------
    int32_t Init(int32_t portNumber, const char* name, const char* password, int32_t showStatus,
                 const char* callerApplicationName);
    int32_t InitEx(int32_t portNumber, const char* name, const char* password, int32_t showStatus,
                   const char* callerApplicationName, const char* remoteHostName);
    // Native POSIX callers: the same as Init on a device path such as /dev/ttyUSB0.
    int32_t InitDevice(const char* devicePath, const char* name, const char* password);
    int32_t Done();
    int32_t LockPrinter(int32_t timeoutMs);
    int32_t UnlockPrinter();

    uint32_t OpenPort(int32_t portNumber, int32_t baudRate);
    uint32_t OpenPortNamed(const char* portName, int32_t portNumberForLog, int32_t baudRate);
    int32_t ClosePort();
    int32_t Handshake();

    // ---- The command road ------------------------------------------------
    // Frames `text` (printer code page) as one block, writes it and runs the
    // ReplyReader. A text over 251 bytes is refused with error 91.
    void SendCommand(const char* text);
    static void ToPrinterCodePage(char* text);
    static void FromPrinterCodePage(char* text);

    // ---- Diagnostics -----------------------------------------------------
    uint32_t SetError(uint32_t number);
    // SetError, then the error's own word (if it has one) in ErrorCode: for
    // what the engine finds wrong itself, before or instead of a reply.
    uint32_t RaiseError(uint32_t number);
    static const char* ErrorMessage(uint32_t number);
    void WriteLog(const char* format, ...)
        __attribute__((format(printf, 2, 3)))  // gcc and clang check our formats
        ;
    void WriteLogV(const char* format, va_list args);
    // Writes the lines an exchange has kept back, in one append.
    void FlushLog();
    void OpenLog();
    // Past 5000000 bytes the log is moved aside to an archive and begun
    // anew: when it is opened, and during a session at the next exchange.
    void ArchiveLogIfLarge();
    const char* GetLastErrorMessage();  // read-once
    const char* GetLastErrorCode();     // read-once
    int32_t GetShowErrorMessages() const { return ShowErrorMessages ? 1 : 0; }
    void SetShowErrorMessages(int32_t show) { ShowErrorMessages = show != 0 ? 1 : 0; }
    bool Succeeded() const { return ErrorNumber == 0 || ErrorNumber == kErrNotFiscalized; }
    // How the last closing command ended; see Outcome.
    Outcome LastCloseOutcome() const { return lastCloseOutcome_; }
    // How the last operation that changes the printer's state ended, the
    // closings among them; see Outcome.
    Outcome LastOutcome() const { return lastOutcome_; }
    // The number of the last check the printer closed, as LastCheckNumber
    // holds it (from the start-up reads, every GLCN and every COMP reply);
    // 0 while it is unknown. The C API's brenvik_last_check_number().
    int32_t LastClosedCheck() const;
    // The same, asked of the printer first when the engine does not know it
    // (after a zero check or a raw command, say): what a check about to be
    // printed is measured against.
    int32_t KnownLastCheck();
    int32_t BoolResult() const { return Succeeded() ? 1 : 0; }
    // Why the port would not open, in the system's terms, after error 1;
    // kind None otherwise.
    const LineFailure& PortFailure() const { return portFailure_; }

    // ---- Reads used by the start-up sequence and the queries ---------------
    uint32_t ReadPrinterConfig();    // CONf, up to three tries
    uint32_t ReadDocumentNumbers();  // GLCN
    uint32_t ReadTaxRates();         // CNAL, up to three tries
    uint32_t ReadArticle(int32_t article);  // ARTD

    // ---- Typed readings (engine/fiscal/readings.h) ------------------------
    // Each asks the printer and fills `out` on success; false on failure
    // (ErrorNumber says why), `out` then left as it was. A printer that is
    // not fiscalized yet counts as success, as everywhere.
    bool ReadConfigValues(ConfigValues& out);   // CONf
    bool ReadDocuments(DocumentNumbers& out);   // GLCN
    bool ReadCash(CashRegisters& out);          // CCAS
    bool ReadDay(DayRegisters& out);            // CFIS
    bool ReadTaxGroups(TaxGroup (&out)[8]);     // CNAL
    bool ReadArticleRecord(int32_t article, ArticleRecord& out);  // ARTD
    bool ReadClock(PrinterClock& out);          // the clock query
    // From what the engine keeps, no exchange: the last closing's sums, and
    // the clock as the last configuration or clock reply gave it.
    CheckTotals LastCheckTotals() const;
    PrinterClock KnownClock() const;

    // ---- Single commands -------------------------------------------------
    int32_t SetCheckMessagesMode(int32_t mode);
    int32_t LongName(const char* name);
    int32_t FreeTextLine(int32_t placeBeforeFiscalPart, int32_t printOnJornal, int32_t doubleStrike,
                         const char* text);
    int32_t ClearFreeTextLines();
    int32_t SetOnSaleTaxesPrintMode(int32_t mode);
    int32_t SetLinePrintingOn();
    int32_t SetCheckBottomLineEx(int32_t lineIndex, int32_t printOnJornal, int32_t printMode,
                                 const char* lineText);
    int32_t SetDiscountPrintMode(int32_t printMode);
    int32_t SetContinousPaperPrintMode(int32_t continousPaper);
    int32_t SetCurrentCurrency(const char* currencyName);
    int32_t OpenGoodsGroup(const char* groupName);
    int32_t CloseGoodsGroup(const char* discountTotalsName, const char* upcountTotalsName);
    int32_t SetDiscountUpcountTotalsName(const char* discountTotalsName, const char* upcountTotalsName);
    int32_t SetDoubledTaxCalcMode(int32_t tax1Index, int32_t tax2Index);
    int32_t PrintBarcode(int32_t barcodeType, int32_t placeBelowFiscalPart, int32_t printOnJornal,
                         const char* barcode);
    int32_t SetArticleMode(int32_t articleMode);
    int32_t SetTableMode(int32_t tableMode);
    int32_t SetDeptAlias(const char* alias);
    int32_t SetCheckHeadLine(const char* text);
    int32_t SetCheckBottomLine(const char* text);
    int32_t SetTaxesCalcMode(int32_t saleTaxesOnTotal);    // no effect, 1
    int32_t SetPrintingDoubleWidth(int32_t doubleWidth);   // not supported, 0
    const char* GetArticleInfo(int32_t article);
    const char* GetTaxesInfo();

    // ---- Sale and return lines -------------------------------------------
    uint32_t RegistrUniversal(const SaleLine& line);
    uint32_t ReturnUniversal(const SaleLine& line);
    // Four characters for articles 0 to 20999; false and "" beyond them.
    static bool EncodeShortArticle(int32_t article, char out[5]);
    static double RoundToDecimals(double x, int decimals);
    static int32_t RoundToInteger(double x);
    // Line sum in kopecks; quantity 0 counts one piece or one kilogram. A
    // product beyond 32 bits saturates, so the line encoder refuses it.
    static int32_t LineSum(int32_t qty, int32_t price, bool weighed);
    bool TaxIsProgrammed(int32_t index1, int32_t index2) const;

    // ---- Check opening, closing, cashier and cash commands ---------------
    uint32_t OpenCheckCommand(const char* department);
    uint32_t CloseCheckCommand(uint32_t a1, uint32_t a2, uint32_t a3, uint32_t a4, uint32_t a5,
                               uint32_t a6);
    uint32_t RegisterCashier(const char* password, const char* name);
    uint32_t SetReturnCheckNumberCommand(const char* number);
    uint32_t MoveCashCommand(int32_t amount);

    // ---- Check transaction -----------------------------------------------
    int32_t OpenCheck(const char* department);
    int32_t OpenReturnCheck(const char* department);
    int32_t SetCurrentCheckDirection(int32_t direction);
    int32_t FiscalLine(const char* name, int32_t qty, int32_t price, int32_t goodsDividual,
                       int32_t tax1Index, int32_t tax2Index, int32_t article);
    int32_t FiscalLineEx(const char* name, int32_t qty, int32_t price, int32_t goodsDividual,
                         int32_t tax1Index, int32_t tax2Index, int32_t article,
                         int32_t discountDirection, const char* discountName, int32_t discountValue);
    int32_t Storn();
    int32_t CloseCheck();
    int32_t CloseCheckEx(int32_t cash, int32_t payCheck, int32_t credit, int32_t packing);
    int32_t AbortCheck();
    int32_t GetCheckSum();
    int32_t GetCheckOnSaleTaxes();
    int32_t GetCheckReturnSum();
    int32_t GetCheckReturnOnSaleTaxes();
    int32_t GetLastLineTaxes();
    const char* GetCheckResult();
    int32_t SetReturnCheckNumber(int32_t checkNumber);
    int32_t SetReturnCheckNumberStr(const char* checkNumbers);
    int32_t CheckCopy();

    // ---- Information documents -------------------------------------------
    const char* GetPrinterSerialNumber();
    const char* GetPrinterConfigXML(int32_t refreshFromPrinter);
    const char* GetPrinterConfig();
    int32_t GetPrinterKeyPosition();
    const char* GetPrinterTime();
    const char* CreateTaxesForConfigXML();
    const char* GetTaxesInfoXML();
    const char* GetArticleInfoXML(int32_t article);
    const char* GetCashInfo();
    const char* GetFiscalInfo();
    const char* GetDocumentsInfo();
    const char* GetCashInfoXML();
    const char* GetFiscalInfoXML();
    const char* GetDocumentsInfoXML();
    const char* GetCheckResultXML();

    // ---- Reports, clock and service --------------------------------------
    int32_t OpenTextDocument();
    int32_t CloseTextDocument(int32_t printOnJornal);
    int32_t XReport();
    int32_t XReportAsync();
    int32_t ZReport();
    int32_t ZReportAsync();
    int32_t PrintZeroZReport();
    int32_t ArticleReport();
    int32_t DiscountReport();
    int32_t PeriodicalFiscalReport(int32_t firstZReport, int32_t lastZReport);
    int32_t PeriodicalFiscalReportDate(const char* dateFrom, const char* dateTo);
    int32_t Feed(int32_t linesToFeed);
    int32_t OpenCashBox();
    int32_t CutAndBeep(int32_t cutterOn, int32_t beepOn, int32_t partialCutOn);
    int32_t SetInternalTime(int32_t hours, int32_t minutes, int32_t seconds);
    int32_t NullCheck();
    int32_t MoveCash(int32_t moveDirection, int32_t cashSum);
    int32_t PutToDisplay(const char* line1, const char* line2);
    int32_t PutToExternalDisplay(const char* lineText, int32_t clearBeforePut);

    // ---- State (field names as the printer's documentation has them) -------
    int32_t CheckSumm = 0;
    int32_t CheckReturnSumm = 0;
    uint32_t ErrorNumber = 0;
    int32_t MaxQuantity = 99999;

    // Document numbers (GLCN reply).
    char LastCheckNumber[11] = {};
    char LastDocNumber[11] = {};
    char LastServDocNumber[11] = {};
    char ArticleMode[2] = {};
    char FiscalReportMade[2] = {};
    char LastZReportNumber[5] = {};
    char DocumentNumbersText[38] = {};

    // Configuration values (CONf reply).
    char SerialNumber[11] = {};
    char FiscalNumber[11] = {};
    char Owner[37] = {};
    char PrinterDate[9] = {};
    char PrinterTime[7] = {};
    char KeyPosition[2] = {};
    char CheckNumber[13] = {};
    char PrinterVariant[5] = {};
    char FirmwareDate[9] = {};
    char CurrencyDate[9] = {};
    char DecPointPosition[2] = {};
    char CurrencyName[4] = {};

    // Further reply data areas.
    char TaxRateTable[8][15] = {};
    char CheckResultText[91] = {};
    char ArticleInfoText[67] = {};
    char CashInfoText[89] = {};
    char FiscalInfoText[241] = {};

    char LastErrorText[kErrorTextSize] = {};
    char LastLineTaxes[11] = {};
    int32_t CheckOnSaleTaxes = 0;
    int32_t CheckReturnOnSaleTaxes = 0;
    char ResultBuffer[kResultBufferSize] = {};
    uint8_t ShowErrorMessages = 1;
    int32_t LastLineSum = 0;
    uint8_t ReturnLineMode = 0;
    std::string sCONf;
    std::string TaxReplyText;
    std::vector<uint8_t> TxQueue;
    std::vector<uint8_t> RxQueue;
    size_t QueueCursor = 0;
    uint8_t LogEnabled = 0;
    uint8_t Connected = 0;
    char LogFileName[128] = {};
    int32_t CNALReplyBad = 0;
    int32_t CONfReplyBad = 0;
    char KernelVersion[128] = {};
    uint8_t T3PlusFirmware = 0;
    uint8_t LongArticles = 0;
    uint8_t CheckDirection = 0;
    uint32_t ReadTimeout = 3000;
    // How long the printer may stay silent while a reply is awaited.
    uint32_t ReplySilenceMs = kReplySilenceMs;
    // How long connecting may take in all, ms; 0 (the default) keeps the
    // whole wake-up: two tries, each silence followed by a DTR pulse. Within
    // a budget, a try or a pulse that would outlast it is left out.
    uint32_t ConnectBudgetMs = 0;
    // While set, the bytes of every reply stay in LastReply after it is
    // interpreted (for tools that show the printer's answer as it came).
    uint8_t KeepLastReply = 0;
    std::vector<uint8_t> LastReply;
    char ErrorCode[kErrorCodeSize] = {};
    // Firmware other than T3+ keeps no check number we can read: read the
    // day's fiscal registers (CFIS) before every closing command, so that a
    // closing whose reply is lost can still be told closed or open. One
    // more exchange per check; 0 saves it and leaves such closings undecided.
    uint8_t DayRegistersBeforeClose = 1;
    // How many archives of the debug log (DDMMYYYYhhmmss.log) to keep in its
    // directory, the newest; 0 keeps them all.
    uint32_t LogArchivesKept = 0;

    // Waits of the link, in milliseconds.
    static constexpr uint32_t kHandshakeSilenceMs = 1000;
    static constexpr uint32_t kDtrPulseMs = 3000;
    static constexpr uint32_t kReplySilenceMs = 6000;
    static constexpr uint32_t kLogFlushAfterMs = 20;  // see WaitForPort
    // No reply of the printer comes near these: a line that sends more, or
    // keeps sending for longer, babbles and is not listened to any further.
    static constexpr size_t kMaxReplyBytes = 4096;
    static constexpr uint32_t kLongestReplyMs = 60000;
    static constexpr uint32_t kLongestHandshakeMs = 5000;
    // After a reply that did not come in time, how long a reply that ends
    // is watched for the next one right behind it.
    static constexpr uint32_t kLateReplyGraceMs = 100;

protected:
    // ReplyReader: collection, then interpretation (data, DONE, errors).
    void ReplyReader();
    // Reads and logs what waits in the input before a command is written.
    void DiscardStaleInput(uint32_t waiting);
    void CollectReply();
    // How a collection ended: with the READY block, after silence, after a
    // read that did not complete (with or without the READY block), or
    // because the line would not stop.
    enum class Collected : uint8_t { Answer, Silence, Stalled, StalledAnswer, Overrun };
    // Reads into RxQueue until the end of an answer or silenceMs without a
    // byte, bounded by kMaxReplyBytes and the longest a reply takes.
    Collected Collect(uint32_t silenceMs);
    // A reply of an earlier command that stopped half-way is still owed:
    // its rest is awaited (bounded by the reply silence) and dropped before
    // the next command is written, so no command takes another's reply.
    void SettleOwedReply();
    // The late reply of the command just sent, awaited for the reply
    // silence and interpreted like its own; true when it came whole.
    bool AwaitLateReply();
    // Logs what RxQueue holds as discarded and empties it.
    void DropReceived();
    void InterpretReply();
    void DataPass();
    bool DonePass();
    void ErrorPass();
    bool EndOfAnswer();  // READY followed by exactly two bytes
    void StoreErrorCode(const char* word);
    uint32_t StartUpSequence();
    int32_t InitResult(uint32_t opened, uint32_t registered);
    // The command pattern for a command without arguments: nothing at all
    // while the link is down, else the log line and the text; the Boolean
    // result.
    int32_t SimpleCommand(const char* logLine, const char* text);
    // WaitEvent on the line, for the handshake and the reply collection.
    // Log lines kept back for the exchange go to the file once the printer
    // has kept us waiting kLogFlushAfterMs, so a program killed while it
    // hangs still shows what it was waiting for. Failed only when waits keep
    // failing, which callers take as silence.
    WaitStatus WaitForPort(uint32_t timeoutMs, uint32_t& events);
    // Copies `text` into ResultBuffer (bounded) and returns it.
    const char* ToResult(const char* text);

    // Sale-line encoders: short FISC/BFIS, long FICD/BFCD (ReturnLineMode
    // selects the return form). A value that does not fit its field is
    // refused with error 90 before anything is sent.
    uint32_t EncodeShortLine(const SaleLine& line);
    uint32_t EncodeLongLine(const SaleLine& line, int32_t taxIndex1, int32_t taxIndex2);
    uint32_t SendSaleLine(char* text, const SaleLine& line);
    // KASS after COMP or CAIO: the drawer never masks the outcome before it.
    void OpenDrawerKeepingOutcome();
    void DrawerAfter(Outcome outcome);
    // Reconciliation (reconciliation.cpp). What an operation that changes
    // the printer's state moves, so that an uncertain outcome can be told:
    enum class Moves : uint8_t {
        Nothing,      // no counter the printer reports (a copy of a check)
        CheckNumber,  // the last check number (a zero check; T3+ firmware)
        Documents,    // the document numbers (reports, text documents; T3+ firmware)
        ZReport,      // the Z-report number (T3+), else the day's and the cash registers
        Cash,         // the cash registers (cash in or out)
        Closing,      // the last check number (T3+), else the day's registers
    };
    // The counters read before (or after) such an operation; a flag is
    // set when its block came.
    struct Counters {
        bool documents = false;  // GLCN
        char lastCheck[11] = {}, lastDoc[11] = {}, lastServDoc[11] = {}, zNumber[5] = {};
        bool cash = false;       // CCAS
        char cashIn[12] = {}, cashOut[12] = {};
        bool day = false;        // CFIS
        char daySales[13] = {}, dayReturns[13] = {};
        bool sums = false;       // a late COMP reply came in front of a read's own
    };
    struct Operation {
        Moves moves = Moves::Nothing;
        int64_t amount = 0;  // cash moved, or the closing's sales and returns
        Counters before;
    };
    // Reads what `op` moves; `beforeSending` may use what the engine
    // already knows (the last check number on T3+ firmware).
    Counters ReadCounters(const Operation& op, bool beforeSending);
    // Sends the command of `op` and decides its outcome; ErrorNumber is
    // then what the caller reports (0 when done, 95 when nobody can tell).
    Outcome SendReconciled(Operation& op, const char* text);
    Outcome Judge(Operation& op);
    Outcome Reconcile(Operation& op);
    Outcome Compare(const Operation& op, const Counters& after);
    // The common form: log line, counters, command, outcome, Boolean result.
    int32_t ReconciledCommand(const char* logLine, const char* text, Moves moves);

    EnginePlatform platform_;
    bool dataReplySwitch_ = false;
    // What the last reply held: complete data blocks by kind, and whether
    // its collection ended with the READY block rather than a time-out.
    enum : uint32_t { kBlockConf = 1, kBlockComp = 2, kBlockGlcn = 4, kBlockCfis = 8, kBlockCcas = 16 };
    uint32_t blocksSeen_ = 0;
    bool replyComplete_ = false;
    bool doneSeen_ = false;       // the last reply carried DONE
    size_t lastReplyBytes_ = 0;   // bytes the last collection received
    bool owedReply_ = false;      // see SettleOwedReply
    std::vector<uint8_t> owedHead_;  // what came of the owed reply
    bool lateReplyPossible_ = false;  // the last collection ended without its answer
    // The end test resumes where it stopped: a reply read in many small
    // pieces is searched once, not once per piece.
    size_t readySearchFrom_ = 0;
    size_t readyAt_ = SIZE_MAX;
    Outcome lastCloseOutcome_ = Outcome::None;
    Outcome lastOutcome_ = Outcome::None;
    LineFailure portFailure_;
    uint64_t connectStarted_ = 0;
    // What is left of ConnectBudgetMs; UINT32_MAX without a budget.
    uint32_t ConnectTimeLeft();
    // The last CONf reply stayed malformed after its tries: the
    // configuration documents fail until a good one comes.
    bool configBad_ = false;
    // The last CONf exchange brought a good configuration block.
    bool configRead_ = false;
    // The last line the printer took (or may have taken: its reply was
    // lost), which is the one its STRN cancels: a line refused since, by us
    // or by the printer, does not replace it. Storn takes back its sum with
    // its discount or surcharge, and its taxes, on its own side.
    struct AcceptedLine {
        int32_t sum = 0;
        int32_t discount = 0;
        int32_t taxes = 0;
        bool returnSide = false;
        bool valid = false;
    };
    AcceptedLine lastAccepted_;
    // Debug log lines of one SendCommand exchange, kept back so they leave
    // in few appends; always written before the exchange returns or a
    // message box shows (debug_log.cpp).
    // Bytes in the log file as far as we know (our appends since it was
    // opened), and the size at which it is archived next.
    uint64_t logSize_ = 0;
    uint64_t logArchiveAt_ = kLogArchiveSize;
    void ArchiveLog(const std::string& path);
    void PruneLogArchives();
    // Bytes of the next command text (from its start) that the log shows
    // as ****: the cashier's password.
    size_t secretFrom_ = 0;
    size_t secretLength_ = 0;
    char logPending_[4096] = {};
    size_t logPendingSize_ = 0;
    int logBatchDepth_ = 0;
    // Keeps the log's lines back while it lives; the outermost one writes
    // them in one append when it ends (a message box flushes them first).
    class LogBatch {
    public:
        explicit LogBatch(PrinterEngine& e) : engine_(e) { ++engine_.logBatchDepth_; }
        ~LogBatch() {
            if (--engine_.logBatchDepth_ == 0) engine_.FlushLog();
        }
        LogBatch(const LogBatch&) = delete;
        LogBatch& operator=(const LogBatch&) = delete;

    private:
        PrinterEngine& engine_;
    };
};

// Bounded copy into a fixed text: at most size-1 bytes, always terminated.
void CopyText(char* dest, size_t size, const char* src);
// The leading decimal integer of a text: blanks skipped, an optional sign,
// digits up to the first other character; 0 when there is none. Clamped to
// 32 bits, since a ten-digit field can exceed them.
int32_t LeadingInteger(const char* text);
// a + b as the printer's 32-bit registers add: wrapping, never overflowing.
int32_t WrapAdd(int32_t a, int64_t b);
// The constant empty text that failed text operations return.
extern const char kEmptyText[];

}  // namespace brenvik
