#include "receipt/amount.h"

namespace brenvik::receipt {

bool ParseAmountText(const std::string& text, int64_t max, int64_t& kopecks, std::string& why) {
    kopecks = 0;
    if (text.empty()) {
        why = "an amount is empty";
        return false;
    }
    int64_t units = 0;
    int64_t cents = 0;
    int decimals = -1;  // -1: no point seen yet
    size_t integerDigits = 0;
    for (char c : text) {
        if (c == '.') {
            if (decimals >= 0) {
                why = "an amount has more than one decimal point";
                return false;
            }
            decimals = 0;
            continue;
        }
        if (c < '0' || c > '9') {
            why = c == '-' ? "an amount must not be negative" : "an amount is digits with an optional '.' and two decimals";
            return false;
        }
        if (decimals >= 0) {
            if (++decimals > 2) {
                why = "an amount has at most two decimals (kopecks)";
                return false;
            }
            cents = cents * 10 + (c - '0');
        } else {
            // Eighteen digits stay well inside 64 bits; more is over any limit.
            if (++integerDigits > 15) {
                why = "an amount is too large";
                return false;
            }
            units = units * 10 + (c - '0');
        }
    }
    if (integerDigits == 0 || decimals == 0) {
        why = "an amount needs digits on both sides of its decimal point";
        return false;
    }
    if (decimals == 1) cents *= 10;
    const int64_t value = units * 100 + cents;
    if (value > max) {
        why = "an amount is too large";
        return false;
    }
    kopecks = value;
    return true;
}

}  // namespace brenvik::receipt
