// Cashier registration (UPAS): password first, then the name.
#include <cstdio>

#include "engine/printer_engine.h"

namespace brenvik {

uint32_t PrinterEngine::RegisterCashier(const char* password, const char* name) {
    if (!Connected) return ErrorNumber;
    if (password == nullptr) password = "";
    if (name == nullptr) name = "";
    WriteLog("F:UPAS(%s, %s) Регистрация кассира", password, name);
    char text[256] = {};
    // The printer wants something in the name's place: a blank for no name.
    std::snprintf(text, sizeof text, "UPAS%s%s", password, name[0] ? name : " ");
    ToPrinterCodePage(text);
    SendCommand(text);
    return ErrorNumber;
}

}  // namespace brenvik
