#include "capi/cp1251.h"

#include <cstdint>
#include <cstdio>

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

// Decodes one UTF-8 character at p (before end); false for a malformed one.
bool DecodeOne(const unsigned char*& p, const unsigned char* end, char32_t& out) {
    const unsigned char b0 = *p;
    int extra = 0;
    char32_t c = 0;
    char32_t least = 0;
    if (b0 < 0x80) {
        out = b0;
        ++p;
        return true;
    } else if ((b0 & 0xE0) == 0xC0) {
        extra = 1, c = b0 & 0x1F, least = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2, c = b0 & 0x0F, least = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3, c = b0 & 0x07, least = 0x10000;
    } else {
        return false;
    }
    if (end - p <= extra) return false;
    for (int k = 1; k <= extra; ++k) {
        if ((p[k] & 0xC0) != 0x80) return false;
        c = (c << 6) | (p[k] & 0x3F);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    p += extra + 1;
    out = c;
    return true;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

ToCp1251Result Utf8ToCp1251(const char* utf8, size_t limit) {
    ToCp1251Result result;
    if (utf8 == nullptr) return result;
    const auto* p = reinterpret_cast<const unsigned char*>(utf8);
    const unsigned char* end = p;
    while (*end != 0) ++end;
    size_t index = 0;
    while (p < end) {
        char32_t c = 0;
        if (!DecodeOne(p, end, c)) {
            result.status = Conversion::kBadUtf8;
            result.position = index;
            result.bytes.clear();
            return result;
        }
        const unsigned char byte = ByteFor(c);
        if (byte == 0) {
            result.status = Conversion::kNotInCodePage;
            result.bad = c;
            result.position = index;
            result.bytes.clear();
            return result;
        }
        result.bytes += static_cast<char>(byte);
        ++index;
    }
    if (limit != 0 && result.bytes.size() > limit) {
        result.status = Conversion::kTooLong;
        result.position = result.bytes.size();
        result.bytes.clear();
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

std::string RefusalMessage(const ToCp1251Result& result, const char* argument, size_t limit) {
    char buffer[256];
    switch (result.status) {
    case Conversion::kOk:
        return {};
    case Conversion::kBadUtf8:
        std::snprintf(buffer, sizeof buffer, "%s: not valid UTF-8 at character %zu", argument, result.position + 1);
        break;
    case Conversion::kNotInCodePage: {
        std::string shown;
        if (result.bad >= 0x20) AppendUtf8(shown, result.bad);
        std::snprintf(buffer, sizeof buffer, "%s: character %zu%s%s%s (U+%04X) cannot be printed (code page 1251)",
                      argument, result.position + 1, shown.empty() ? "" : " \"", shown.c_str(),
                      shown.empty() ? "" : "\"", static_cast<unsigned>(result.bad));
        break;
    }
    case Conversion::kTooLong:
        std::snprintf(buffer, sizeof buffer, "%s: %zu characters, longer than its limit of %zu", argument,
                      result.position, limit);
        break;
    }
    return buffer;
}

}  // namespace brenvik::text
