// UTF-8 and code page 1251 at the library's edge: the engine speaks 1251
// bytes, callers speak UTF-8. Nothing is ever cut: a text that does not fit
// is refused whole.
#pragma once

#include <cstddef>
#include <string>

namespace brenvik::text {

enum class Conversion {
    kOk,
    kBadUtf8,        // not well-formed UTF-8 (overlong forms and surrogates too)
    kNotInCodePage,  // a character code page 1251 has no byte for
    kTooLong,        // more characters than the field takes
};

struct ToCp1251Result {
    Conversion status = Conversion::kOk;
    std::string bytes;        // the 1251 text when kOk
    char32_t bad = 0;         // the character refused (kNotInCodePage)
    size_t position = 0;      // its character index (kNotInCodePage, kBadUtf8)
};

// UTF-8 to 1251; `limit` counts characters (one byte each in 1251); 0 means
// no limit.
ToCp1251Result Utf8ToCp1251(const char* utf8, size_t limit = 0);

// 1251 to UTF-8; bytes without a character (0x98) become U+FFFD.
std::string Cp1251ToUtf8(const char* bytes, size_t count);
std::string Cp1251ToUtf8(const std::string& bytes);

// The message for a refused argument, UTF-8: names the argument, the
// character or the limit.
std::string RefusalMessage(const ToCp1251Result& result, const char* argument, size_t limit);

}  // namespace brenvik::text
