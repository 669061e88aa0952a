#include "service/log_line.h"

namespace brenvikd {

std::string LogValue(const std::string& value) {
    std::string clean;
    bool quote = value.empty();
    for (char c : value) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) c = '?';
        if (c == ' ' || c == '"' || c == '=') quote = true;
        if (c == '"' || c == '\\') clean += '\\';
        clean += c;
    }
    return quote ? '"' + clean + '"' : clean;
}

}  // namespace brenvikd
