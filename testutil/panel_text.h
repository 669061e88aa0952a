// What BrenvikTest shows and reads, as plain functions: amounts typed by
// people, port names, the printer's clock, key and tax records. UTF-8 out;
// the window converts to UTF-16. Nothing here touches the printer.
#pragma once

#include <cstdint>
#include <string>

#include "testutil/window_text.h"

namespace brenvik {
namespace testutil {

// "12", "12.5", "12,50", " 7 " -> kopecks. Refuses what is empty, signed,
// has more than two decimals or any other character, or does not fit the
// printer's 32-bit amounts.
bool ParseAmount(const std::string& text, int32_t& kopecks);
// 1250 -> "12.50"; -5 -> "-0.05".
std::string FormatAmount(int64_t kopecks);

// "COM3", "com12", "\\.\COM7" or a bare "5" -> the port number; 0 when the
// text names no COM port (LPT1, COM0, COM3x, "").
int ParseComPort(const std::string& text);

// The printer's 8-digit date and 6-digit time -> "14.06.2010 15:30:00";
// "" when either is not all digits of its length.
std::string PrinterClockText(const char* date8, const char* time6);

// The key position's letter (R, X, Z, P, O; the engine's fiscal::KeyLetter
// of the configuration reply) -> "X (X-звіт)"; "" for anything else.
std::string KeyPositionText(const char* letter, Language language);

// One 14-character tax record of slot `slot` -> "0: 20.00 % у ціні, з
// 01.01.2026"; "" for an unprogrammed slot or a malformed record.
std::string TaxRecordText(int slot, const char* record, Language language);

}  // namespace testutil
}  // namespace brenvik
