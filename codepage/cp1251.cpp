#include "codepage/cp1251.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace brenvik::text {

namespace {

// The characters of bytes 0x80-0xFF; 0 where the code page has none.
constexpr char16_t kHigh[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // C0
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,  // C8
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,  // D0
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,  // D8
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // E0
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,  // E8
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  // F0
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,  // F8
};

// The byte for a character, 0 when there is none. Control characters are
// refused too: on the wire they would be taken for framing.
unsigned char ByteFor(char32_t c) {
    if (c >= 0x20 && c < 0x7F) return static_cast<unsigned char>(c);
    if (c < 0x80) return 0;
    for (int i = 0; i < 128; ++i) {
        if (kHigh[i] == c) return static_cast<unsigned char>(0x80 + i);
    }
    return 0;
}

bool IsControl(char32_t c) { return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F); }

// Characters that show nothing, or rearrange what follows them on a screen
// (right-to-left scripts among them): a message names them by number only.
bool IsInvisible(char32_t c) {
    static const char32_t kRanges[][2] = {
        {0x0300, 0x036F}, {0x0590, 0x08FF}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x2000, 0x200F},
        {0x2028, 0x202F}, {0x205F, 0x206F}, {0x20D0, 0x20FF}, {0xD800, 0xDFFF}, {0xE000, 0xF8FF},
        {0xFB1D, 0xFDFF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xFE70, 0xFEFF}, {0xFFF0, 0xFFFF},
        {0x10800, 0x10FFF}, {0x1E800, 0x1EFFF}, {0xE0000, 0xE0FFF}, {0xF0000, 0x10FFFF},
    };
    if (IsControl(c) || c == 0x00AD || c == 0x034F || c == 0x061C || c == 0x180E) return true;
    for (const auto& range : kRanges) {
        if (c >= range[0] && c <= range[1]) return true;
    }
    return false;
}

// One UTF-8 character at p (before end); on a malformed one, false with
// what is wrong, the bytes it spans and, for a surrogate, its value.
struct Decoded {
    char32_t c = 0;
    size_t length = 0;
    const char* why = "";
    char32_t surrogate = 0;
};

bool DecodeOne(const unsigned char* p, const unsigned char* end, Decoded& out) {
    const unsigned char b0 = *p;
    out = Decoded{};
    if (b0 < 0x80) {
        out.c = b0;
        out.length = 1;
        return true;
    }
    size_t extra = 0;
    char32_t c = 0;
    char32_t least = 0;
    if (b0 >= 0x80 && b0 <= 0xBF) {
        out.length = 1;
        out.why = "a continuation byte without a lead byte";
        return false;
    } else if ((b0 & 0xE0) == 0xC0) {
        extra = 1, c = b0 & 0x1F, least = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2, c = b0 & 0x0F, least = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3, c = b0 & 0x07, least = 0x10000;
    } else {
        out.length = 1;
        out.why = "a byte that UTF-8 never uses";
        return false;
    }
    size_t k = 1;
    while (k <= extra && p + k < end && (p[k] & 0xC0) == 0x80) {
        c = (c << 6) | (p[k] & 0x3F);
        ++k;
    }
    out.length = k;
    if (k <= extra) {
        out.why = "a sequence cut short";
        return false;
    }
    if (c < least) {
        out.why = "an overlong form";
        return false;
    }
    if (c >= 0xD800 && c <= 0xDFFF) {
        out.surrogate = c;
        out.why = "a surrogate half, not a character";
        return false;
    }
    if (c > 0x10FFFF) {
        out.why = "beyond U+10FFFF";
        return false;
    }
    out.c = c;
    return true;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string Hex(const std::string& bytes) {
    std::string out;
    char one[8];
    for (unsigned char b : bytes) {
        std::snprintf(one, sizeof one, "%s0x%02X", out.empty() ? "" : " ", b);
        out += one;
    }
    return out;
}

ToCp1251Result Convert(const unsigned char* p, const unsigned char* end, size_t limit) {
    ToCp1251Result result;
    const unsigned char* const begin = p;
    size_t index = 0;
    while (p < end) {
        Decoded d;
        if (!DecodeOne(p, end, d)) {
            result.status = Conversion::kBadUtf8;
            result.position = index;
            result.offset = static_cast<size_t>(p - begin);
            result.badBytes.assign(reinterpret_cast<const char*>(p), d.length);
            result.why = d.why;
            result.bad = d.surrogate;
            result.bytes.clear();
            return result;
        }
        const unsigned char byte = ByteFor(d.c);
        if (byte == 0) {
            result.status = Conversion::kNotInCodePage;
            result.bad = d.c;
            result.position = index;
            result.offset = static_cast<size_t>(p - begin);
            result.bytes.clear();
            return result;
        }
        result.bytes += static_cast<char>(byte);
        p += d.length;
        ++index;
    }
    if (limit != 0 && result.bytes.size() > limit) {
        result.status = Conversion::kTooLong;
        result.position = result.bytes.size();
        result.bytes.clear();
    }
    return result;
}

}  // namespace

ToCp1251Result Utf8ToCp1251(const char* utf8, size_t limit) {
    if (utf8 == nullptr) return ToCp1251Result{};
    const auto* p = reinterpret_cast<const unsigned char*>(utf8);
    return Convert(p, p + std::strlen(utf8), limit);
}

ToCp1251Result Utf8ToCp1251(const std::string& utf8, size_t limit) {
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    return Convert(p, p + utf8.size(), limit);
}

ToCp1251Result CheckUtf8(const std::string& bytes, size_t baseOffset) {
    ToCp1251Result result;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const unsigned char* const end = p + bytes.size();
    for (size_t index = 0; p < end; ++index) {
        Decoded d;
        if (!DecodeOne(p, end, d)) {
            result.status = Conversion::kBadUtf8;
            result.position = index;
            result.offset = baseOffset + static_cast<size_t>(p - reinterpret_cast<const unsigned char*>(bytes.data()));
            result.badBytes.assign(reinterpret_cast<const char*>(p), d.length);
            result.why = d.why;
            result.bad = d.surrogate;
            return result;
        }
        p += d.length;
    }
    return result;
}

std::string Cp1251ToUtf8(const char* bytes, size_t count) {
    std::string out;
    out.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x80) {
            out += static_cast<char>(b);
        } else {
            const char32_t c = kHigh[b - 0x80];
            AppendUtf8(out, c != 0 ? c : 0xFFFD);
        }
    }
    return out;
}

std::string Cp1251ToUtf8(const std::string& bytes) { return Cp1251ToUtf8(bytes.data(), bytes.size()); }

std::string CodePoint(char32_t c) {
    char text[16];
    std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(c));
    return text;
}

std::string DescribeBadUtf8(const ToCp1251Result& result) {
    if (result.bad != 0) return Hex(result.badBytes) + " is " + CodePoint(result.bad) + ", " + result.why;
    return Hex(result.badBytes) + ", " + result.why;
}

std::string Describe(const ToCp1251Result& result, size_t limit) {
    switch (result.status) {
    case Conversion::kOk:
        return {};
    case Conversion::kBadUtf8:
        return "not valid UTF-8 at byte " + std::to_string(result.offset + 1) + ": " + DescribeBadUtf8(result);
    case Conversion::kNotInCodePage: {
        const std::string number = CodePoint(result.bad);
        const std::string where = "character " + std::to_string(result.position + 1);
        if (IsControl(result.bad)) return where + " (" + number + ") is a control character and cannot be printed";
        if (IsInvisible(result.bad)) return where + " (" + number + ") cannot be printed (code page 1251)";
        std::string shown;
        AppendUtf8(shown, result.bad);
        return where + " \"" + shown + "\" (" + number + ") cannot be printed (code page 1251)";
    }
    case Conversion::kTooLong:
        return std::to_string(result.position) + " characters, longer than its limit of " + std::to_string(limit);
    }
    return {};
}

std::string RefusalMessage(const ToCp1251Result& result, const char* argument, size_t limit) {
    if (result.status == Conversion::kOk) return {};
    return std::string(argument != nullptr ? argument : "") + ": " + Describe(result, limit);
}

std::string Showable(const std::string& bytes) {
    std::string out;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const unsigned char* const end = p + bytes.size();
    char escape[16];
    while (p < end) {
        Decoded d;
        if (DecodeOne(p, end, d) && !IsInvisible(d.c)) {
            out.append(reinterpret_cast<const char*>(p), d.length);
        } else if (d.why[0] == '\0') {
            std::snprintf(escape, sizeof escape, "<%s>", CodePoint(d.c).c_str());
            out += escape;
        } else {
            for (size_t k = 0; k < d.length; ++k) {
                std::snprintf(escape, sizeof escape, "\\x%02X", p[k]);
                out += escape;
            }
        }
        p += d.length;
    }
    return out;
}

size_t Utf8Prefix(const std::string& text, size_t size) {
    if (size == 0) return 0;
    size_t n = text.size() < size - 1 ? text.size() : size - 1;
    if (n == text.size()) return n;
    // Back off to the start of the character that would be split.
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return n;
}

}  // namespace brenvik::text
