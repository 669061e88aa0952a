#include "testutil/panel_text.h"

#include <cstring>

namespace brenvik {
namespace testutil {
namespace {

bool AllDigits(const char* text, size_t length)
{
    if (text == nullptr || std::strlen(text) != length)
        return false;
    for (size_t i = 0; i < length; ++i)
        if (text[i] < '0' || text[i] > '9')
            return false;
    return true;
}

std::string Trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

bool ParseAmount(const std::string& text, int32_t& kopecks)
{
    const std::string t = Trimmed(text);
    int64_t whole = 0;
    int decimals = -1;  // -1: no separator yet
    int64_t fraction = 0;
    size_t digits = 0;
    for (char c : t) {
        if (c == '.' || c == ',') {
            if (decimals >= 0 || digits == 0)
                return false;
            decimals = 0;
        } else if (c >= '0' && c <= '9') {
            if (decimals < 0) {
                whole = whole * 10 + (c - '0');
                if (whole > INT32_MAX)
                    return false;
                ++digits;
            } else if (++decimals > 2) {
                return false;
            } else {
                fraction = fraction * 10 + (c - '0');
            }
        } else {
            return false;
        }
    }
    if (digits == 0 || decimals == 0)
        return false;
    if (decimals == 1)
        fraction *= 10;
    const int64_t total = whole * 100 + fraction;
    if (total > INT32_MAX)
        return false;
    kopecks = static_cast<int32_t>(total);
    return true;
}

std::string FormatAmount(int64_t kopecks)
{
    const bool negative = kopecks < 0;
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(kopecks) : kopecks;
    std::string cents = std::to_string(magnitude % 100);
    if (cents.size() < 2)
        cents.insert(0, "0");
    return (negative ? "-" : "") + std::to_string(magnitude / 100) + "." + cents;
}

int ParseComPort(const std::string& text)
{
    std::string t = Trimmed(text);
    if (t.compare(0, 4, "\\\\.\\") == 0)
        t.erase(0, 4);
    if (t.size() >= 3 && (t[0] == 'C' || t[0] == 'c') && (t[1] == 'O' || t[1] == 'o') &&
        (t[2] == 'M' || t[2] == 'm'))
        t.erase(0, 3);
    if (t.empty() || t.size() > 3)
        return 0;
    int number = 0;
    for (char c : t) {
        if (c < '0' || c > '9')
            return 0;
        number = number * 10 + (c - '0');
    }
    return number;
}

std::string PrinterClockText(const char* date8, const char* time6)
{
    if (!AllDigits(date8, 8) || !AllDigits(time6, 6))
        return "";
    const std::string d(date8), t(time6);
    return d.substr(6, 2) + "." + d.substr(4, 2) + "." + d.substr(0, 4) + " " + t.substr(0, 2) +
           ":" + t.substr(2, 2) + ":" + t.substr(4, 2);
}

std::string KeyPositionText(const char* letter, Language language)
{
    static const struct {
        const char* letter;
        Text name;
    } kPositions[] = {{"R", Text::KeyR}, {"X", Text::KeyX}, {"Z", Text::KeyZ}, {"P", Text::KeyP},
                      {"O", Text::KeyO}};
    for (const auto& p : kPositions)
        if (letter != nullptr && std::strcmp(letter, p.letter) == 0)
            return std::string(p.letter) + " (" + TextOf(p.name, language) + ")";
    return "";
}

std::string TaxRecordText(int slot, const char* record, Language language)
{
    if (record == nullptr || std::strlen(record) != 14 || std::strcmp(record, "00000000000000") == 0)
        return "";
    if (!AllDigits(std::string(record, 8).c_str(), 8) || !AllDigits(record + 10, 4))
        return "";
    std::string kind;
    switch (record[9]) {
    case '0': kind = TextOf(Text::TaxInPrice, language); break;
    case '1': kind = TextOf(Text::TaxOverPrice, language); break;
    case '2': kind = TextOf(Text::TaxOfSale, language); break;
    default: kind = TextOf(Text::TaxKind, language) + std::string(1, record[9]); break;
    }
    const std::string r(record);
    const std::string rate = (r[10] == '0' ? r.substr(11, 1) : r.substr(10, 2)) + "." + r.substr(12, 2);
    return std::to_string(slot) + ": " + rate + " % " + kind + TextOf(Text::TaxFrom, language) + r.substr(6, 2) + "." +
           r.substr(4, 2) + "." + r.substr(0, 4);
}

}  // namespace testutil
}  // namespace brenvik
