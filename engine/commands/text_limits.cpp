// The limits of each kind of printer, from the widths its commands lay
// their texts out in.
#include "engine/commands/text_limits.h"

#include <cstring>

#include "engine/printer_engine.h"

namespace brenvik {

namespace {

using namespace text_layout;

// The short format on the wide printer.
constexpr TextLimits kShortWide =
    MakeTextLimits(kShortHead + kShortPieceRest, kShortHead + kShortWeighedRest, kPrintedLine, kLongNameText);
// The short format on the narrow printer: shorter continuations and lines.
constexpr TextLimits kShortNarrow = MakeTextLimits(kShortHead + kNarrowPieceRest, kShortHead + kNarrowWeighedRest,
                                                   kNarrowPrintedLine, kNarrowLongNameText);
// The long format lays the name out alike on both; the paper still differs.
constexpr TextLimits kLongNarrow = MakeTextLimits(kLongHead + kLongRest, kLongHead + kLongRest,
                                                  kNarrowPrintedLine, kNarrowLongNameText);

}  // namespace

const TextLimits& TextLimitsFor(const char* variant, bool longLines) {
    const bool narrow = variant != nullptr && std::strcmp(variant, "vTTs") == 0;
    if (longLines) return narrow ? kLongNarrow : kWidestTextLimits;
    return narrow ? kShortNarrow : kShortWide;
}

bool LongLinesOf(const PrinterEngine& engine) { return engine.T3PlusFirmware != 0 && engine.LongArticles != 0; }

const TextLimits& TextLimitsOf(const PrinterEngine& engine) {
    return TextLimitsFor(engine.PrinterVariant, LongLinesOf(engine));
}

}  // namespace brenvik
