// The UTF-8 <-> code page 1251 edge, checked against the C library's iconv
// as an independent reference, and the C API's refusals that need no
// printer.
#include <gtest/gtest.h>
#include <iconv.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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

// The meanings of the error numbers are the manual's: every row of
// docs/manual/errors.md, in both languages, and the language tags a caller
// may pass.
TEST(ErrorMeaning, IsTheManualsRowInEitherLanguage) {
    FILE* f = std::fopen(BRENVIK_ERRORS_PAGE, "r");
    ASSERT_NE(f, nullptr) << BRENVIK_ERRORS_PAGE;
    char line[4096];
    int rows = 0;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        // | number | word | Russian | meaning | значення | what to do | що робити |
        std::vector<std::string> cells;
        std::string cell;
        for (const char* c = line; *c != '\0' && *c != '\n'; ++c) {
            if (*c == '|' && (c == line || c[-1] != '\\')) {
                cells.push_back(cell);
                cell.clear();
            } else if (*c != '`') {
                cell += *c;
            }
        }
        if (cells.size() != 8 || cells[1].size() < 3 || !std::isdigit(static_cast<unsigned char>(cells[1][1])))
            continue;
        auto trim = [](std::string s) { return s.substr(1, s.size() - 2); };
        const auto number = static_cast<uint32_t>(std::stoul(trim(cells[1])));
        SCOPED_TRACE(number);
        EXPECT_EQ(brenvik_error_meaning(number, "en"), trim(cells[4]));
        EXPECT_EQ(brenvik_error_meaning(number, "uk"), trim(cells[5]));
        if (trim(cells[6]).rfind("As for ", 0) != 0) {
            EXPECT_EQ(brenvik_error_advice(number, "en"), trim(cells[6]));
            EXPECT_EQ(brenvik_error_advice(number, "uk"), trim(cells[7]));
        }
        ++rows;
    }
    std::fclose(f);
    EXPECT_GT(rows, 80);

    // "As for 2" is the advice of 2 itself: a message stands alone.
    EXPECT_STREQ(brenvik_error_advice(3, "en"), brenvik_error_advice(2, "en"));
    EXPECT_STREQ(brenvik_error_advice(6, "uk"), brenvik_error_advice(2, "uk"));
    const char* const ukrainian[] = {"uk", "UK", "uk-UA", "uk_UA.UTF-8"};
    for (const char* tag : ukrainian) EXPECT_STREQ(brenvik_error_meaning(10, tag), "Відсутня чекова або контрольна стрічка") << tag;
    const char* const english[] = {nullptr, "", "en", "ru", "u", "ukr", "xx-uk"};
    for (const char* tag : english)
        EXPECT_STREQ(brenvik_error_meaning(10, tag), "Receipt or control tape is missing") << (tag ? tag : "NULL");
    for (uint32_t none : {0u, 8u, 49u, 97u, 100000u}) {
        EXPECT_STREQ(brenvik_error_meaning(none, "en"), "") << none;
        EXPECT_STREQ(brenvik_error_advice(none, "uk"), "") << none;
    }
}

}  // namespace
