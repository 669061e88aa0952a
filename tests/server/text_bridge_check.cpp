// The boundary conversions, checked directly: limits cut to exact bytes
// without overrunning, NULL BSTRs, no partial characters for multi-byte
// code pages, code page 1251 whatever the system's ANSI code page, dates.
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "server/text_bridge_win32.h"

namespace {

int g_failures = 0;

void Check(bool ok, const char* what) {
    if (!ok) {
        std::printf("FAIL: %s\n", what);
        ++g_failures;
    }
}

struct Case {
    const wchar_t* text;  // nullptr: a NULL BSTR
    size_t limit;
    UINT codePage;
    const char* expected;  // bytes
    const char* what;
};

// Молоко 3.2% in code page 1251.
const char kMilk1251[] = "\xCC\xEE\xEB\xEE\xEA\xEE 3.2%";

const Case kCases[] = {
    {L"\x041c\x043e\x043b\x043e\x043a\x043e 3.2%", 128, 1251, kMilk1251, "Cyrillic name in 1251"},
    {L"Cashier12345", 10, 1251, "Cashier123", "12 characters cut to 10"},
    {L"Cashier12345", 9, 1251, "Cashier12", "12 characters cut to 9"},
    {L"ABCDEFGHIJKLMNOPQRSTUVWXYZ", 15, 1251, "ABCDEFGHIJKLMNO", "department cut to 15"},
    {L"EUROS", 3, 1251, "EUR", "currency cut to 3"},
    {L"exact", 5, 1251, "exact", "a text of exactly the limit"},
    {nullptr, 10, 1251, "", "a NULL BSTR is the empty text"},
    {L"", 10, 1251, "", "the empty text"},
    {L"any", 0, 1251, "", "limit 0"},
    // Two bytes per Cyrillic letter: 5 bytes hold two letters, never half a third.
    {L"\x041c\x043e\x043b\x043e\x043a\x043e", 5, CP_UTF8, "\xD0\x9C\xD0\xBE", "UTF-8 cut between characters"},
    {L"ab\xD83D\xDE00", 5, CP_UTF8, "ab", "UTF-8 never splits a surrogate pair"},
    {L"ab\xD83D\xDE00", 3, 1251, "ab", "a surrogate pair at the cut is dropped whole"},
};

void CheckToEngine() {
    for (const Case& c : kCases) {
        BSTR text = c.text ? SysAllocString(c.text) : nullptr;
        // The buffer is limit+1 bytes; the canary behind it must survive.
        char buffer[300];
        std::memset(buffer, '#', sizeof buffer);
        brenvik::ToEngineText(text, buffer, c.limit, c.codePage);
        const bool same = std::strcmp(buffer, c.expected) == 0;
        if (!same) std::printf("  got \"%s\"\n", buffer);
        Check(same, c.what);
        Check(buffer[c.limit + 1] == '#', "no byte written past limit+1");
        Check(std::strlen(buffer) <= c.limit, "never more than the limit");
        SysFreeString(text);
    }
    // A BSTR with an embedded zero ends there.
    BSTR embedded = SysAllocStringLen(L"ab\0cd", 5);
    char buffer[11];
    brenvik::ToEngineText(embedded, buffer, 10);
    Check(std::strcmp(buffer, "ab") == 0, "embedded zero ends the text");
    SysFreeString(embedded);
    // TextArg holds exactly the limit plus the terminator.
    BSTR longName = SysAllocString(L"0123456789ABCDEFGHIJ");
    brenvik::TextArg<15> arg(longName);
    Check(std::strcmp(arg, "0123456789ABCDE") == 0, "TextArg<15>");
    SysFreeString(longName);
}

void CheckFromEngine() {
    Check(brenvik::FromEngineText(nullptr) == nullptr, "NULL text gives NULL BSTR");
    BSTR empty = brenvik::FromEngineText("");
    Check(empty != nullptr && SysStringLen(empty) == 0, "empty text gives an empty BSTR");
    SysFreeString(empty);
    BSTR milk = brenvik::FromEngineText(kMilk1251);
    Check(milk != nullptr && std::wcscmp(milk, L"\x041c\x043e\x043b\x043e\x043a\x043e 3.2%") == 0,
          "1251 text back to Unicode whatever the ANSI code page");
    Check(milk != nullptr && SysStringLen(milk) == 11, "BSTR length without the terminator");
    SysFreeString(milk);
    // The round trip of every byte 0x20..0xFF that 1251 defines.
    std::string all;
    for (int b = 0x20; b <= 0xFF; ++b)
        if (b != 0x98) all += static_cast<char>(b);
    BSTR wide = brenvik::FromEngineText(all.c_str());
    char back[300];
    brenvik::ToEngineText(wide, back, sizeof back - 1);
    Check(all == back, "1251 round trip of every defined byte");
    SysFreeString(wide);
}

void CheckDates() {
    struct DateCase {
        DATE date;
        const char* expected;
    } cases[] = {
        {40238.0, "20100301"},           // 1 March 2010
        {40268.75, "20100331"},          // 31 March 2010, 18:00
        {40343.0, "20100614"},           // 14 June 2010
        {2.0, "19000101"},               // the automation epoch plus two days
        {1.0e10, ""},                    // rejected: the empty text
    };
    for (const DateCase& c : cases) {
        char text[brenvik::kDateTextSize];
        brenvik::DateToEngineText(c.date, text);
        if (std::strcmp(text, c.expected) != 0) std::printf("  date %f gave \"%s\"\n", c.date, text);
        Check(std::strcmp(text, c.expected) == 0, "date text");
    }
}

}  // namespace

int main() {
    std::printf("ANSI code page %u\n", GetACP());
    CheckToEngine();
    CheckFromEngine();
    CheckDates();
    std::printf("%s: %d failure(s)\n", g_failures ? "FAIL" : "OK", g_failures);
    return g_failures ? 1 : 0;
}
