// Amounts as people and JSON write them: "12.50", "12.5", "12" or an integer
// of kopecks. Never binary floating point; a third decimal digit is an
// error, not a rounding.
#pragma once

#include <cstdint>
#include <string>

namespace brenvik::receipt {

// A decimal text of currency units to kopecks. Accepts digits with at most
// two decimals after one '.'; no sign, no blanks, no exponent. `max` bounds
// the result (kopecks). On failure returns false and says why in `why`.
bool ParseAmountText(const std::string& text, int64_t max, int64_t& kopecks, std::string& why);

}  // namespace brenvik::receipt
