// Conversions at the automation boundary: BSTR and DATE arguments into the
// engine's fixed-size code page 1251 texts, engine texts back into BSTRs.
//
// The engine holds every text as code page 1251, so the boundary converts
// with 1251 itself rather than with the system's ANSI code page: on a
// Cyrillic system the two are the same, elsewhere the ANSI page would turn
// every Cyrillic goods name into question marks.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstddef>

#include "server/text_cuts.h"

namespace brenvik {

constexpr UINT kEngineCodePage = 1251;

// Converts `text` into buffer[0..limit]: at most `limit` bytes, always
// zero-terminated, never a partial character. A NULL BSTR, or one that
// cannot be converted, gives the empty text.
void ToEngineText(BSTR text, char* buffer, size_t limit, UINT codePage = kEngineCodePage);

// A new BSTR holding `text`; NULL for a NULL text or a failed conversion.
BSTR FromEngineText(const char* text, UINT codePage = kEngineCodePage);

// "%4i%02i%02i" (year, month, day) into a 32-byte buffer; a date that
// VariantTimeToSystemTime rejects gives the empty text.
constexpr size_t kDateTextSize = 32;
void DateToEngineText(DATE date, char (&buffer)[kDateTextSize]);

// A text argument cut to its limit, kept on the stack for one call.
template <size_t Limit>
class TextArg {
public:
    explicit TextArg(BSTR text) { ToEngineText(text, text_, Limit); }
    const char* get() const { return text_; }
    operator const char*() const { return text_; }

private:
    char text_[Limit + 1];
};

}  // namespace brenvik
