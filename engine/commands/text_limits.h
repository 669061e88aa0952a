// How many printer characters each text of a command may hold, per printer:
// the one table that the C API, the receipt document, the CLI, the service
// (through the C API) and the automation classes read. A text over its
// limit is refused before anything is sent; the printer would otherwise cut
// it (or, in a fixed-layout line, lose what follows).
#pragma once

#include <cstddef>

namespace brenvik {

class PrinterEngine;

struct TextLimits {
    // A goods name on one sale or return line, whole: the head of the line
    // format plus its continuation. Weighed goods have a shorter
    // continuation in the short format (it ends with a full stop).
    size_t pieceName;
    size_t weighedName;
    size_t discountName;     // the line's fixed discount-name field
    size_t freeText;         // TEXT: one printed line
    size_t headLine;         // HEAD: one printed line
    size_t bottomLine;       // BOTM and BOTm: one printed line
    size_t longName;         // FINF
    size_t department;       // PREP
    size_t deptAlias;        // DEPT
    size_t cashier;          // UPAS
    size_t password;         // UPAS
    size_t goodsGroup;       // GRBG
    size_t totalsName;       // GREN and ZDNM, each of the two names
    size_t currency;         // SENC
    size_t barcode;          // PCOD
    size_t displayLine;      // DISp, each of the two lines
    size_t externalDisplay;  // DIsp
    size_t returnNumbers;    // BCHN
};

namespace text_layout {

// Where the limits come from: the widths of the sale-line formats and of
// the printed line.
constexpr size_t kShortHead = 12;           // FISC/BFIS name head
constexpr size_t kShortPieceRest = 43;      // its continuation, piece goods
constexpr size_t kShortWeighedRest = 30;    // weighed goods: padded, then "."
constexpr size_t kNarrowPieceRest = 36;     // the same on the narrow printer
constexpr size_t kNarrowWeighedRest = 23;
constexpr size_t kLongHead = 24;            // FICD/BFCD name head
constexpr size_t kLongRest = 104;           // its continuation
constexpr size_t kPrintedLine = 43;         // characters of a printed line
constexpr size_t kNarrowPrintedLine = 36;   // on the narrow printer ("vTTs")
constexpr size_t kLongNameText = 86;        // FINF: two printed lines
constexpr size_t kNarrowLongNameText = 72;

}  // namespace text_layout

// A printer's limits from its line widths; the other fields are the same
// on every printer: fixed fields, or what the automation classes have
// always passed.
constexpr TextLimits MakeTextLimits(size_t pieceName, size_t weighedName, size_t printedLine, size_t longName) {
    TextLimits t{};
    t.pieceName = pieceName;
    t.weighedName = weighedName;
    t.discountName = 13;
    t.freeText = printedLine;
    t.headLine = printedLine;
    t.bottomLine = printedLine;
    t.longName = longName;
    t.department = 15;
    t.deptAlias = 5;
    t.cashier = 10;
    t.password = 10;
    t.goodsGroup = 21;
    t.totalsName = 22;
    t.currency = 3;
    t.barcode = 17;
    t.displayLine = 16;
    t.externalDisplay = 200;
    t.returnNumbers = 86;
    return t;
}

// The long line format (T3+ firmware in article mode 2) on a wide printer:
// no printer takes more, so this is what a document is checked against
// when no printer is connected.
constexpr TextLimits kWidestTextLimits =
    MakeTextLimits(text_layout::kLongHead + text_layout::kLongRest, text_layout::kLongHead + text_layout::kLongRest,
                   text_layout::kPrintedLine, text_layout::kLongNameText);

// The limits of a printer: its variant ("vTTs" is the narrow one) and its
// line format (long lines: T3+ firmware with long article numbers).
const TextLimits& TextLimitsFor(const char* variant, bool longLines);

// The limits of the printer an engine is connected to, as read at
// connection.
const TextLimits& TextLimitsOf(const PrinterEngine& engine);
// Whether that printer takes the long line format.
bool LongLinesOf(const PrinterEngine& engine);

// The automation classes' argument buffers: each text argument is cut to
// its buffer, never refused. Where a buffer is a printer limit it is read
// from the widest limits; these few are the classes' own.
namespace automation_cuts {
constexpr size_t kInitExCashier = 9;
constexpr size_t kFiscalLineName = kWidestTextLimits.pieceName;
constexpr size_t kFiscalLineExName = 256;
constexpr size_t kApplicationName = 255;
constexpr size_t kRemoteHostName = 255;
}  // namespace automation_cuts

}  // namespace brenvik
