// Information documents: byte-exact XML, read back by libxml2, the plain
// forms, the field-cutting failures and documents too big for the buffer.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/support/engine_harness.h"

namespace brenvik::test {
namespace {

const std::string kDecl = "<?xml version=\"1.0\"?>";

// Parses a document as the code page 1251 text it is; returns the root's
// name and the attributes of its first element child (or of the root).
struct Parsed {
    bool ok = false;
    std::string root;
    std::map<std::string, std::string> attributes;
};

Parsed Parse(const std::string& text) {
    Parsed p;
    xmlDocPtr doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), "doc.xml", "windows-1251",
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (doc == nullptr) return p;
    xmlNodePtr root = xmlDocGetRootElement(doc);
    p.ok = root != nullptr;
    if (root) {
        p.root = reinterpret_cast<const char*>(root->name);
        xmlNodePtr node = xmlFirstElementChild(root);
        if (node == nullptr) node = root;
        for (xmlAttrPtr a = node->properties; a; a = a->next) {
            xmlChar* v = xmlNodeListGetString(doc, a->children, 1);
            p.attributes[reinterpret_cast<const char*>(a->name)] = v ? reinterpret_cast<const char*>(v) : "";
            xmlFree(v);
        }
    }
    xmlFreeDoc(doc);
    return p;
}

// Reply text as the printer sends it: in its own code page.
std::string Wire(std::string text) {
    PrinterEngine::ToPrinterCodePage(text.data());
    return text;
}

std::string ConfWithOwner(const std::string& owner) {
    std::string t = Printer::ConfData();
    t.replace(24, 36, (owner + std::string(36, ' ')).substr(0, 36));
    return Wire(t);
}

const std::string kDefaultConfig =
    kDecl +
    "<m301_printer_config><common SerialNumber=\"0000123456\" FiscalNumber=\"1234567890\" "
    "Owner=\"TOV KORVELL TEST                    \" date=\"06/14/10\" time=\"15:30:00\" "
    "KeyPosition=\"R\" MaxArticles=\"15516\"/><money date=\"01/01/10\" DecPointPosition=\"2\" "
    "name=\"UAH\"/><taxes><tax index=\"0\" date=\"01/01/10\" type=\"1\" value=\"20.00\"/>"
    "<tax index=\"1\" date=\"01/01/10\" type=\"1\" value=\"07.00\"/>"
    "<tax index=\"2\" date=\"01/01/10\" type=\"0\" value=\"00.00\"/></taxes></m301_printer_config>";

TEST(PrinterConfigXML, ByteExactAndWellFormed) {
    Harness h;
    h.Connect();
    std::string doc = h.engine->GetPrinterConfigXML(1);
    EXPECT_EQ(doc, kDefaultConfig);
    EXPECT_EQ(h.line.Commands(), std::vector<std::string>{"CONf"});
    EXPECT_TRUE(h.log.Has("F:GetPrinterConfigXML(1)"));
    EXPECT_TRUE(h.log.Has("F:GetPrinterConfigXML()=" + kDefaultConfig));
    Parsed p = Parse(doc);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.root, "m301_printer_config");
    EXPECT_EQ(p.attributes["SerialNumber"], "0000123456");
}

TEST(PrinterConfigXML, OnlyExactlyOneRefreshesFromThePrinter) {
    for (int32_t refresh : {0, 2, -1}) {
        SCOPED_TRACE(refresh);
        Harness h;
        h.Connect();
        EXPECT_EQ(std::string(h.engine->GetPrinterConfigXML(refresh)), kDefaultConfig);
        EXPECT_TRUE(h.line.Commands().empty());
    }
}

TEST(PrinterConfigXML, FailedRefreshGivesTheEmptyText) {
    Harness h;
    h.Connect();
    h.printer.replies["CONf"] = ErrorReply("SOFTUPAS");
    EXPECT_EQ(h.engine->GetPrinterConfigXML(1), kEmptyText);
    EXPECT_EQ(h.engine->GetPrinterConfig(), kEmptyText);
    EXPECT_EQ(h.engine->GetPrinterTime(), kEmptyText);
    EXPECT_EQ(h.engine->GetPrinterKeyPosition(), -1);
}

// An owner named with a quote (common in company names) used to end the
// attribute early; every markup character is escaped now, and the parser
// reads back exactly the owner the printer holds.
TEST(PrinterConfigXML, MarkupCharactersInValuesAreEscaped) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"ТОВ \"Корвел\"", "ТОВ &quot;Корвел&quot;"},
        {"A&B <Trade>", "A&amp;B &lt;Trade&gt;"},
        {"Tab\there", "Tab&#9;here"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.second);
        Harness h;
        h.printer.replies["CONf"] = DoneReply(ConfWithOwner(c.first));
        h.Connect();
        std::string doc = h.engine->GetPrinterConfigXML(0);
        std::string padded = (c.second + std::string(36, ' ')).substr(0, c.second.size() + 36 - c.first.size());
        EXPECT_NE(doc.find("Owner=\"" + padded + "\""), std::string::npos) << doc;
        Parsed p = Parse(doc);
        ASSERT_TRUE(p.ok) << doc;
        EXPECT_EQ(p.attributes["Owner"], Parse("<a o=\"" + padded + "\"/>").attributes["o"]);
    }
}

TEST(PrinterConfigXML, DocumentTooBigForTheBufferFailsCleanly) {
    Harness h;
    std::string conf = Printer::ConfData();
    conf.replace(4, 56, std::string(56, '"'));  // serial, fiscal number, owner
    h.printer.replies["CONf"] = DoneReply(conf);
    std::string cnal = "CNAL";
    for (int k = 0; k < 8; ++k) cnal += "20100101" "0" "\"" "2000";
    h.printer.replies["CNAL"] = DoneReply(cnal);
    h.Connect();
    EXPECT_EQ(h.engine->GetPrinterConfigXML(1), kEmptyText);
    EXPECT_TRUE(h.log.Has("F:GetPrinterConfigXML() Ошибка выполнения"));
    // The tax document alone still fits and stays well-formed.
    std::string taxes = h.engine->GetTaxesInfoXML();
    EXPECT_TRUE(Parse(taxes).ok) << taxes;
}

struct KeyCase {
    char key;
    const char* letter;
    int32_t number;
};

TEST(PrinterConfigXML, KeyPositionLetterAndNumber) {
    const std::vector<KeyCase> cases = {
        {'1', "R", 1}, {'2', "X", 2}, {'4', "Z", 3}, {'8', "P", 4}, {'3', "O", 0}, {'0', "O", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        Harness h;
        h.printer.replies["CONf"] = DoneReply(Printer::ConfData("20050208", "vMTM", c.key));
        h.Connect();
        EXPECT_EQ(Parse(h.engine->GetPrinterConfigXML(0)).attributes["KeyPosition"], c.letter);
        EXPECT_EQ(h.engine->GetPrinterKeyPosition(), c.number);
        EXPECT_EQ(h.line.Commands(), std::vector<std::string>{"CONf"});
    }
}

TEST(PlainForms, ConfigurationAndClockComeFromTheRefreshedReply) {
    Harness h;
    h.Connect();
    std::string config = h.engine->GetPrinterConfig();
    EXPECT_EQ(config, Printer::ConfData().substr(4));
    EXPECT_STREQ(h.engine->GetPrinterTime(), "20100614153000");
    EXPECT_TRUE(h.log.Has("F:GetPrinterTime()=20100614 153000"));
    EXPECT_EQ(h.line.Commands(), (std::vector<std::string>{"CONf", "CONf"}));
    EXPECT_STREQ(h.engine->GetPrinterSerialNumber(), "0000123456");
}

TEST(TaxesXML, EmptySlotsAreSkippedAndOthersKeepTheirNumbers) {
    Harness h;
    std::string cnal = "CNAL";
    cnal += "20100101" "x" "A" "2000";
    cnal += "00000000000000";
    cnal += "20231231" "0" "Б" "0700";
    for (int k = 3; k < 8; ++k) cnal += "00000000000000";
    h.printer.replies["CNAL"] = DoneReply(Wire(cnal));
    h.Connect();
    std::string doc = h.engine->GetTaxesInfoXML();
    std::string entries = "<tax index=\"0\" date=\"01/01/10\" type=\"A\" value=\"20.00\"/>"
                          "<tax index=\"2\" date=\"12/31/23\" type=\"Б\" value=\"07.00\"/>";
    EXPECT_EQ(doc, kDecl + "<m301_taxes><taxes>" + entries + "</taxes></m301_taxes>");
    EXPECT_TRUE(Parse(doc).ok);
    EXPECT_TRUE(h.log.Has("F:GetTaxesInfoXML()=" + doc));
    EXPECT_EQ(std::string(h.engine->CreateTaxesForConfigXML()), entries);

    std::string none = "CNAL";
    for (int k = 0; k < 8; ++k) none += "00000000000000";
    h.printer.replies["CNAL"] = DoneReply(none);
    EXPECT_EQ(std::string(h.engine->GetTaxesInfoXML()),
              kDecl + "<m301_taxes><taxes></taxes></m301_taxes>");
}

std::string Digits(size_t count, char seed) {
    std::string s;
    for (size_t i = 0; i < count; ++i) s += static_cast<char>('0' + (seed + i) % 10);
    return s;
}

TEST(CashAndFiscalXML, FieldsByPositionAndFailureOfAFailedQuery) {
    Harness h;
    h.Connect();
    std::string cash = Digits(88, 0);
    h.printer.replies["CCAS"] = DoneReply("CCAS" + cash);
    std::string doc = h.engine->GetCashInfoXML();
    const char* names[] = {"rest",  "income", "outcome",      "sales",
                           "return", "total", "check_income", "check_outcome"};
    std::string expected = kDecl + "<m301_cash_info><cash_info";
    for (int k = 0; k < 8; ++k) expected += std::string(" ") + names[k] + "=\"" + cash.substr(k * 11, 11) + "\"";
    expected += "/></m301_cash_info>";
    EXPECT_EQ(doc, expected);
    EXPECT_TRUE(Parse(doc).ok);
    EXPECT_STREQ(h.engine->GetCashInfo(), cash.c_str());

    std::string fiscal = Digits(240, 3);
    h.printer.replies["CFIS"] = DoneReply("CFIS" + fiscal);
    Parsed f = Parse(h.engine->GetFiscalInfoXML());
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.root, "m301_fiscal_info");
    EXPECT_EQ(f.attributes.size(), 20u);
    EXPECT_EQ(f.attributes["total"], fiscal.substr(0, 12));
    EXPECT_EQ(f.attributes["tax8_total"], fiscal.substr(96, 12));
    EXPECT_EQ(f.attributes["untaxed_return"], fiscal.substr(228, 12));

    h.printer.replies["CCAS"] = ErrorReply("SOFTPROTOC");
    h.printer.replies["CFIS"] = ErrorReply("SOFTPROTOC");
    EXPECT_EQ(h.engine->GetCashInfoXML(), kEmptyText);
    EXPECT_TRUE(h.log.Has("F:GetCashInfoXML() Ошибка выполнения"));
    EXPECT_EQ(h.engine->GetFiscalInfoXML(), kEmptyText);
    EXPECT_TRUE(h.log.Has("F:GetFiscalInfoXML() Ошибка выполнения"));
    EXPECT_EQ(h.engine->GetCashInfo(), kEmptyText);
}

// The typed reads agree with the XML documents field by field, count in
// kopecks, and leave their struct as it was when the printer refuses.
TEST(TypedReadings, RegistersAsNumbersAndNothingOnARefusal) {
    Harness h;
    h.Connect();
    // rest 1234.56, income 100.00, outcome 20.05, then sales .. check outcome.
    h.printer.replies["CCAS"] = DoneReply(
        "CCAS"
        "00000123456" "00000010000" "00000002005" "00000099999"
        "00000000001" "00001000000" "00000000300" "00000000040");
    brenvik::CashRegisters cash;
    ASSERT_TRUE(h.engine->ReadCash(cash));
    EXPECT_EQ(cash.rest, 123456);
    EXPECT_EQ(cash.income, 10000);
    EXPECT_EQ(cash.outcome, 2005);
    EXPECT_EQ(cash.sales, 99999);
    EXPECT_EQ(cash.returns, 1);
    EXPECT_EQ(cash.total, 1000000);
    EXPECT_EQ(cash.checkIncome, 300);
    EXPECT_EQ(cash.checkOutcome, 40);

    // Day: total 5000.00, group 1 4000.00, group 8 1.00, untaxed 999.00;
    // returns 12.34 of which group 2 12.34.
    std::string day = "000000500000" "000000400000" + std::string(12 * 6, '0') + "000000000100" +
                      "000000099900" "000000001234" "000000000000" "000000001234" + std::string(12 * 7, '0');
    ASSERT_EQ(day.size(), 240u);
    h.printer.replies["CFIS"] = DoneReply("CFIS" + day);
    brenvik::DayRegisters d;
    ASSERT_TRUE(h.engine->ReadDay(d));
    EXPECT_EQ(d.total, 500000);
    EXPECT_EQ(d.taxTotal[0], 400000);
    EXPECT_EQ(d.taxTotal[7], 100);
    EXPECT_EQ(d.untaxedTotal, 99900);
    EXPECT_EQ(d.returns, 1234);
    EXPECT_EQ(d.taxReturn[0], 0);
    EXPECT_EQ(d.taxReturn[1], 1234);
    EXPECT_EQ(d.untaxedReturn, 0);

    h.printer.replies["CCAS"] = ErrorReply("SOFTPROTOC");
    EXPECT_FALSE(h.engine->ReadCash(cash));
    EXPECT_EQ(cash.rest, 123456);
}

// The closing's sums, and a short or unprogrammed tax record.
TEST(TypedReadings, CheckTotalsAndTaxRecords) {
    const brenvik::CheckTotals t = brenvik::readings::Totals(
        "0000000042" "0000012345" "0000000100" "0000002000" "0000000000"
        "0000000500" "0000000001" "0000000002" "0000000003");
    EXPECT_EQ(t.checkNumber, 42);
    EXPECT_EQ(t.total, 12345);
    EXPECT_EQ(t.onSaleTaxes, 100);
    EXPECT_EQ(t.includedTaxes, 2000);
    EXPECT_EQ(t.returnTotal, 500);
    EXPECT_EQ(t.returnSaleIncludedTaxes, 3);
    // A reply cut short gives zeros past its end, never a read beyond it.
    const brenvik::CheckTotals cut = brenvik::readings::Totals("0000000042" "00000");
    EXPECT_EQ(cut.checkNumber, 42);
    EXPECT_EQ(cut.total, 0);

    const brenvik::TaxGroup a = brenvik::readings::Tax("20240115" "0" "\xC0" "2000");
    EXPECT_TRUE(a.programmed);
    EXPECT_EQ(a.since.year, 2024);
    EXPECT_EQ(a.since.month, 1);
    EXPECT_EQ(a.since.day, 15);
    EXPECT_EQ(a.type, '\xC0');
    EXPECT_EQ(a.rate, 2000);
    EXPECT_FALSE(brenvik::readings::Tax("00000000000000").programmed);
    EXPECT_FALSE(brenvik::readings::Tax("2024011").programmed);
}

// The article reply is cut at a zero byte, which gives the engine an article
// text of any length below the layout's.
struct ArticleCase {
    size_t length;
    bool ok;
    const char* longcode;
};

TEST(ArticleXML, FieldsRunningPastTheEndAreCutThoseBeyondItFail) {
    const std::string text = "0012" "Молоко 2,5% \"Ферма\"     " "1" "10000000" "0000001500" "0000052500";
    ASSERT_EQ(text.size(), 57u);
    // The sale sum and the long code share position 56.
    const std::vector<ArticleCase> cases = {
        {57, true, "0"}, {56, true, ""}, {50, false, nullptr}, {40, false, nullptr}, {0, false, nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        Harness h;
        h.Connect();
        std::string data = Wire("ARTD" + text.substr(0, c.length));
        data.resize(4 + 57, '\0');
        h.printer.replies["ARTD"] = c.length ? DoneReply(data) : ErrorReply("SOFTBADART");
        const char* doc = h.engine->GetArticleInfoXML(12);
        if (!c.ok) {
            EXPECT_EQ(doc, kEmptyText);
            EXPECT_TRUE(h.log.Has("F:GetArticleInfoXML() Ошибка выполнения"));
            continue;
        }
        Parsed p = Parse(doc);
        ASSERT_TRUE(p.ok) << doc;
        EXPECT_EQ(p.root, "m301_article");
        EXPECT_EQ(p.attributes["index"], "0012");
        EXPECT_EQ(p.attributes["longcode"], c.longcode);
        EXPECT_TRUE(h.log.Has("F:GetArticleInfoXML(12)"));
        EXPECT_EQ(p.attributes["salesum"], c.length == 57 ? "0000052500" : "000005250");
        if (c.length == 57) {
            EXPECT_NE(std::string(doc).find("name=\"Молоко 2,5% &quot;Ферма&quot;     \""), std::string::npos);
        }
    }
}

TEST(DocumentsXML, DocumentNumbersWholeFields) {
    Harness h;
    h.Connect();
    std::string doc = h.engine->GetDocumentsInfoXML();
    EXPECT_EQ(doc, kDecl +
                       "<m301_documents_info><documents_info last_check_num=\"0000000042\" "
                       "last_doc_num=\"0000000057\" last_serv_doc_num=\"0000000003\" article_mode=\"1\" "
                       "fiscal_report_made=\"1\" fiscal_report_num=\"0007\"/></m301_documents_info>");
    EXPECT_TRUE(Parse(doc).ok);
    EXPECT_STREQ(h.engine->GetDocumentsInfo(), Printer::GlcnData().c_str());

    h.printer.replies["GLCN"] = ErrorReply("SOFTPROTOC");
    EXPECT_EQ(h.engine->GetDocumentsInfoXML(), kEmptyText);
    EXPECT_TRUE(h.log.Has("F:GetDocumentsInfoXML()="));
}

TEST(CheckResultXML, FromTheClosingReplyOrFailureBeforeAnyClose) {
    Harness h;
    h.Connect();
    EXPECT_EQ(h.engine->GetCheckResultXML(), kEmptyText);
    EXPECT_TRUE(h.log.Has("F:GetCheckResultXML() Ошибка выполнения"));
    std::string data;
    for (int k = 0; k < 9; ++k) data += std::string(9, '0') + static_cast<char>('1' + k);
    h.printer.replies["COMP"] = DoneReply("COMP" + data);
    h.engine->OpenCheck("1");
    h.engine->FiscalLine("Milk", 1, 500, 0, 1, 0, 1);
    h.engine->CloseCheck();
    std::string doc = h.engine->GetCheckResultXML();
    EXPECT_EQ(doc, kDecl +
                       "<m301_check_info><check_info check_number=\"0000000001\" total=\"0000000002\" "
                       "onsale_taxes=\"0000000003\" included_taxes=\"0000000004\" "
                       "saleincluded_taxes=\"0000000005\" return=\"0000000006\" "
                       "return_onsale_taxes=\"0000000007\" return_included_taxes=\"0000000008\" "
                       "return_saleincluded_taxes=\"0000000009\"/></m301_check_info>");
    EXPECT_TRUE(h.log.Has("F:GetCheckResultXML=" + doc));
    EXPECT_TRUE(Parse(doc).ok);
}

TEST(ResultBuffer, ATextResultLastsUntilTheNextOne) {
    Harness h;
    h.Connect();
    const char* first = h.engine->GetPrinterTime();
    std::string second = h.engine->GetDocumentsInfoXML();
    EXPECT_EQ(std::string(first), second);
}

TEST(LinkDown, DocumentsUseWhatIsKeptAndSendNothing) {
    Harness h;
    h.Connect();
    h.engine->Done();
    h.Forget();
    EXPECT_EQ(std::string(h.engine->GetPrinterConfigXML(1)), kDefaultConfig);
    EXPECT_STREQ(h.engine->GetPrinterTime(), "20100614153000");
    EXPECT_EQ(h.engine->GetCashInfoXML(), kEmptyText);  // nothing kept: fails at the second field
    EXPECT_TRUE(h.line.writes.empty());
}

}  // namespace
}  // namespace brenvik::test
