// The receipt document without a printer: amounts, and every refusal with
// the JSON Pointer it names.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>

#include "brenvik/brenvik.h"

namespace {

TEST(Amount, ReadsDecimalTextsExactlyAndRefusesTheRest) {
    struct Case {
        const char* text;
        bool ok;
        int64_t kopecks;
    };
    const Case cases[] = {
        {"12.50", true, 1250}, {"12.5", true, 1250},  {"12", true, 1200},     {"0.01", true, 1},
        {"0", true, 0},        {"007.10", true, 710}, {"21474836.47", true, 2147483647},
        {"21474836.48", false, 0},                    // beyond the printer's registers
        {"12.505", false, 0},  {"0.001", false, 0},   // a third decimal is never rounded
        {"12.", false, 0},     {".5", false, 0},      {"", false, 0},        {"-1.00", false, 0},
        {"+1", false, 0},      {"1e3", false, 0},     {" 1", false, 0},      {"1,50", false, 0},
        {"1.2.3", false, 0},   {"99999999999999999999", false, 0},
    };
    for (const Case& c : cases) {
        int64_t kopecks = -1;
        EXPECT_EQ(brenvik_parse_amount(c.text, &kopecks) == BRENVIK_OK, c.ok) << c.text;
        EXPECT_EQ(kopecks, c.kopecks) << c.text;
    }
}

// A document with one thing changed, and the path and reason it must give.
struct Bad {
    const char* json;
    const char* path;
    const char* reason;  // a part of the message
};

const char* const kGood =
    R"({"requestId":"r-1","type":"sale","items":[{"name":"Хліб","quantity":2,"price":"18.50","tax":1}],)"
    R"("payments":{"cash":"50"}})";

TEST(ReceiptValidation, AcceptsAGoodDocumentAndSumsIt) {
    brenvik_receipt_info info{};
    info.size = sizeof info;
    brenvik_receipt_error error{};
    error.size = sizeof error;
    ASSERT_EQ(brenvik_receipt_validate(kGood, &info, &error), BRENVIK_OK) << error.path << ": " << error.message;
    EXPECT_STREQ(info.request_id, "r-1");
    EXPECT_EQ(info.total, 3700);
    EXPECT_EQ(info.paid, 5000);
    EXPECT_EQ(info.item_count, 1);

    // Weighed goods in thousandths, a discount, two tax groups, integers of kopecks.
    const char* weighed =
        R"({"type":"return","returnCheckNumber":"17","items":[{"name":"Сир","quantity":250,"price":40000,)"
        R"("weighed":true,"tax":[1,2],"discount":"10.00","discountName":"Знижка"}],"texts":[{"text":"Дякуємо!"}]})";
    ASSERT_EQ(brenvik_receipt_validate(weighed, &info, &error), BRENVIK_OK) << error.path << ": " << error.message;
    EXPECT_EQ(info.is_return, 1);
    EXPECT_EQ(info.total, 10000 - 1000);  // 0.250 kg at 400.00, less 10.00
}

TEST(ReceiptValidation, NamesThePathAndTheReason) {
    const Bad cases[] = {
        {R"({"type":"sale","items":[)", "/items/0", "line 1, column"},
        {R"([1,2])", "", "must be an object"},
        {R"({"type":"sale","items":[{"name":"a","quantity":1,"price":1}],"colour":"red"})", "/colour", "unknown field"},
        {R"({"items":[{"name":"a","quantity":1,"price":1}]})", "/type", "missing"},
        {R"({"type":"gift","items":[{"name":"a","quantity":1,"price":1}]})", "/type", "\"sale\" or \"return\""},
        {R"({"type":"sale","items":[]})", "/items", "at least one"},
        {R"({"type":"sale","items":{}})", "/items", "must be an array"},
        {R"({"type":"sale","items":[{"quantity":1,"price":1}]})", "/items/0/name", "missing"},
        {R"({"type":"sale","items":[{"name":"a","quantity":1,"price":1,"size":3}]})", "/items/0/size", "unknown field"},
        {R"({"type":"sale","items":[{"name":"a","quantity":"2","price":1}]})", "/items/0/quantity", "must be an integer"},
        {R"({"type":"sale","items":[{"name":"a","quantity":1,"price":12.5}]})", "/items/0/price", "floating-point"},
        {R"({"type":"sale","items":[{"name":"a","quantity":1,"price":"12.505"}]})", "/items/0/price", "two decimals"},
        {R"({"type":"sale","items":[{"name":"a","quantity":1,"price":-5}]})", "/items/0/price", "negative"},
        {R"({"type":"sale","items":[{"name":"a","quantity":1,"price":"-5"}]})", "/items/0/price", "negative"},
        {R"({"type":"sale","items":[{"name":"a","quantity":1,"price":"10000000.00"}]})", "/items/0/price", "too large"},
        {R"({"type":"sale","items":[{"name":"a","quantity":0,"price":1}]})", "/items/0/quantity", "1 to 99999"},
        {R"({"type":"sale","items":[{"name":"a","quantity":1,"price":1,"tax":9}]})", "/items/0/tax", "1 to 8"},
        {R"({"type":"sale","items":[{"name":"a","quantity":1,"price":1,"tax":[1,1]}]})", "/items/0/tax/1", "twice"},
        {R"({"type":"sale","items":[{"name":"Ωmega","quantity":1,"price":1}]})", "/items/0/name", "U+03A9"},
        {R"({"type":"sale","items":[{"name":"a","quantity":1,"price":100,"discount":"2.00"}]})", "/items/0/discount",
         "larger than the line"},
        {R"({"type":"sale","items":[{"name":"a","quantity":1,"price":1,"discount":0,"surcharge":0}]})",
         "/items/0/surcharge", "not both"},
        {R"({"type":"sale","items":[{"name":"a","quantity":1,"price":1}],"texts":[{"text":"0123456789012345678901234567890123456789ABCD"}]})",
         "/texts/0/text", "limit of 43"},
        {R"({"type":"sale","items":[{"name":"a","quantity":1,"price":1}],"operator":{"name":"Олена"}})",
         "/operator/password", "missing"},
        {R"({"type":"sale","items":[{"name":"a","quantity":1,"price":1}],"returnCheckNumber":"5"})",
         "/returnCheckNumber", "only in a return"},
        {R"({"type":"sale","requestId":7,"items":[{"name":"a","quantity":1,"price":1}]})", "/requestId", "string"},
        {R"({"type":"sale","items":[{"name":"a","quantity":2,"price":"10.00"}],"payments":{"cash":"19.99"}})",
         "/payments", "do not cover the total"},
        {R"({"type":"sale","items":[{"name":"a","quantity":2,"price":"10.00"}],"payments":{"card":"25.00"}})",
         "/payments", "only cash gives change"},
        {R"({"type":"sale","items":[{"name":"a","quantity":1,"price":1}],"payments":{"bitcoin":1}})",
         "/payments/bitcoin", "unknown field"},
    };
    for (const Bad& c : cases) {
        SCOPED_TRACE(c.json);
        brenvik_receipt_error error{};
        error.size = sizeof error;
        brenvik_receipt_info info{};
        info.size = sizeof info;
        EXPECT_EQ(brenvik_receipt_validate(c.json, &info, &error), BRENVIK_E_ARGUMENT);
        EXPECT_STREQ(error.path, c.path);
        EXPECT_NE(std::string(error.message).find(c.reason), std::string::npos) << error.message;
        EXPECT_EQ(info.item_count, 0);
    }
}

TEST(ReceiptValidation, RefusesTooManyLines) {
    std::string items;
    for (int i = 0; i < 101; ++i) items += std::string(i ? "," : "") + R"({"name":"a","quantity":1,"price":1})";
    const std::string doc = R"({"type":"sale","items":[)" + items + "]}";
    brenvik_receipt_error error{};
    error.size = sizeof error;
    EXPECT_EQ(brenvik_receipt_validate(doc.c_str(), nullptr, &error), BRENVIK_E_ARGUMENT);
    EXPECT_STREQ(error.path, "/items");
    EXPECT_NE(std::string(error.message).find("too many lines"), std::string::npos);
    EXPECT_EQ(brenvik_receipt_validate(nullptr, nullptr, nullptr), BRENVIK_E_ARGUMENT);
}

// brenvik_receipt_check's list, parsed; the status beside it.
nlohmann::json Problems(const std::string& document, brenvik_status* status = nullptr) {
    char* list = nullptr;
    const brenvik_status got = brenvik_receipt_check(nullptr, document.c_str(), &list);
    if (status != nullptr) *status = got;
    EXPECT_NE(list, nullptr);
    nlohmann::json parsed = nlohmann::json::parse(list != nullptr ? list : "null");
    brenvik_free(list);
    return parsed;
}

TEST(ReceiptCheck, ListsEveryProblemOfADocumentAtOnce) {
    // Three mistakes far apart: each is found, with its own JSON Pointer.
    brenvik_status status = BRENVIK_OK;
    const nlohmann::json three = Problems(
        R"({"type":"sale","items":[{"name":"a","quantity":1,"price":"1.005"},)"
        R"({"name":"b","quantity":0,"price":1}],"payments":{"card":"x"}})", &status);
    EXPECT_EQ(status, BRENVIK_E_ARGUMENT);
    ASSERT_EQ(three.size(), 3u) << three.dump();
    EXPECT_EQ(three[0]["path"], "/items/0/price");
    EXPECT_EQ(three[1]["path"], "/items/1/quantity");
    EXPECT_EQ(three[2]["path"], "/payments/card");
    // brenvik_receipt_validate names the first of them.
    brenvik_receipt_error first{};
    first.size = sizeof first;
    brenvik_receipt_validate(R"({"type":"sale","items":[{"name":"a","quantity":1,"price":"1.005"},)"
                             R"({"name":"b","quantity":0,"price":1}]})",
                             nullptr, &first);
    EXPECT_STREQ(first.path, "/items/0/price");

    // Field names are escaped as RFC 6901 has it; a name no pointer should
    // carry is told at its object.
    const nlohmann::json odd =
        Problems(R"({"type":"sale","a/b~c":1,"\u001b[2J":2,"items":[{"name":"a","quantity":1,"price":1}]})");
    ASSERT_EQ(odd.size(), 2u) << odd.dump();
    EXPECT_EQ(odd[0]["path"], "");
    EXPECT_NE(odd[0]["message"].get<std::string>().find("\\u001b[2J"), std::string::npos) << odd.dump();
    EXPECT_EQ(odd[1]["path"], "/a~1b~0c");

    // Not JSON: one problem, where the reading stopped, in our own words.
    const struct {
        const char* document;
        const char* path;
        const char* says;
    } broken[] = {
        {"{\"type\":\"sale\",\n \"items\": [1,,2]}", "/items/1", "line 2, column 14: "},
        {"{\"type\":\"sale\"", "", "line 1, column 15: the document ends before its JSON is complete"},
        {"{\"type\" \"sale\"}", "/type", "line 1, column 14: unexpected string literal; expected ':'"},
        {"[tru]", "/0", "line 1, column 5: invalid literal"},
    };
    for (const auto& c : broken) {
        SCOPED_TRACE(c.document);
        const nlohmann::json one = Problems(c.document);
        ASSERT_EQ(one.size(), 1u) << one.dump();
        const std::string message = one[0]["message"];
        EXPECT_EQ(one[0]["path"], c.path);
        EXPECT_EQ(message.rfind(c.says, 0), 0u) << message;
        for (const char* leak : {"json.exception", "parse_error", "syntax error", "last read"})
            EXPECT_EQ(message.find(leak), std::string::npos) << message;
    }

    // At most 100 are listed, and the last counts the rest.
    std::string many = R"({"type":"sale","items":[)";
    for (int i = 0; i < 150; ++i) many += std::string(i ? "," : "") + R"({"name":"a","quantity":0,"price":1})";
    const nlohmann::json capped = Problems(many + "]}");
    ASSERT_EQ(capped.size(), 100u);
    EXPECT_EQ(capped[99]["message"], "52 more problems are not listed");  // 150 lines and "too many lines"

    // A good document: an empty list and OK; no list to fill is refused.
    EXPECT_EQ(Problems(kGood, &status), nlohmann::json::array());
    EXPECT_EQ(status, BRENVIK_OK);
    EXPECT_EQ(brenvik_receipt_check(nullptr, kGood, nullptr), BRENVIK_E_ARGUMENT);
}

}  // namespace
