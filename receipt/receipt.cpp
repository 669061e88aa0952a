// Parsing and validating the receipt document. Every refusal names its JSON
// path; nothing here talks to a printer.
#include "receipt/receipt.h"

#include <nlohmann/json.hpp>

#include <initializer_list>
#include <set>

#include "capi/cp1251.h"
#include "receipt/amount.h"

namespace brenvik::receipt {

namespace {

using nlohmann::json;

// Thrown to the top of Parse with the path and reason of the first problem.
struct Refusal {
    std::string path;
    std::string message;
};

[[noreturn]] void Refuse(const std::string& path, const std::string& message) { throw Refusal{path, message}; }

std::string Join(const std::string& path, const std::string& key) { return path.empty() ? key : path + "." + key; }
std::string Index(const std::string& path, size_t i) { return path + "[" + std::to_string(i) + "]"; }

const char* TypeName(const json& v) {
    switch (v.type()) {
    case json::value_t::null: return "null";
    case json::value_t::object: return "an object";
    case json::value_t::array: return "an array";
    case json::value_t::string: return "a string";
    case json::value_t::boolean: return "a boolean";
    case json::value_t::number_float: return "a floating-point number";
    default: return "a number";
    }
}

void RequireObject(const json& v, const std::string& path, std::initializer_list<const char*> known) {
    if (!v.is_object()) Refuse(path, std::string("must be an object, not ") + TypeName(v));
    for (const auto& entry : v.items()) {
        bool found = false;
        for (const char* k : known) found = found || entry.key() == k;
        if (!found) Refuse(Join(path, entry.key()), "unknown field");
    }
}

const json* Member(const json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

const json& Required(const json& object, const std::string& path, const char* key) {
    const json* v = Member(object, key);
    if (v == nullptr) Refuse(Join(path, key), "missing");
    return *v;
}

// A UTF-8 string converted for the printer, refused whole when it does not
// fit: never cut.
std::string Text(const json& v, const std::string& path, size_t limit, bool allowEmpty) {
    if (!v.is_string()) Refuse(path, std::string("must be a string, not ") + TypeName(v));
    const std::string& utf8 = v.get_ref<const std::string&>();
    if (!allowEmpty && utf8.empty()) Refuse(path, "must not be empty");
    text::ToCp1251Result converted = text::Utf8ToCp1251(utf8.c_str(), limit);
    // An embedded zero would end the text early: a silent cut.
    if (converted.status == text::Conversion::kOk && utf8.find('\0') != std::string::npos)
        Refuse(path, "must not contain a zero character");
    if (converted.status != text::Conversion::kOk) {
        std::string message = text::RefusalMessage(converted, "", limit);
        Refuse(path, message.substr(2));  // without the empty argument name's ": "
    }
    return converted.bytes;
}

bool Boolean(const json& object, const std::string& path, const char* key, bool fallback) {
    const json* v = Member(object, key);
    if (v == nullptr) return fallback;
    if (!v->is_boolean()) Refuse(Join(path, key), std::string("must be true or false, not ") + TypeName(*v));
    return v->get<bool>();
}

int64_t Integer(const json& v, const std::string& path, int64_t low, int64_t high) {
    if (!v.is_number_integer()) Refuse(path, std::string("must be an integer, not ") + TypeName(v));
    const std::string range = "must be " + std::to_string(low) + " to " + std::to_string(high);
    if (v.is_number_unsigned() && v.get<uint64_t>() > static_cast<uint64_t>(high)) Refuse(path, range);
    const int64_t value = v.get<int64_t>();
    if (value < low || value > high) Refuse(path, range);
    return value;
}

// An amount: a decimal string of currency units ("12.50") or an integer of
// kopecks. Floating-point numbers are refused: 0.1 has no exact binary form.
int64_t Amount(const json& v, const std::string& path, int64_t max) {
    int64_t kopecks = 0;
    if (v.is_string()) {
        std::string why;
        if (!ParseAmountText(v.get_ref<const std::string&>(), max, kopecks, why)) Refuse(path, why);
        return kopecks;
    }
    if (v.is_number_float())
        Refuse(path, "an amount is a decimal string such as \"12.50\" or an integer of kopecks, "
                     "never a floating-point number");
    if (v.is_number_integer()) {
        if (v.is_number_integer() && !v.is_number_unsigned() && v.get<int64_t>() < 0)
            Refuse(path, "an amount must not be negative");
        if (v.get<uint64_t>() > static_cast<uint64_t>(max)) Refuse(path, "an amount is too large");
        return v.get<int64_t>();
    }
    Refuse(path, std::string("an amount must be a string or an integer, not ") + TypeName(v));
}

void Taxes(const json& v, const std::string& path, Item& item) {
    if (v.is_number_integer()) {
        item.tax1 = static_cast<int32_t>(Integer(v, path, 1, 8));
        return;
    }
    if (!v.is_array()) Refuse(path, std::string("must be a tax group 1-8 or a list of one or two, not ") + TypeName(v));
    if (v.empty() || v.size() > 2) Refuse(path, "a line takes one or two tax groups");
    item.tax1 = static_cast<int32_t>(Integer(v[0], Index(path, 0), 1, 8));
    if (v.size() == 2) {
        item.tax2 = static_cast<int32_t>(Integer(v[1], Index(path, 1), 1, 8));
        if (item.tax2 == item.tax1) Refuse(Index(path, 1), "the same tax group twice");
    }
}

Item ParseItem(const json& v, const std::string& path) {
    RequireObject(v, path, {"name", "quantity", "price", "tax", "article", "weighed", "discount", "surcharge",
                            "discountName"});
    Item item;
    item.name = Text(Required(v, path, "name"), Join(path, "name"), kNameLimit, false);
    item.weighed = Boolean(v, path, "weighed", false);
    const int64_t maxQuantity = item.weighed ? kMaxQuantity : 99999;
    item.quantity = static_cast<int32_t>(Integer(Required(v, path, "quantity"), Join(path, "quantity"), 1, maxQuantity));
    item.price = static_cast<int32_t>(Amount(Required(v, path, "price"), Join(path, "price"), kMaxPrice));
    if (const json* tax = Member(v, "tax")) Taxes(*tax, Join(path, "tax"), item);
    if (const json* article = Member(v, "article"))
        item.article = static_cast<int32_t>(Integer(*article, Join(path, "article"), 0, kMaxArticle));

    const int64_t sum = PrinterEngine::LineSum(item.quantity, item.price, item.weighed);
    if (sum >= INT32_MAX) Refuse(path, "the line's sum is too large");
    item.sum = sum;
    const json* discount = Member(v, "discount");
    const json* surcharge = Member(v, "surcharge");
    if (discount != nullptr && surcharge != nullptr) Refuse(Join(path, "surcharge"), "a line has a discount or a surcharge, not both");
    if (discount != nullptr) {
        item.discountDirection = 0;
        item.discount = static_cast<int32_t>(Amount(*discount, Join(path, "discount"), kMaxPrice));
        if (item.discount > sum) Refuse(Join(path, "discount"), "the discount is larger than the line's sum");
        item.sum -= item.discount;
    } else if (surcharge != nullptr) {
        item.discountDirection = 1;
        item.discount = static_cast<int32_t>(Amount(*surcharge, Join(path, "surcharge"), kMaxPrice));
        item.sum += item.discount;
    }
    if (const json* name = Member(v, "discountName")) {
        if (item.discountDirection == 2) Refuse(Join(path, "discountName"), "only with a discount or a surcharge");
        item.discountName = Text(*name, Join(path, "discountName"), kDiscountNameLimit, true);
    }
    return item;
}

TextLine ParseText(const json& v, const std::string& path) {
    RequireObject(v, path, {"text", "before", "bold", "journal"});
    TextLine line;
    line.text = Text(Required(v, path, "text"), Join(path, "text"), kTextLimit, true);
    line.before = Boolean(v, path, "before", false);
    line.bold = Boolean(v, path, "bold", false);
    line.journal = Boolean(v, path, "journal", false);
    return line;
}

void ParsePayments(const json& v, Receipt& r) {
    const std::string path = "payments";
    RequireObject(v, path, {"cash", "card", "credit", "packing"});
    Payments& p = r.payments;
    p.given = true;
    int64_t* fields[] = {&p.cash, &p.card, &p.credit, &p.packing};
    const char* names[] = {"cash", "card", "credit", "packing"};
    for (size_t k = 0; k < 4; ++k) {
        if (const json* amount = Member(v, names[k])) *fields[k] = Amount(*amount, Join(path, names[k]), kMaxTotal);
    }
    if (p.Sum() > kMaxTotal) Refuse(path, "the payments are too large");
    if (p.Sum() < r.total)
        Refuse(path, "the payments (" + std::to_string(p.Sum()) + " kopecks) do not cover the total (" +
                         std::to_string(r.total) + " kopecks)");
    // Only cash can be handed back.
    if (p.card + p.credit + p.packing > r.total)
        Refuse(path, "card, credit and packing together exceed the total; only cash gives change");
}

void ParseDocument(const json& doc, Receipt& r) {
    RequireObject(doc, "", {"requestId", "operator", "type", "department", "returnCheckNumber", "items", "texts",
                            "payments"});
    if (const json* id = Member(doc, "requestId")) {
        if (!id->is_string()) Refuse("requestId", std::string("must be a string, not ") + TypeName(*id));
        r.requestId = id->get<std::string>();
        if (r.requestId.empty() || r.requestId.size() > kRequestIdLimit)
            Refuse("requestId", "must be 1 to " + std::to_string(kRequestIdLimit) + " bytes");
    }
    if (const json* op = Member(doc, "operator")) {
        RequireObject(*op, "operator", {"name", "password"});
        r.hasOperator = true;
        r.cashier = Text(Required(*op, "operator", "name"), "operator.name", kCashierLimit, true);
        r.password = Text(Required(*op, "operator", "password"), "operator.password", kPasswordLimit, true);
    }
    const json& type = Required(doc, "", "type");
    if (!type.is_string() || (type != "sale" && type != "return")) Refuse("type", "must be \"sale\" or \"return\"");
    r.isReturn = type == "return";
    if (const json* department = Member(doc, "department"))
        r.department = Text(*department, "department", kDepartmentLimit, false);
    if (const json* numbers = Member(doc, "returnCheckNumber")) {
        if (!r.isReturn) Refuse("returnCheckNumber", "only in a return");
        r.returnCheckNumbers = Text(*numbers, "returnCheckNumber", kReturnNumbersLimit, false);
    }

    const json& items = Required(doc, "", "items");
    if (!items.is_array()) Refuse("items", std::string("must be an array, not ") + TypeName(items));
    if (items.empty()) Refuse("items", "a check needs at least one item");
    if (items.size() > kMaxItems) Refuse("items", "too many lines: at most " + std::to_string(kMaxItems));
    for (size_t i = 0; i < items.size(); ++i) {
        r.items.push_back(ParseItem(items[i], Index("items", i)));
        r.total += r.items.back().sum;
        if (r.total > kMaxTotal) Refuse(Index("items", i), "the check's total is too large");
    }
    if (const json* texts = Member(doc, "texts")) {
        if (!texts->is_array()) Refuse("texts", std::string("must be an array, not ") + TypeName(*texts));
        if (texts->size() > kMaxTexts) Refuse("texts", "too many lines: at most " + std::to_string(kMaxTexts));
        for (size_t i = 0; i < texts->size(); ++i) r.texts.push_back(ParseText((*texts)[i], Index("texts", i)));
    }
    if (const json* payments = Member(doc, "payments")) ParsePayments(*payments, r);
}

}  // namespace

bool Parse(const char* text, Receipt& out, Problem& problem) {
    out = Receipt{};
    problem = Problem{};
    if (text == nullptr) {
        problem.message = "no document";
        return false;
    }
    try {
        const json doc = json::parse(text);
        ParseDocument(doc, out);
        return true;
    } catch (const json::parse_error& e) {
        problem.message = std::string("malformed JSON: ") + e.what();
    } catch (const Refusal& r) {
        problem.path = r.path;
        problem.message = r.message;
    } catch (const json::exception& e) {
        problem.message = e.what();
    }
    out = Receipt{};
    return false;
}

}  // namespace brenvik::receipt
