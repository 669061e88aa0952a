// The engine object: construction, Init/Done and the start-up sequence.
#include "engine/printer_engine.h"

#include <cstdlib>
#include <cstring>

namespace brenvik {

const char kEmptyText[] = "";

void CopyText(char* dest, size_t size, const char* src) {
    if (size == 0) return;
    if (src == nullptr) src = "";
    size_t n = 0;
    while (n + 1 < size && src[n] != '\0') ++n;
    std::memmove(dest, src, n);
    dest[n] = '\0';
}

int32_t LeadingInteger(const char* text) {
    const char* p = text != nullptr ? text : "";
    while (*p == ' ' || *p == '\t') ++p;
    bool negative = false;
    if (*p == '-' || *p == '+') negative = *p++ == '-';
    int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > INT32_MAX) {
            value = static_cast<int64_t>(INT32_MAX) + 1;
            break;
        }
    }
    if (negative) value = -value;
    if (value > INT32_MAX) value = INT32_MAX;
    return static_cast<int32_t>(value);
}

int32_t WrapAdd(int32_t a, int64_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

PrinterEngine::PrinterEngine(const EnginePlatform& platform) : platform_(platform) {
    CopyText(KernelVersion, sizeof KernelVersion, "Версия ядра 7.0 от 14.06.2010");
    CopyText(LogFileName, sizeof LogFileName, "Pelmora.log");
    OpenLog();
}

// The port and the log stay open until the process ends, as a module
// unloaded mid-session must not pull DTR from under the printer.
PrinterEngine::~PrinterEngine() = default;

namespace {

}  // namespace

// Init succeeds when both the port and the cashier came out as 0 or 35 (a
// printer not yet fiscalized works normally). A failure of the start-up
// that the cashier's registration went past stays the caller's to read.
int32_t PrinterEngine::InitResult(uint32_t opened, uint32_t registered) {
    const bool openedOk = opened == 0 || opened == kErrNotFiscalized;
    const bool registeredOk = registered == 0 || registered == kErrNotFiscalized;
    if (!openedOk && registeredOk && opened == kErrBadConfig) {
        ErrorNumber = opened;
        StoreErrorCode("BADCONFIG");
    }
    return openedOk && registeredOk ? 1 : 0;
}

const char* PrinterEngine::ToResult(const char* text) {
    CopyText(ResultBuffer, sizeof ResultBuffer, text);
    return ResultBuffer;
}

int32_t PrinterEngine::Init(int32_t portNumber, const char* name, const char* password,
                            int32_t showStatus, const char* callerApplicationName) {
    (void)showStatus;
    (void)callerApplicationName;
    ClosePort();
    const uint32_t opened = OpenPort(portNumber, 115200);
    return InitResult(opened, RegisterCashier(password, name));
}

int32_t PrinterEngine::InitEx(int32_t portNumber, const char* name, const char* password,
                              int32_t showStatus, const char* callerApplicationName,
                              const char* remoteHostName) {
    (void)remoteHostName;
    return Init(portNumber, name, password, showStatus, callerApplicationName);
}

int32_t PrinterEngine::InitDevice(const char* devicePath, const char* name, const char* password) {
    ClosePort();
    const uint32_t opened = OpenPortNamed(devicePath, -1, 115200);
    return InitResult(opened, RegisterCashier(password, name));
}

int32_t PrinterEngine::Done() { return ClosePort(); }

int32_t PrinterEngine::LockPrinter(int32_t timeoutMs) {
    (void)timeoutMs;
    return 1;
}

int32_t PrinterEngine::UnlockPrinter() { return 1; }

uint32_t PrinterEngine::StartUpSequence() {
    connectStarted_ = platform_.line->NowMs();
    Handshake();
    if (!Connected && ConnectTimeLeft() > 0) Handshake();
    if (!Connected) {
        // The reply time-out's word (80) on purpose: programs test this word
        // after a failed Init; the number and the message tell the two apart.
        StoreErrorCode("CONNTIMEOUT");
        SetError(kErrNoConnection);
        return kErrNoConnection;
    }
    ReadPrinterConfig();
    const bool configured = configRead_;
    ReadDocumentNumbers();
    if (std::strcmp(FirmwareDate, "20050208") == 0) {
        WriteLog("Версия фискального регистратора Т3+");
        // The variant comes from the printer: never let it act as a format.
        WriteLog("%s", PrinterVariant);
        T3PlusFirmware = 1;
        ReadDocumentNumbers();
        if (std::strtol(ArticleMode, nullptr, 10) == 2) {
            LongArticles = 1;
            MaxQuantity = 999999;
        }
    } else {
        WriteLog("Версия фискального регистратора НЕ Т3+ (от 20050208)");
        T3PlusFirmware = 0;
        MaxQuantity = 99999;
    }
    ReadTaxRates();
    // The other reads' failures pass as before; a configuration that could
    // not be read does not, since everything after Init would rest on it.
    return configured ? 0u : static_cast<uint32_t>(kErrBadConfig);
}

}  // namespace brenvik
