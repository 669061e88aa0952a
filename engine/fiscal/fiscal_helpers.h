// Small helpers shared by the check, document and report operations.
#pragma once

#include <cstdint>
#include <string>

#include "engine/printer_engine.h"

namespace brenvik::fiscal {

// A NULL text from a caller is taken as the empty text.
inline const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

// Refuses an operation before anything is sent: the error goes through
// SetError (message, log line, box) and its word into ErrorCode.
inline void Refuse(PrinterEngine& engine, uint32_t number, const char* word) {
    engine.SetError(number);
    CopyText(engine.ErrorCode, sizeof engine.ErrorCode, word);
}

// Running totals wrap like the printer's 32-bit registers instead of
// overflowing into undefined behaviour.
inline int32_t WrapAdd(int32_t a, int64_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

// The leading decimal integer of a text: blanks skipped, optional sign,
// digits up to the first other character; 0 when there is none. Clamped to
// 32 bits, since a ten-digit field can exceed them.
int32_t LeadingInteger(const char* text);

// Sends one command by the common pattern: nothing at all while the link is
// down, else the log line and the text. Returns the Boolean result.
int32_t SimpleCommand(PrinterEngine& engine, const char* logLine, const char* text);

// An attribute value with & < > " escaped, so that an owner named with a
// quote still gives a well-formed document. Tab, line feed and carriage
// return become character references (a parser would fold them to blanks);
// the other control bytes, which XML 1.0 forbids, become blanks.
std::string XmlEscape(const std::string& value);

}  // namespace brenvik::fiscal
