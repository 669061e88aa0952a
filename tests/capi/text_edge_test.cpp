// The UTF-8 <-> code page 1251 edge, checked against the C library's iconv
// as an independent reference, and the C API's refusals that need no
// printer.
#include <gtest/gtest.h>
#include <iconv.h>

#include <cstring>
#include <string>

#include "brenvik/brenvik.h"
#include "codepage/cp1251.h"

namespace {

using brenvik::text::Conversion;
using brenvik::text::Cp1251ToUtf8;
using brenvik::text::Utf8ToCp1251;

// What glibc makes of the same text; "" when it cannot.
std::string Iconv(const char* from, const char* to, const std::string& in) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return "";
    std::string out(in.size() * 4 + 4, '\0');
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char* dst = &out[0];
    size_t dstLeft = out.size();
    const size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    if (r == static_cast<size_t>(-1)) return "";
    out.resize(out.size() - dstLeft);
    return out;
}

const char* const kAlphabets[] = {
    // Ukrainian, both cases, with ґ/Ґ, і/ї/є.
    "АБВГҐДЕЄЖЗИІЇЙКЛМНОПРСТУФХЦЧШЩЬЮЯ",
    "абвгґдеєжзиіїйклмнопрстуфхцчшщьюя",
    // Russian, both cases, with ё/Ё and the hard sign.
    "АБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ",
    "абвгдеёжзийклмнопрстуфхцчшщъыьэюя",
    // Latin, digits, punctuation and the code page's own signs.
    "Hello, 0123456789 !\"#$%&'()*+-./:;<=>?@[\\]^_`{|}~",
    "№ € « » — – … ° ± §",
};

TEST(TextEdge, EveryLetterConvertsAsIconvDoesAndComesBack) {
    for (const char* utf8 : kAlphabets) {
        SCOPED_TRACE(utf8);
        const auto converted = Utf8ToCp1251(utf8);
        ASSERT_EQ(converted.status, Conversion::kOk);
        EXPECT_EQ(converted.bytes, Iconv("UTF-8", "CP1251", utf8));
        EXPECT_EQ(Cp1251ToUtf8(converted.bytes), utf8);
    }
}

TEST(TextEdge, EveryByteReadsAsIconvReadsIt) {
    for (int b = 0x20; b < 0x100; ++b) {
        if (b == 0x7F || b == 0x98) continue;  // no character behind them
        const std::string byte(1, static_cast<char>(b));
        EXPECT_EQ(Cp1251ToUtf8(byte), Iconv("CP1251", "UTF-8", byte)) << "byte " << b;
    }
    EXPECT_EQ(Cp1251ToUtf8(std::string("\x98", 1)), "\xEF\xBF\xBD");
}

TEST(TextEdge, RefusesWhatTheCodePageCannotHoldAndSaysWhere) {
    struct Case {
        const char* utf8;
        Conversion status;
        size_t position;  // character index of the fault
    };
    const Case cases[] = {
        {"Ωmega", Conversion::kNotInCodePage, 0},        // Greek
        {"Füße", Conversion::kNotInCodePage, 1},         // German umlaut
        {"ціна 中", Conversion::kNotInCodePage, 5},      // CJK
        {"ok 😀", Conversion::kNotInCodePage, 3},        // outside the BMP
        {"tab\there", Conversion::kNotInCodePage, 3},   // control characters frame nothing
        {"a\xC0\x80", Conversion::kBadUtf8, 1},          // overlong zero
        {"\xED\xA0\x80", Conversion::kBadUtf8, 0},       // a surrogate
        {"ab\xD0", Conversion::kBadUtf8, 2},             // cut in the middle
        {"\xFF", Conversion::kBadUtf8, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.utf8);
        const auto converted = Utf8ToCp1251(c.utf8);
        EXPECT_EQ(converted.status, c.status);
        EXPECT_EQ(converted.position, c.position);
        EXPECT_TRUE(converted.bytes.empty());
    }
    const auto omega = Utf8ToCp1251("Ω");
    EXPECT_EQ(brenvik::text::RefusalMessage(omega, "name", 0),
              "name: character 1 \"Ω\" (U+03A9) cannot be printed (code page 1251)");
}

TEST(TextEdge, LimitsCountCharactersNotBytes) {
    // Ten Cyrillic letters are twenty UTF-8 bytes and ten printer characters.
    EXPECT_EQ(Utf8ToCp1251("Ґаличина-і", 10).status, Conversion::kOk);
    const auto longer = Utf8ToCp1251("Ґаличина-ії", 10);
    EXPECT_EQ(longer.status, Conversion::kTooLong);
    EXPECT_EQ(brenvik::text::RefusalMessage(longer, "cashier", 10),
              "cashier: 11 characters, longer than its limit of 10");
}

TEST(CApiWithoutPrinter, RefusesBadArgumentsAndKeepsTheErrorUntilTheNextCall) {
    brenvik_printer* p = nullptr;
    ASSERT_EQ(brenvik_create(&p), BRENVIK_OK);
    EXPECT_EQ(brenvik_create(nullptr), BRENVIK_E_ARGUMENT);
    EXPECT_EQ(brenvik_x_report(nullptr), BRENVIK_E_ARGUMENT);
    EXPECT_EQ(brenvik_is_connected(p), 0);

    // A text is refused before the link is even looked at.
    EXPECT_EQ(brenvik_open_check(p, "Відділ 中"), BRENVIK_E_ARGUMENT);
    brenvik_error e{};
    e.size = sizeof e;
    for (int reading = 0; reading < 2; ++reading) {  // nothing is read-once
        EXPECT_EQ(brenvik_last_error(p, &e), BRENVIK_E_ARGUMENT);
        EXPECT_STREQ(e.argument, "department");
        EXPECT_NE(std::strstr(e.message, "U+4E2D"), nullptr) << e.message;
    }
    EXPECT_EQ(brenvik_open_check(p, "Відділ №1 довга назва"), BRENVIK_E_ARGUMENT);
    brenvik_last_error(p, &e);
    EXPECT_STREQ(e.message, "department: 21 characters, longer than its limit of 15");

    // Values the printer would misread are refused before the link is asked:
    // hour 24, a negative cash amount (not taken as its absolute value), a
    // Z-report number past four digits.
    EXPECT_EQ(brenvik_set_time(p, 24, 0, 0), BRENVIK_E_ARGUMENT);
    EXPECT_EQ(brenvik_cash_out(p, -100), BRENVIK_E_ARGUMENT);
    EXPECT_EQ(brenvik_fiscal_report_numbers(p, 1, 10000), BRENVIK_E_ARGUMENT);
    // A goods name is refused past the 128 characters a line carries.
    const std::string name(129, 'x');
    EXPECT_EQ(brenvik_fiscal_line_ex(p, name.c_str(), 1, 100, 0, 1, 0, 0, 2, "", 0, nullptr), BRENVIK_E_ARGUMENT);
    brenvik_last_error(p, &e);
    EXPECT_STREQ(e.argument, "name");

    EXPECT_EQ(brenvik_x_report(p), BRENVIK_E_STATE);
    EXPECT_EQ(brenvik_set_timeout(p, 5), BRENVIK_E_ARGUMENT);
    EXPECT_EQ(brenvik_set_timeout(p, 2000), BRENVIK_OK);
    EXPECT_EQ(brenvik_last_error(p, &e), BRENVIK_OK);
    EXPECT_EQ(e.message[0], '\0');

    EXPECT_EQ(brenvik_connect_device(p, "/nonexistent/tty", "Олена", "1"), BRENVIK_E_NO_CONNECTION);
    brenvik_last_error(p, &e);
    EXPECT_EQ(e.number, 1u);
    EXPECT_NE(std::strstr(e.message, "/nonexistent/tty"), nullptr);
    brenvik_close(p);
    brenvik_close(nullptr);
}

TEST(CApiWithoutPrinter, VersionMatchesTheHeader) {
    EXPECT_STREQ(brenvik_version(), BRENVIK_VERSION_STRING);
    EXPECT_EQ(brenvik_status_text(static_cast<brenvik_status>(-99)), std::string("unknown status"));
}

}  // namespace
