// SetError: the one place where an error is recorded, logged and shown.
#include <cstdio>

#include "engine/diagnostics/error_table.h"
#include "engine/printer_engine.h"

namespace brenvik {

const char* PrinterEngine::ErrorMessage(uint32_t number) {
    const ErrorEntry* e = FindError(number);
    return e ? e->message : "Неизвестная ошибка";
}

uint32_t PrinterEngine::SetError(uint32_t number) {
    const char* caption = "Korvell Quillon для Мария 301МТМ";
    const char* message = ErrorMessage(number);
    CopyText(LastErrorText, sizeof LastErrorText, message);
    // A printer that is not fiscalized yet works normally: no box for it.
    if (ShowErrorMessages == 1 && number != kErrNotFiscalized && platform_.dialog) {
        char text[256] = {};
        std::snprintf(text, sizeof text, "%s\nКод ошибки: %i", message, static_cast<int>(number));
        FlushLog();  // whoever reads the box may look at the log: all of it is there
        platform_.dialog->Show(text, caption, kMessageIconInformation);
    }
    WriteLog("Ошибка %i: %s", static_cast<int>(number), message);
    ErrorNumber = number;
    return number;
}

uint32_t PrinterEngine::RaiseError(uint32_t number) {
    SetError(number);
    const ErrorEntry* e = FindError(number);
    if (e != nullptr && e->word != nullptr) StoreErrorCode(e->word);
    return number;
}

const char* PrinterEngine::GetLastErrorMessage() {
    WriteLog("F:LastErrorMessage=%s", LastErrorText);
    CopyText(ResultBuffer, sizeof ResultBuffer, LastErrorText);
    LastErrorText[0] = '\0';
    return ResultBuffer;
}

const char* PrinterEngine::GetLastErrorCode() {
    WriteLog("F:LastErrorCode=%s", ErrorCode);
    CopyText(ResultBuffer, sizeof ResultBuffer, ErrorCode);
    ErrorCode[0] = '\0';
    return ResultBuffer;
}

}  // namespace brenvik
