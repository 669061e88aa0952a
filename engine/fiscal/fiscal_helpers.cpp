#include "engine/fiscal/fiscal_helpers.h"

namespace brenvik::fiscal {

int32_t LeadingInteger(const char* text) {
    const char* p = OrEmpty(text);
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

int32_t SimpleCommand(PrinterEngine& engine, const char* logLine, const char* text) {
    if (engine.Connected) {
        engine.WriteLog("%s", logLine);
        engine.SendCommand(text);
    }
    return engine.BoolResult();
}

std::string XmlEscape(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\t': out += "&#9;"; break;
            case '\n': out += "&#10;"; break;
            case '\r': out += "&#13;"; break;
            default:
                out += (static_cast<unsigned char>(c) < 0x20) ? ' ' : c;
                break;
        }
    }
    return out;
}

}  // namespace brenvik::fiscal
