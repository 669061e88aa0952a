// The printer's code page (cp866 letters) and UTF-8, plus small text helpers.
#include <cstdio>

#include "sim/m301sim.h"
#include "sim/text.h"

namespace m301sim {
namespace {

const uint16_t kCp866High[128] = {
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
    0x0401, 0x0451, 0x0404, 0x0454, 0x0407, 0x0457, 0x040E, 0x045E,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x2116, 0x00A4, 0x25A0, 0x00A0,};

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Decodes one code point at s[i], advancing i; malformed bytes give '?'.
uint32_t NextCodePoint(const std::string& s, size_t& i) {
    const auto b = static_cast<unsigned char>(s[i]);
    size_t extra = 0;
    uint32_t cp = 0;
    if (b < 0x80) {
        ++i;
        return b;
    } else if ((b & 0xE0) == 0xC0) {
        extra = 1;
        cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
        extra = 2;
        cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
        extra = 3;
        cp = b & 0x07;
    } else {
        ++i;
        return '?';
    }
    if (i + extra >= s.size()) {
        i = s.size();
        return '?';
    }
    for (size_t k = 1; k <= extra; ++k) {
        const auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) {
            ++i;
            return '?';
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    i += extra + 1;
    return cp;
}

}  // namespace

std::string ToPrinterText(const std::string& utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        const uint32_t cp = NextCodePoint(utf8, i);
        if (cp < 0x80) {
            out += static_cast<char>(cp);
            continue;
        }
        // The engine sends the small Ukrainian i as a Latin I; so do we.
        if (cp == 0x0456 || cp == 0x0406) {
            out += 'I';
            continue;
        }
        if (cp == 0x0490) {  // Ґ has no place in the printer's code page
            out += static_cast<char>(0x83);
            continue;
        }
        if (cp == 0x0491) {
            out += static_cast<char>(0xA3);
            continue;
        }
        char mapped = '?';
        for (int k = 0; k < 128; ++k) {
            if (kCp866High[k] == cp) {
                mapped = static_cast<char>(0x80 + k);
                break;
            }
        }
        out += mapped;
    }
    return out;
}

std::string FromPrinterText(const std::string& printerBytes) {
    std::string out;
    for (char ch : printerBytes) {
        const auto b = static_cast<unsigned char>(ch);
        if (b < 0x80)
            out += ch;
        else
            AppendUtf8(out, kCp866High[b - 0x80]);
    }
    return out;
}

size_t Utf8Length(const std::string& s) {
    size_t n = 0;
    for (char ch : s)
        if ((static_cast<unsigned char>(ch) & 0xC0) != 0x80) ++n;
    return n;
}

std::string Utf8Head(const std::string& s, size_t n) {
    size_t count = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
            if (count == n) return s.substr(0, i);
            ++count;
        }
    }
    return s;
}

std::string PadLeft(const std::string& s, size_t n) {
    const size_t len = Utf8Length(s);
    return len >= n ? s : std::string(n - len, ' ') + s;
}

std::string PadRight(const std::string& s, size_t n) {
    const size_t len = Utf8Length(s);
    return len >= n ? s : s + std::string(n - len, ' ');
}

std::string Money(int64_t kopecks) {
    const bool negative = kopecks < 0;
    const uint64_t v = negative ? static_cast<uint64_t>(-(kopecks + 1)) + 1 : static_cast<uint64_t>(kopecks);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%llu.%02llu", negative ? "-" : "",
                  static_cast<unsigned long long>(v / 100), static_cast<unsigned long long>(v % 100));
    return buf;
}

std::string NoControls(const std::string& s) {
    std::string out = s;
    for (char& ch : out)
        if (static_cast<unsigned char>(ch) < 0x20) ch = ' ';
    return out;
}

}  // namespace m301sim
