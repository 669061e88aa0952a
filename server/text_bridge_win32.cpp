#include "server/text_bridge_win32.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace brenvik {

void ToEngineText(BSTR text, char* buffer, size_t limit, UINT codePage) {
    std::memset(buffer, 0, limit + 1);
    if (text == nullptr || limit == 0) return;
    // A BSTR may carry an embedded zero; the engine's text ends there anyway.
    size_t count = wcsnlen(text, SysStringLen(text));
    if (count > limit) count = limit;  // each character needs at least one byte
    while (count > 0) {
        // Never split a surrogate pair.
        if (text[count - 1] >= 0xD800 && text[count - 1] <= 0xDBFF) {
            --count;
            continue;
        }
        const int written = WideCharToMultiByte(codePage, 0, text, static_cast<int>(count), buffer,
                                                static_cast<int>(limit), nullptr, nullptr);
        if (written > 0) return;
        std::memset(buffer, 0, limit + 1);
        // A code page with several bytes per character: the cut text did
        // not fit, so try one character less.
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return;
        --count;
    }
}

BSTR FromEngineText(const char* text, UINT codePage) {
    if (text == nullptr) return nullptr;
    const int length = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
    if (length <= 0) return nullptr;
    BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(length - 1));
    if (result == nullptr) return nullptr;
    if (MultiByteToWideChar(codePage, 0, text, -1, result, length) != length) {
        SysFreeString(result);
        return nullptr;
    }
    return result;
}

void DateToEngineText(DATE date, char (&buffer)[kDateTextSize]) {
    std::memset(buffer, 0, sizeof buffer);
    SYSTEMTIME time = {};
    if (!VariantTimeToSystemTime(date, &time)) return;
    std::snprintf(buffer, sizeof buffer, "%4i%02i%02i", static_cast<int>(time.wYear),
                  static_cast<int>(time.wMonth), static_cast<int>(time.wDay));
}

}  // namespace brenvik
