#include "engine/fiscal/fiscal_helpers.h"

namespace brenvik::fiscal {

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

const char* KeyLetter(char key) {
    switch (key) {
        case '1': return "R";
        case '2': return "X";
        case '4': return "Z";
        case '8': return "P";
        default: return "O";
    }
}

int32_t KeyNumber(char key) {
    switch (key) {
        case '1': return 1;
        case '2': return 2;
        case '4': return 3;
        case '8': return 4;
        default: return 0;
    }
}

}  // namespace brenvik::fiscal
