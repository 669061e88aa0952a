// Cashier registration (UPAS): password first, then the name.
#include <cstdio>
#include <cstring>

#include "engine/printer_engine.h"

namespace brenvik {

uint32_t PrinterEngine::RegisterCashier(const char* password, const char* name) {
    if (!Connected) return ErrorNumber;
    if (password == nullptr) password = "";
    if (name == nullptr) name = "";
    // The cashier's password never reaches the log.
    WriteLog("F:UPAS(%s, %s) Регистрация кассира", "****", name);
    char text[256] = {};
    // The printer wants something in the name's place: a blank for no name.
    std::snprintf(text, sizeof text, "UPAS%s%s", password, name[0] ? name : " ");
    ToPrinterCodePage(text);
    secretFrom_ = 4;
    secretLength_ = std::strlen(password) < sizeof text - 4 ? std::strlen(password) : sizeof text - 4;
    SendCommand(text);
    return ErrorNumber;
}

}  // namespace brenvik
