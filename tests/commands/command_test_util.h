// Shared pieces of the command tests.
#pragma once

#include <string>

#include "engine/printer_engine.h"
#include "tests/support/engine_harness.h"

namespace brenvik::test {

// What the printer receives for a code page 1251 text.
inline std::string OnWire(std::string text) {
    PrinterEngine::ToPrinterCodePage(text.data());
    return text;
}

// The one command a test expects to have been sent, or "" when none or many.
inline std::string OnlyCommand(const Harness& h) {
    auto c = h.line.Commands();
    return c.size() == 1 ? c[0] : std::string("<") + std::to_string(c.size()) + " commands>";
}

}  // namespace brenvik::test
