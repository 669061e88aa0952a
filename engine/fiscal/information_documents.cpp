// Information documents: the printer's data as plain text or as small XML
// documents built by fixed character positions.
//
// Every document is built in a local string and copied into ResultBuffer
// only when it fits whole: a cut document would be malformed XML.
#include <algorithm>
#include <cstring>
#include <string>

#include "engine/fiscal/fiscal_helpers.h"
#include "engine/printer_engine.h"

namespace brenvik {

using fiscal::XmlEscape;

namespace {

const char kEmptyTaxRecord[] = "00000000000000";

// Positional fields of the data texts: offset and width.
struct Field {
    size_t offset;
    size_t width;
};

constexpr Field kArticleFields[] = {{0, 4}, {4, 24}, {28, 1}, {29, 8}, {37, 10}, {47, 10}, {56, 9}};
constexpr const char* kArticleNames[] = {"index", "name", "dividual", "taxes", "soldqty", "salesum",
                                         "longcode"};
constexpr const char* kCashNames[] = {"rest",   "income", "outcome",      "sales",
                                      "return", "total",  "check_income", "check_outcome"};
constexpr const char* kFiscalNames[] = {
    "total",       "tax1_total",  "tax2_total",  "tax3_total",  "tax4_total",
    "tax5_total",  "tax6_total",  "tax7_total",  "tax8_total",  "untaxed_total",
    "return",      "tax1_return", "tax2_return", "tax3_return", "tax4_return",
    "tax5_return", "tax6_return", "tax7_return", "tax8_return", "untaxed_return"};
constexpr const char* kCheckNames[] = {"check_number",       "total",
                                       "onsale_taxes",       "included_taxes",
                                       "saleincluded_taxes", "return",
                                       "return_onsale_taxes", "return_included_taxes",
                                       "return_saleincluded_taxes"};

// Character `i` of a fixed text, or nothing when the text ends before it.
std::string CharAt(const char* text, size_t i) {
    size_t length = std::strlen(text);
    return i < length ? std::string(1, text[i]) : std::string();
}

// 20100614 -> 06/14/10
std::string DateRule(const char* d) {
    return CharAt(d, 4) + CharAt(d, 5) + "/" + CharAt(d, 6) + CharAt(d, 7) + "/" + CharAt(d, 2) +
           CharAt(d, 3);
}

// 153000 -> 15:30:00
std::string TimeRule(const char* t) {
    return CharAt(t, 0) + CharAt(t, 1) + ":" + CharAt(t, 2) + CharAt(t, 3) + ":" + CharAt(t, 4) +
           CharAt(t, 5);
}

// 2000 -> 20.00
std::string RateRule(const char* r) { return CharAt(r, 0) + CharAt(r, 1) + "." + CharAt(r, 2) + CharAt(r, 3); }

// ` name="value"` with the value escaped.
std::string Attribute(const char* name, const std::string& value) {
    return std::string(" ") + name + "=\"" + XmlEscape(value) + "\"";
}

// Cuts the fields out of `source` into attributes. A field running past the
// end of the text is cut there; one starting beyond the end fails the whole
// document (false).
bool CutFields(const char* source, const Field* fields, const char* const* names, size_t count,
               std::string& attributes) {
    const size_t length = std::strlen(source);
    for (size_t k = 0; k < count; ++k) {
        if (fields[k].offset > length) return false;
        attributes += Attribute(names[k], std::string(source + fields[k].offset,
                                                      std::min(fields[k].width, length - fields[k].offset)));
    }
    return true;
}

// Fields of equal width laid end to end.
bool CutEvenFields(const char* source, size_t width, const char* const* names, size_t count,
                   std::string& attributes) {
    Field fields[20];
    for (size_t k = 0; k < count && k < 20; ++k) fields[k] = {k * width, width};
    return CutFields(source, fields, names, count < 20 ? count : 20, attributes);
}

// Copies a finished document into ResultBuffer; a document that does not
// fit whole fails with its failure line.
const char* PublishDocument(PrinterEngine& e, const std::string& document, const char* operation,
                                   bool built) {
    if (!built || document.size() >= sizeof e.ResultBuffer) {
        e.WriteLog("F:%s() Ошибка выполнения", operation);
        return kEmptyText;
    }
    std::memcpy(e.ResultBuffer, document.c_str(), document.size() + 1);
    return e.ResultBuffer;
}

}  // namespace

const char* PrinterEngine::GetPrinterSerialNumber() { return SerialNumber; }

const char* PrinterEngine::CreateTaxesForConfigXML() {
    std::string entries;
    for (size_t slot = 0; slot < 8; ++slot) {
        const char* record = TaxRateTable[slot];
        if (std::strcmp(record, kEmptyTaxRecord) == 0) continue;
        const char* rate = std::strlen(record) > 10 ? record + 10 : "";
        entries += "<tax" + Attribute("index", std::to_string(slot)) + Attribute("date", DateRule(record)) +
                   Attribute("type", CharAt(record, 9)) + Attribute("value", RateRule(rate)) + "/>";
    }
    // Eight entries are far below the buffer; the bound is kept all the same.
    CopyText(ResultBuffer, sizeof ResultBuffer, entries.c_str());
    WriteLog("F:CreateTaxesForConfigXML()=%s", ResultBuffer);
    return ResultBuffer;
}

const char* PrinterEngine::GetPrinterConfigXML(int32_t refreshFromPrinter) {
    WriteLog("F:GetPrinterConfigXML(%i)", refreshFromPrinter);
    if (refreshFromPrinter == 1) ReadPrinterConfig();
    if (!Succeeded()) return kEmptyText;
    if (configBad_) {
        RaiseError(kErrBadConfig);
        return kEmptyText;
    }
    std::string document = "<?xml version=\"1.0\"?><m301_printer_config><common";
    document += Attribute("SerialNumber", SerialNumber);
    document += Attribute("FiscalNumber", FiscalNumber);
    document += Attribute("Owner", Owner);
    document += Attribute("date", DateRule(PrinterDate));
    document += Attribute("time", TimeRule(PrinterTime));
    document += Attribute("KeyPosition", fiscal::KeyLetter(KeyPosition[0]));
    document += " MaxArticles=\"15516\"/><money";
    document += Attribute("date", DateRule(CurrencyDate));
    document += Attribute("DecPointPosition", DecPointPosition);
    document += Attribute("name", CurrencyName);
    document += "/><taxes>";
    document += CreateTaxesForConfigXML();
    document += "</taxes></m301_printer_config>";
    const char* result = PublishDocument(*this, document, "GetPrinterConfigXML", true);
    if (result != kEmptyText) WriteLog("F:GetPrinterConfigXML()=%s", result);
    return result;
}

const char* PrinterEngine::GetPrinterConfig() {
    WriteLog("F:GetPrinterConfig()");
    ReadPrinterConfig();
    // Without the tag and the trailing length byte there is nothing left.
    if (!Succeeded() || sCONf.size() < 5) return kEmptyText;
    const char* result = ToResult(sCONf.substr(4, sCONf.size() - 5).c_str());
    WriteLog("F:GetPrinterConfig()=%s", result);
    return result;
}

int32_t PrinterEngine::GetPrinterKeyPosition() {
    ReadPrinterConfig();
    if (!Succeeded()) return -1;
    return fiscal::KeyNumber(KeyPosition[0]);
}

const char* PrinterEngine::GetPrinterTime() {
    ReadPrinterConfig();
    if (!Succeeded()) return kEmptyText;
    WriteLog("F:GetPrinterTime()=%s %s", PrinterDate, PrinterTime);
    return ToResult((std::string(PrinterDate) + PrinterTime).c_str());
}

const char* PrinterEngine::GetTaxesInfoXML() {
    WriteLog("F:GetTaxesInfoXML()");
    GetTaxesInfo();
    std::string document = "<?xml version=\"1.0\"?><m301_taxes><taxes>";
    document += CreateTaxesForConfigXML();
    document += "</taxes></m301_taxes>";
    const char* result = PublishDocument(*this, document, "GetTaxesInfoXML", true);
    if (result != kEmptyText) WriteLog("F:GetTaxesInfoXML()=%s", result);
    return result;
}

const char* PrinterEngine::GetArticleInfoXML(int32_t article) {
    WriteLog("F:GetArticleInfoXML(%i)", article);
    const std::string source = fiscal::OrEmpty(GetArticleInfo(article));
    std::string attributes;
    bool built = CutFields(source.c_str(), kArticleFields, kArticleNames, 7, attributes);
    std::string document =
        "<?xml version=\"1.0\"?><m301_article><article" + attributes + "/></m301_article>";
    const char* result = PublishDocument(*this, document, "GetArticleInfoXML", built);
    if (result != kEmptyText) WriteLog("F:GetArticleInfoXML()=%s", result);
    return result;
}

const char* PrinterEngine::GetCashInfo() {
    SimpleCommand("F:CCAS() Запрос информации о движении средств по кассе.", "CCAS");
    return Succeeded() ? CashInfoText : kEmptyText;
}

const char* PrinterEngine::GetFiscalInfo() {
    SimpleCommand("F:CFIS() Запрос текущего состояния дневных фискальных регистров..",
                          "CFIS");
    return Succeeded() ? FiscalInfoText : kEmptyText;
}

const char* PrinterEngine::GetDocumentsInfo() {
    SimpleCommand("F:GLCN() Запрос номеров чеков, документов, отчетов", "GLCN");
    return Succeeded() ? DocumentNumbersText : kEmptyText;
}

const char* PrinterEngine::GetCashInfoXML() {
    WriteLog("F:GetCashInfoXML()");
    const std::string source = GetCashInfo();
    std::string attributes;
    bool built = CutEvenFields(source.c_str(), 11, kCashNames, 8, attributes);
    std::string document =
        "<?xml version=\"1.0\"?><m301_cash_info><cash_info" + attributes + "/></m301_cash_info>";
    const char* result = PublishDocument(*this, document, "GetCashInfoXML", built);
    if (result != kEmptyText) WriteLog("F:GetCashInfoXML()=%s", result);
    return result;
}

const char* PrinterEngine::GetFiscalInfoXML() {
    WriteLog("F:GetFiscalInfoXML()");
    const std::string source = GetFiscalInfo();
    std::string attributes;
    bool built = CutEvenFields(source.c_str(), 12, kFiscalNames, 20, attributes);
    std::string document =
        "<?xml version=\"1.0\"?><m301_fiscal_info><fiscal_info" + attributes + "/></m301_fiscal_info>";
    const char* result = PublishDocument(*this, document, "GetFiscalInfoXML", built);
    if (result != kEmptyText) WriteLog("F:GetFiscalInfoXML()=%s", result);
    return result;
}

const char* PrinterEngine::GetDocumentsInfoXML() {
    WriteLog("F:GetDocumentsInfoXML()");
    GetDocumentsInfo();
    const char* result = kEmptyText;
    if (Succeeded()) {
        std::string document = "<?xml version=\"1.0\"?><m301_documents_info><documents_info";
        document += Attribute("last_check_num", LastCheckNumber);
        document += Attribute("last_doc_num", LastDocNumber);
        document += Attribute("last_serv_doc_num", LastServDocNumber);
        document += Attribute("article_mode", ArticleMode);
        document += Attribute("fiscal_report_made", FiscalReportMade);
        document += Attribute("fiscal_report_num", LastZReportNumber);
        document += "/></m301_documents_info>";
        result = PublishDocument(*this, document, "GetDocumentsInfoXML", true);
    }
    WriteLog("F:GetDocumentsInfoXML()=%s", result);
    return result;
}

const char* PrinterEngine::GetCheckResultXML() {
    WriteLog("F:GetCheckResultXML()");
    std::string attributes;
    bool built = CutEvenFields(CheckResultText, 10, kCheckNames, 9, attributes);
    std::string document =
        "<?xml version=\"1.0\"?><m301_check_info><check_info" + attributes + "/></m301_check_info>";
    const char* result = PublishDocument(*this, document, "GetCheckResultXML", built);
    if (result != kEmptyText) WriteLog("F:GetCheckResultXML=%s", result);
    return result;
}

}  // namespace brenvik
