// The reads of the start-up sequence: configuration, document numbers and
// tax rates, with the retries for malformed replies.
#include "engine/printer_engine.h"

namespace brenvik {

namespace {
constexpr int kTries = 3;
}

uint32_t PrinterEngine::ReadPrinterConfig() {
    if (!Connected) return ErrorNumber;
    WriteLog("F:CONf() Чтение параметров регистратора");
    bool bad = false;
    for (int i = 0; i < kTries; ++i) {
        SendCommand("CONf");
        WriteLog("Получен номер чека=%s", CheckNumber);
        // A reply the printer called done but without a whole configuration
        // block is as bad as one of the wrong length.
        bad = CONfReplyBad != 0 || (Succeeded() && !(blocksSeen_ & kBlockConf));
        if (!bad) break;
        WriteLog("E:CONf() Ошибка длинны пакета при чтении параметров");
    }
    // Refused, never answered or answered in part: either way we are
    // without the printer's configuration.
    configRead_ = !bad && (blocksSeen_ & kBlockConf) != 0;
    if (!bad) {
        configBad_ = false;
    } else if (Succeeded() || CONfReplyBad != 0) {
        // Its fields cannot be trusted: the configuration documents fail
        // until a good reply comes.
        configBad_ = true;
        if (Succeeded()) RaiseError(kErrBadConfig);
    }
    return ErrorNumber;
}

uint32_t PrinterEngine::ReadDocumentNumbers() {
    if (!Connected) return ErrorNumber;
    WriteLog("F:GLCN() Запрос номеров чеков, документов, отчетов");
    SendCommand("GLCN");
    return ErrorNumber;
}

uint32_t PrinterEngine::ReadTaxRates() {
    if (!Connected) return ErrorNumber;
    WriteLog("F:CNAL() Чтение налоговых ставок");
    for (int i = 0; i < kTries; ++i) {
        SendCommand("CNAL");
        if (CNALReplyBad == 0) break;
        WriteLog("E:CNAL() Ошибка чтения налоговых ставок");
    }
    return ErrorNumber;
}

}  // namespace brenvik
