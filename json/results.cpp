#include "json/results.h"

#include <cstdio>

namespace brenvik::results {

namespace {

// A text field of a struct: null when empty.
Json TextOrNull(const char* text) { return text[0] == '\0' ? Json(nullptr) : Json(text); }
Json TextOrNull(const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); }

}  // namespace

std::string MoneyText(int64_t kopecks) {
    const uint64_t magnitude = kopecks < 0 ? 0 - static_cast<uint64_t>(kopecks) : static_cast<uint64_t>(kopecks);
    char text[32];
    std::snprintf(text, sizeof text, "%s%llu.%02llu", kopecks < 0 ? "-" : "",
                  static_cast<unsigned long long>(magnitude / 100), static_cast<unsigned long long>(magnitude % 100));
    return text;
}

void PutAmount(Json& out, const std::string& key, int64_t kopecks) {
    out[key] = kopecks;
    out[key + "Text"] = MoneyText(kopecks);
}

std::string DateText(const brenvik_datetime& t) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", static_cast<int>(t.year), static_cast<int>(t.month),
                  static_cast<int>(t.day));
    return text;
}

std::string TimeText(const brenvik_datetime& t) {
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", static_cast<int>(t.hour), static_cast<int>(t.minute),
                  static_cast<int>(t.second));
    return text;
}

Json Clock(const brenvik_datetime& t) { return {{"date", DateText(t)}, {"time", TimeText(t)}}; }

Json Config(const brenvik_config& c) {
    Json out = {{"serialNumber", c.serial_number}, {"fiscalNumber", c.fiscal_number}, {"owner", c.owner}};
    out["date"] = DateText(c.printer_time);
    out["time"] = TimeText(c.printer_time);
    out["keyPosition"] = std::string(1, c.key_letter != '\0' ? c.key_letter : 'O');
    out["checkNumber"] = c.check_number;
    out["printerVariant"] = c.printer_variant;
    out["firmwareDate"] = c.firmware_date;
    out["currency"] = c.currency;
    out["currencyDate"] = c.currency_date;
    out["decimalPoint"] = c.decimal_point;
    return out;
}

Json Documents(const brenvik_documents& d) {
    return {{"lastCheckNumber", d.last_check_number},
            {"lastDocumentNumber", d.last_document_number},
            {"lastServiceDocumentNumber", d.last_service_document_number},
            {"lastZReportNumber", d.last_z_report_number},
            {"articleMode", d.article_mode},
            {"fiscalReportMade", d.fiscal_report_made != 0}};
}

Json PrinterStatus(const std::string& serialNumber, const std::string& fiscalNumber, const brenvik_documents& d) {
    Json out = {{"serialNumber", TextOrNull(serialNumber)}, {"fiscalNumber", TextOrNull(fiscalNumber)}};
    out.update(Documents(d));
    return out;
}

Json Taxes(const brenvik_taxes& t) {
    Json list = Json::array();
    for (int k = 0; k < 8; ++k) {
        const brenvik_tax& tax = t.tax[k];
        char rate[16];
        std::snprintf(rate, sizeof rate, "%d.%02d", static_cast<int>(tax.rate / 100), static_cast<int>(tax.rate % 100));
        list.push_back({{"group", k + 1},
                        {"programmed", tax.programmed != 0},
                        {"rate", tax.rate},
                        {"rateText", rate},
                        {"type", TextOrNull(tax.type)},
                        {"since", tax.programmed != 0 ? Json(DateText(tax.since)) : Json(nullptr)}});
    }
    return {{"taxes", list}};
}

Json Cash(const brenvik_cash& c) {
    Json out = Json::object();
    const std::pair<const char*, int64_t> rows[] = {
        {"rest", c.rest},   {"income", c.income}, {"outcome", c.outcome},          {"sales", c.sales},
        {"returns", c.returns}, {"total", c.total}, {"checkIncome", c.check_income}, {"checkOutcome", c.check_outcome}};
    for (const auto& row : rows) PutAmount(out, row.first, row.second);
    return out;
}

Json Fiscal(const brenvik_fiscal& f) {
    Json out = Json::object();
    auto groups = [&](const char* key, const int64_t (&sums)[8]) {
        Json amounts = Json::array(), texts = Json::array();
        for (int64_t sum : sums) {
            amounts.push_back(sum);
            texts.push_back(MoneyText(sum));
        }
        out[key] = amounts;
        out[std::string(key) + "Text"] = texts;
    };
    PutAmount(out, "total", f.total);
    groups("taxTotal", f.tax_total);
    PutAmount(out, "untaxedTotal", f.untaxed_total);
    PutAmount(out, "returns", f.returns);
    groups("taxReturn", f.tax_return);
    PutAmount(out, "untaxedReturn", f.untaxed_return);
    return out;
}

Json Article(const brenvik_article& a) {
    Json out = {{"article", a.index}, {"name", a.name}, {"weighed", a.weighed != 0}, {"taxes", a.taxes},
                {"soldQuantity", a.sold_quantity}};
    PutAmount(out, "saleSum", a.sale_sum);
    out["longCode"] = a.long_code;
    return out;
}

Json ReceiptClosed(const brenvik_receipt_result& r) {
    Json out = {{"checkNumber", r.check_number}};
    PutAmount(out, "total", r.total);
    const std::pair<const char*, int64_t> paid[] = {
        {"cash", r.cash}, {"card", r.card}, {"credit", r.credit}, {"packing", r.packing}, {"change", r.change}};
    for (const auto& row : paid) PutAmount(out, row.first, row.second);
    out["date"] = DateText(r.printer_time);
    out["time"] = TimeText(r.printer_time);
    return out;
}

Json Operation(const std::string& kind, bool cashIn, int64_t amount) {
    Json out = {{"operation", kind}};
    if (kind == "cash") {
        out["direction"] = cashIn ? "in" : "out";
        PutAmount(out, "amount", amount);
    }
    return out;
}

const char* StatusName(brenvik_status status) {
    switch (status) {
    case BRENVIK_OK: return "ok";
    case BRENVIK_E_ARGUMENT: return "invalid";
    case BRENVIK_E_REFUSED: return "refused";
    case BRENVIK_E_NO_CONNECTION: return "no-connection";
    case BRENVIK_E_STATE: return "wrong-state";
    case BRENVIK_E_MEMORY: return "out-of-memory";
    case BRENVIK_E_UNSUPPORTED: return "unsupported";
    case BRENVIK_E_UNCERTAIN: return "unknown";
    case BRENVIK_E_INTERNAL: return "internal";
    }
    return "internal";
}

const char* HttpStatusName(int httpStatus) {
    switch (httpStatus) {
    case 400: return "invalid";
    case 401: return "unauthorized";
    case 403: return "forbidden";
    case 404: return "not-found";
    case 409: return "conflict";
    case 413:
    case 431: return "too-large";
    case 415: return "unsupported-media-type";
    case 422: return "refused";
    case 503: return "unavailable";
    case 504: return "unknown";
    default: return httpStatus >= 500 ? "internal" : "invalid";
    }
}

Json Error(const Failure& f, const std::string& lang) {
    const char* meaning = f.number != 0 ? brenvik_error_meaning(f.number, lang.c_str()) : "";
    const char* advice = f.number != 0 ? brenvik_error_advice(f.number, lang.c_str()) : "";
    Json error = {{"status", f.status.empty() ? "internal" : f.status},
                  {"number", f.number},
                  {"word", TextOrNull(f.word)}};
    if (f.number != 0) {
        error["message"] = meaning[0] != '\0' ? std::string(meaning) : f.message;
        error["engineMessage"] = TextOrNull(f.message);
    } else {
        error["message"] = f.message;
        error["engineMessage"] = nullptr;
    }
    error["advice"] = !f.advice.empty() ? Json(f.advice) : TextOrNull(advice);
    error["path"] = f.hasPath ? Json(f.path) : Json(nullptr);
    if (f.problems.is_array()) error["errors"] = f.problems;
    return {{"error", error}};
}

Failure FailureOf(brenvik_status status, const brenvik_error& e) {
    Failure f;
    f.status = StatusName(status);
    f.number = e.number;
    f.word = e.word;
    f.message = e.message;
    // The handle's advice is the number's own unless the library had one
    // of its own (a port's): only that one is kept, so that the language
    // chosen tells the number's.
    if (e.number == 0 || std::string(e.advice) != brenvik_error_advice(e.number, "en")) f.advice = e.advice;
    if (e.argument[0] == '/') {
        f.path = e.argument;
        f.hasPath = true;
    }
    return f;
}

}  // namespace brenvik::results
