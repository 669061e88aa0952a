// The table of hostile texts through the C API without a printer: as a
// goods name, as a cashier, and as the goods name of a receipt document.
// Each is refused, names its character (or reason) and its JSON path, and
// the message is UTF-8 by glibc's iconv, an independent reader.
#include <gtest/gtest.h>
#include <iconv.h>

#include <cstring>
#include <string>

#include "brenvik/brenvik.h"
#include "tests/support/hostile_texts.h"

namespace {

bool IsUtf8(const std::string& text) {
    iconv_t cd = iconv_open("UTF-32LE", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    std::string out(text.size() * 4 + 4, '\0');
    char* src = const_cast<char*>(text.data());
    size_t srcLeft = text.size();
    char* dst = &out[0];
    size_t dstLeft = out.size();
    const size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    return r != static_cast<size_t>(-1) && srcLeft == 0;
}

bool Has(const char* message, const std::string& part) { return std::strstr(message, part.c_str()) != nullptr; }

class HostileText : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(brenvik_create(&p_), BRENVIK_OK); }
    void TearDown() override { brenvik_close(p_); }
    brenvik_printer* p_ = nullptr;
};

TEST_F(HostileText, IsRefusedAsAnArgumentNamingItsCharacter) {
    for (const hostile::Case& c : hostile::Load(BRENVIK_HOSTILE_TEXTS)) {
        if (!c.hasBytes || c.bytes.find('\0') != std::string::npos) continue;  // a C text cannot hold it
        SCOPED_TRACE(c.id);
        brenvik_error e{};
        e.size = sizeof e;
        const brenvik_status line = brenvik_fiscal_line(p_, c.bytes.c_str(), 1, 100, 0, 1, 0, 0, nullptr);
        brenvik_last_error(p_, &e);
        if (c.printerOnly) {
            // Fits the widest printer's line: only a connected printer refuses it.
            EXPECT_EQ(line, BRENVIK_E_STATE) << e.message;
        } else {
            EXPECT_EQ(line, BRENVIK_E_ARGUMENT);
            EXPECT_STREQ(e.argument, "name");
            EXPECT_TRUE(Has(e.message, c.expect)) << e.message;
            EXPECT_TRUE(IsUtf8(e.message)) << e.message;
        }
        // As the cashier: refused before any port is opened.
        EXPECT_EQ(brenvik_connect_device(p_, "/nonexistent/tty", c.bytes.c_str(), ""), BRENVIK_E_ARGUMENT);
        brenvik_last_error(p_, &e);
        EXPECT_STREQ(e.argument, "cashier");
        if (!c.IsLength()) {
            EXPECT_TRUE(Has(e.message, c.expect)) << e.message;
        }
        EXPECT_TRUE(IsUtf8(e.message)) << e.message;
    }
}

TEST_F(HostileText, IsRefusedInADocumentWithItsPath) {
    for (const hostile::Case& c : hostile::Load(BRENVIK_HOSTILE_TEXTS)) {
        SCOPED_TRACE(c.id);
        const std::string doc = hostile::Receipt(c);
        brenvik_receipt_error error{};
        error.size = sizeof error;
        const brenvik_status status = brenvik_receipt_validate(doc.c_str(), nullptr, &error);
        if (c.printerOnly) {
            EXPECT_EQ(status, BRENVIK_OK) << error.message;
            continue;
        }
        EXPECT_EQ(status, BRENVIK_E_ARGUMENT);
        EXPECT_STREQ(error.path, "/items/0/name");
        EXPECT_TRUE(Has(error.message, c.expect)) << error.message;
        EXPECT_TRUE(IsUtf8(error.message)) << error.message;
        EXPECT_EQ(std::strstr(error.message, "json.exception"), nullptr) << error.message;

        // Printing without a printer refuses the document the same way.
        brenvik_receipt_result r{};
        r.size = sizeof r;
        EXPECT_EQ(brenvik_receipt_print(p_, doc.c_str(), nullptr, nullptr, &r), BRENVIK_E_ARGUMENT);
        EXPECT_EQ(r.outcome, BRENVIK_RECEIPT_INVALID);
        EXPECT_STREQ(r.failed_path, "/items/0/name");
        EXPECT_TRUE(IsUtf8(r.message)) << r.message;
    }
}

// Malformed documents beyond a bad goods name: each is refused with words
// of our own and the path where the reading stopped.
TEST(HostileDocument, IsRefusedWithWhereItWentWrong) {
    struct Bad {
        const char* id;
        std::string json;
        const char* path;
        const char* part;
    };
    const Bad cases[] = {
        {"cut off", R"({"type":"sale","items":[{"name":"x")", "/items/0", "line 1, column"},
        {"a field name that is an emoji", R"({"type":"sale","items":[{"name":"x","quantity":1,"price":1,"🎂":1}]})",
         "/items/0/🎂", "unknown field"},
        {"a field given twice", R"({"type":"sale","type":"return","items":[]})", "/type", "twice"},
        {"nested past any receipt", std::string(40, '[') + std::string(40, ']'),
         "/0/0/0/0/0/0/0/0/0/0/0/0/0/0/0/0", "nested too deeply"},
        {"a lone surrogate in a field name", R"({"type":"sale","\ud800":1})", "", "U+D800"},
        {"text after the document", R"({"type":"sale","items":[]} x)", "", "line 1, column 28"},
        {"a control character in the request id", R"({"requestId":"a\u0000b","type":"sale","items":[]})",
         "/requestId", "U+0000"},
    };
    for (const Bad& c : cases) {
        SCOPED_TRACE(c.id);
        brenvik_receipt_error error{};
        error.size = sizeof error;
        EXPECT_EQ(brenvik_receipt_validate(c.json.c_str(), nullptr, &error), BRENVIK_E_ARGUMENT);
        EXPECT_STREQ(error.path, c.path);
        EXPECT_TRUE(Has(error.message, c.part)) << error.message;
        EXPECT_EQ(std::strstr(error.message, "json.exception"), nullptr) << error.message;
        EXPECT_TRUE(IsUtf8(error.message)) << error.message;
    }
}

}  // namespace
