// UTF-8 and code page 1251 at the library's edge: the engine speaks 1251
// bytes, callers speak UTF-8. Nothing is ever cut: a text that does not fit
// is refused whole, and the refusal names the character as U+XXXX.
#pragma once

#include <cstddef>
#include <string>

namespace brenvik::text {

enum class Conversion {
    kOk,
    kBadUtf8,        // not well-formed UTF-8 (overlong forms and surrogates too)
    kNotInCodePage,  // a character the printer cannot print: not in code page
                     // 1251, or a control character (NUL included)
    kTooLong,        // more characters than the field takes
};

struct ToCp1251Result {
    Conversion status = Conversion::kOk;
    std::string bytes;        // the 1251 text when kOk
    char32_t bad = 0;         // the character refused (kNotInCodePage; kBadUtf8
                              // for a surrogate written in UTF-8)
    size_t position = 0;      // its character index (kNotInCodePage, kBadUtf8);
                              // the text's length (kTooLong)
    size_t offset = 0;        // its byte offset (kNotInCodePage, kBadUtf8)
    std::string badBytes;     // kBadUtf8: the bytes that are not UTF-8
    const char* why = "";     // kBadUtf8: what is wrong with them
};

// UTF-8 to 1251; `limit` counts characters (one byte each in 1251); 0 means
// no limit. The std::string form sees an embedded NUL and refuses it.
ToCp1251Result Utf8ToCp1251(const char* utf8, size_t limit = 0);
ToCp1251Result Utf8ToCp1251(const std::string& utf8, size_t limit = 0);

// 1251 to UTF-8; bytes without a character (0x98) become U+FFFD.
std::string Cp1251ToUtf8(const char* bytes, size_t count);
std::string Cp1251ToUtf8(const std::string& bytes);

// Why a text was refused, UTF-8, without naming the argument: "character 3
// "🎂" (U+1F382) cannot be printed (code page 1251)".
std::string Describe(const ToCp1251Result& result, size_t limit);
// kBadUtf8 only: the bytes and what is wrong with them, "0xC0 0x80, an
// overlong form".
std::string DescribeBadUtf8(const ToCp1251Result& result);
// The same after the argument's name and ": ".
std::string RefusalMessage(const ToCp1251Result& result, const char* argument, size_t limit);

// The first bytes of `bytes` that are not UTF-8 (kBadUtf8, offsets counted
// from `baseOffset`), or kOk.
ToCp1251Result CheckUtf8(const std::string& bytes, size_t baseOffset = 0);

// "U+0041", "U+1F382".
std::string CodePoint(char32_t c);

// Any bytes as valid UTF-8 for a message: well-formed characters stay,
// control and invisible characters become <U+XXXX>, bytes that are not
// UTF-8 become \xNN.
std::string Showable(const std::string& bytes);

// The length of the longest prefix of `text` that fits `size` - 1 bytes
// without splitting a UTF-8 character.
size_t Utf8Prefix(const std::string& text, size_t size);

}  // namespace brenvik::text
