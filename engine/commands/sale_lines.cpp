// Sale and return lines: the short format (FISC/BFIS) with eight tax slots
// and a 4-character article code, the long one (FICD/BFCD) with two tax
// letters and a 9-digit article, and the numeric helpers of the line sum.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/commands/command_text.h"
#include "engine/commands/text_limits.h"
#include "engine/printer_engine.h"

namespace brenvik {

using commands::CommandText;
using commands::LogL;
using commands::LogU;
using commands::Magnitude;
using commands::Text;

namespace {

constexpr char kUnprogrammedTax[] = "00000000000000";
constexpr size_t kTaxRecordLength = 14;
constexpr size_t kTaxTailOffset = 9;  // tax type, then the four rate digits
constexpr int32_t kMaxNineDigits = 999999999;
constexpr int32_t kMaxShortQuantity = 99999;
constexpr int32_t kMaxLongQuantity = 999999;
constexpr int32_t kMaxShortArticle = 20999;
constexpr size_t kDiscountNameWidth = 13;

// Tax k (1 to 8) is the Cyrillic capital А to З, bytes 0xC0 to 0xC7.
char TaxLetter(int32_t index) { return static_cast<char>(0xC0 + (index - 1)); }

bool Fits(int32_t value, int32_t max) { return value >= 0 && value <= max; }

char DiscountSign(int32_t discount) { return discount < 0 ? '-' : discount > 0 ? '+' : '0'; }

// The printer's line type digit; anything else would drop or shift a field.
char LineTypeDigit(int32_t lineType) {
    return lineType >= 0 && lineType <= 2 ? static_cast<char>('0' + lineType) : '0';
}

bool IsVariantTTs(const char* variant) { return std::strcmp(variant, "vTTs") == 0; }

// The long format has room for two tax letters: the two lowest applied.
void TwoLowestTaxes(const SaleLine& line, int32_t& first, int32_t& second) {
    first = second = 0;
    for (int32_t k = 1; k <= 8; ++k) {
        if (line.taxes[k - 1] != 1) continue;
        if (first == 0) {
            first = k;
        } else if (second == 0) {
            second = k;
        }
    }
}

}  // namespace

bool PrinterEngine::EncodeShortArticle(int32_t article, char out[5]) {
    static const char kThousands[] = "0123456789ABCDEFGHIJK";
    if (!Fits(article, kMaxShortArticle)) {
        out[0] = '\0';
        return false;
    }
    const int32_t units = article % 1000;
    out[0] = kThousands[article / 1000];
    out[1] = static_cast<char>('0' + units / 100);
    out[2] = static_cast<char>('0' + units / 10 % 10);
    out[3] = static_cast<char>('0' + units % 10);
    out[4] = '\0';
    return true;
}

double PrinterEngine::RoundToDecimals(double x, int decimals) {
    if (!std::isfinite(x)) return x;
    if (decimals < 0) decimals = 0;
    if (decimals > 15) decimals = 15;  // beyond the precision of a double
    if (x > 0) x += 0.00001;
    if (x < 0) x -= 0.00001;
    char format[16] = {};
    std::snprintf(format, sizeof format, "%%.%df", decimals);
    // The largest double prints with 309 digits before the point.
    char text[400] = {};
    std::snprintf(text, sizeof text, format, x);
    return std::strtod(text, nullptr);
}

int32_t PrinterEngine::RoundToInteger(double x) {
    if (std::isnan(x)) return 0;
    if (x >= 2147483647.0) return INT32_MAX;
    if (x <= -2147483648.0) return INT32_MIN;
    char text[32] = {};
    std::snprintf(text, sizeof text, "%.0f", x);
    long value = std::strtol(text, nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

int32_t PrinterEngine::LineSum(int32_t qty, int32_t price, bool weighed) {
    int32_t q = qty != 0 ? qty : (weighed ? 1000 : 1);
    if (weighed) {
        double sum = RoundToDecimals((q / 1000.0) * (price / 100.0), 2) * 100.0;
        return RoundToInteger(sum);
    }
    int64_t sum = static_cast<int64_t>(q) * price;
    if (sum > INT32_MAX) return INT32_MAX;
    if (sum < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(sum);
}

bool PrinterEngine::TaxIsProgrammed(int32_t index1, int32_t index2) const {
    for (int32_t index : {index1, index2}) {
        if (index >= 1 && index <= 8 && std::strcmp(TaxRateTable[index - 1], kUnprogrammedTax) == 0)
            return false;
    }
    return true;
}

namespace {

// "F:<word>(...) <description>" with the 17 values of a line, as the three
// line operations log them.
void LogSaleLine(PrinterEngine& e, const char* word, const char* description, const SaleLine& line) {
    e.WriteLog("F:%s(%s, %lu, %lu, %lu, %i, %i, %i, %i, %i, %i, %i, %i, %i, %i, %lu, %s, %li) %s", word,
               Text(line.name), LogU(line.sum), LogU(line.price), LogU(line.quantity), line.pieceFlag,
               line.lineType, line.taxes[0], line.taxes[1], line.taxes[2], line.taxes[3],
               line.taxes[4], line.taxes[5], line.taxes[6], line.taxes[7], LogU(line.article),
               Text(line.discountName), LogL(line.discount), description);
}

}  // namespace

// The line counts in its side's running total once it is known to fit,
// whatever the printer answers.
uint32_t PrinterEngine::SendSaleLine(char* text, const SaleLine& line) {
    int32_t& total = ReturnLineMode ? CheckReturnSumm : CheckSumm;
    total = WrapAdd(total, static_cast<int64_t>(line.sum) + line.discount);
    ToPrinterCodePage(text);
    SendCommand(text);
    return ErrorNumber;
}

uint32_t PrinterEngine::EncodeShortLine(const SaleLine& line) {
    if (!Connected) return ErrorNumber;
    LogSaleLine(*this, "FISC", "Продажа товара", line);
    const bool narrow = IsVariantTTs(PrinterVariant);
    const char* name = Text(line.name);
    const char* discountName = Text(line.discountName);

    // The printer reads this line by position: a value wider than its field
    // would shift every field after it, so such a line is never sent.
    char article[5] = {};
    bool fits = Fits(line.sum, kMaxNineDigits) && Fits(line.price, kMaxNineDigits) &&
                Fits(line.quantity, kMaxShortQuantity) &&
                EncodeShortArticle(line.article, article) &&
                Magnitude(line.discount) <= static_cast<uint32_t>(kMaxNineDigits) &&
                commands::BoundedLength(discountName, kDiscountNameWidth + 1) <= kDiscountNameWidth;
    bool applied[8] = {};
    for (int k = 0; k < 8; ++k) {
        applied[k] = line.taxes[k] == 1 && !(k == 7 && narrow);
        // A record the tax-rate reply never filled has no tail to copy.
        if (applied[k] &&
            commands::BoundedLength(TaxRateTable[k], kTaxRecordLength) != kTaxRecordLength)
            fits = false;
    }
    if (!fits) return RaiseError(kErrFieldOverflow);

    CommandText text;
    static_assert(text_layout::kShortHead == 12 && text_layout::kLongHead == 24, "the heads' formats below");
    text.Add("%s%12.12s%09u%09u%05u%c%c", ReturnLineMode ? "BFIS" : "FISC", name,
             static_cast<uint32_t>(line.sum), static_cast<uint32_t>(line.price),
             static_cast<uint32_t>(line.quantity), line.pieceFlag != 0 ? '1' : '0',
             LineTypeDigit(line.lineType));
    for (int k = 0; k < 8; ++k) {
        if (applied[k]) {
            text.AddChar(TaxLetter(k + 1));
            text.Add("%s", TaxRateTable[k] + kTaxTailOffset);
        } else {
            text.Add("000000");
        }
    }
    text.Add("%s%c%13s%09u", article, DiscountSign(line.discount), discountName,
             Magnitude(line.discount));
    if (std::strlen(name) > text_layout::kShortHead) {
        const char* rest = name + text_layout::kShortHead;
        if (line.pieceFlag != 0) {
            text.AddCut(rest, narrow ? text_layout::kNarrowPieceRest : text_layout::kShortPieceRest);
        } else {
            const int width = static_cast<int>(narrow ? text_layout::kNarrowWeighedRest : text_layout::kShortWeighedRest);
            text.Add("%-*.*s.", width, width, rest);
        }
    }

    return SendSaleLine(text.Data(), line);
}

uint32_t PrinterEngine::EncodeLongLine(const SaleLine& line, int32_t taxIndex1, int32_t taxIndex2) {
    if (!Connected) return ErrorNumber;
    WriteLog("F:FICD(%s, %lu, %lu, %lu, %i, %i, %i, %i, %lu, %s, %li) Продажа товара",
             Text(line.name), LogU(line.sum), LogU(line.price), LogU(line.quantity), line.pieceFlag,
             line.lineType, taxIndex1, taxIndex2, LogU(line.article), Text(line.discountName),
             LogL(line.discount));
    const char* name = Text(line.name);
    const char* discountName = Text(line.discountName);

    bool fits = Fits(line.sum, kMaxNineDigits) && Fits(line.price, kMaxNineDigits) &&
                Fits(line.quantity, kMaxLongQuantity) && Fits(line.article, kMaxNineDigits) &&
                Magnitude(line.discount) <= static_cast<uint32_t>(kMaxNineDigits) &&
                commands::BoundedLength(discountName, kDiscountNameWidth + 1) <= kDiscountNameWidth;
    if (!fits) return RaiseError(kErrFieldOverflow);

    auto letter = [](int32_t index) { return index >= 1 && index <= 8 ? TaxLetter(index) : '0'; };
    CommandText text;
    text.Add("%s%24.24s%09u%09u%06u%c%c%c%c%09u%c%13s%09u", ReturnLineMode ? "BFCD" : "FICD", name,
             static_cast<uint32_t>(line.sum), static_cast<uint32_t>(line.price),
             static_cast<uint32_t>(line.quantity), line.pieceFlag != 0 ? '1' : '0',
             LineTypeDigit(line.lineType), letter(taxIndex1), letter(taxIndex2),
             static_cast<uint32_t>(line.article), DiscountSign(line.discount), discountName,
             Magnitude(line.discount));
    if (std::strlen(name) > text_layout::kLongHead) text.AddCut(name + text_layout::kLongHead, text_layout::kLongRest);

    return SendSaleLine(text.Data(), line);
}

uint32_t PrinterEngine::RegistrUniversal(const SaleLine& line) {
    if (!Connected) return ErrorNumber;
    // A check's lines come many a second: each one's log lines, its
    // exchange's among them, leave in one append.
    LogBatch batch(*this);
    LogSaleLine(*this, "RegistrUniversal", "Продажа товара (Универсальная)", line);
    if (!LongLinesOf(*this)) return EncodeShortLine(line);
    int32_t first = 0, second = 0;
    TwoLowestTaxes(line, first, second);
    return EncodeLongLine(line, first, second);
}

uint32_t PrinterEngine::ReturnUniversal(const SaleLine& line) {
    if (!Connected) return ErrorNumber;
    LogBatch batch(*this);
    LogSaleLine(*this, "ReturnUniversal", "Продажа товара (Универсальная)", line);
    const bool longLines = LongLinesOf(*this);
    WriteLog(longLines ? "F:BFCD() Возврат товара" : "F:BFIS() Возврат товара");
    // The encoder raises the return total, once the line is known to fit.
    ReturnLineMode = 1;
    uint32_t result;
    if (longLines) {
        int32_t first = 0, second = 0;
        TwoLowestTaxes(line, first, second);
        result = EncodeLongLine(line, first, second);
    } else {
        result = EncodeShortLine(line);
    }
    ReturnLineMode = 0;
    return result;
}

}  // namespace brenvik
