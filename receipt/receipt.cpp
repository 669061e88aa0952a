// Parsing and validating the receipt document. Every refusal names its JSON
// Pointer, and every problem of a document is found in one reading; nothing
// here talks to a printer (a connected one's limits and tax
// groups are what the engine read at connection).
#include "receipt/receipt.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "codepage/cp1251.h"
#include "receipt/amount.h"

namespace brenvik::receipt {

namespace {

using nlohmann::json;

// Thrown by a check to the Try that runs it, with the path and reason of
// the problem; the Try records it and the document's other parts are
// checked on.
struct Refusal {
    std::string path;
    std::string message;
};

[[noreturn]] void Refuse(const std::string& path, const std::string& message) { throw Refusal{path, message}; }

// Every problem of a document, in the order they are checked.
class Problems {
public:
    void Add(const std::string& path, const std::string& message) {
        if (list_.size() < kMaxProblems) {
            list_.push_back(Problem{path, message});
        } else {
            ++unlisted_;
        }
    }
    // Runs one check; false (and recorded) when it refuses.
    template <class Check>
    bool Try(Check&& check) {
        try {
            check();
            return true;
        } catch (const Refusal& r) {
            Add(r.path, r.message);
            return false;
        }
    }
    size_t Count() const { return list_.size() + unlisted_; }
    std::vector<Problem> Take() {
        if (unlisted_ > 0) {
            // The last place says how many are left out.
            list_.back() = Problem{"", std::to_string(unlisted_ + 1) + " more problems are not listed"};
        }
        return std::move(list_);
    }

private:
    std::vector<Problem> list_;
    size_t unlisted_ = 0;
};

// What a document's texts are checked against; `where` follows the limit
// in a refusal, naming whose limit it is.
struct Rules {
    const TextLimits& limits;
    const char* where;
};

// JSON Pointers (RFC 6901): "/items/2/price"; "" is the whole document.
std::string Join(const std::string& path, const std::string& key) {
    std::string escaped;
    for (char c : key) {
        if (c == '~') {
            escaped += "~0";
        } else if (c == '/') {
            escaped += "~1";
        } else {
            escaped += c;
        }
    }
    return path + "/" + escaped;
}
std::string Index(const std::string& path, size_t i) { return path + "/" + std::to_string(i); }

// A field name the caller chose can be anything: a pointer names it when
// it is short and printable, else the refusal names it, shortened, at its
// object's path.
constexpr size_t kKeyShown = 40;
bool Showable(const std::string& key) {
    if (key.size() > kKeyShown) return false;
    for (char c : key)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    return true;
}
std::string Quoted(const std::string& key) {
    std::string shown = json(key).dump(-1, ' ', true, json::error_handler_t::replace);
    if (shown.size() > kKeyShown) shown = shown.substr(0, kKeyShown - 4) + "...\"";
    return shown;
}
void RefuseKey(const std::string& path, const std::string& key, const std::string& message) {
    if (Showable(key)) Refuse(Join(path, key), message);
    Refuse(path, "field " + Quoted(key) + ": " + message);
}

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

// An object with only `known` fields: false when it is no object; every
// unknown field is a problem of its own.
bool Fields(const json& v, const std::string& path, std::initializer_list<const char*> known, Problems& problems) {
    if (!v.is_object()) {
        problems.Add(path, std::string("must be an object, not ") + TypeName(v));
        return false;
    }
    for (const auto& entry : v.items()) {
        bool found = false;
        for (const char* k : known) found = found || entry.key() == k;
        if (!found) problems.Try([&] { RefuseKey(path, entry.key(), "unknown field"); });
    }
    return true;
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
// fit: never cut. An embedded NUL counts as the character it is.
std::string Text(const json& v, const std::string& path, size_t limit, bool allowEmpty, const Rules& rules) {
    if (!v.is_string()) Refuse(path, std::string("must be a string, not ") + TypeName(v));
    const std::string& utf8 = v.get_ref<const std::string&>();
    if (!allowEmpty && utf8.empty()) Refuse(path, "must not be empty");
    const text::ToCp1251Result converted = text::Utf8ToCp1251(utf8, limit);
    if (converted.status == text::Conversion::kTooLong) Refuse(path, text::Describe(converted, limit) + rules.where);
    if (converted.status != text::Conversion::kOk) Refuse(path, text::Describe(converted, limit));
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

// One line of "items"; false when any of it is wrong (each problem
// recorded). Checks that need a value wait for it to be right.
bool ParseItem(const json& v, const std::string& path, const Rules& rules, Item& item, Problems& problems) {
    const size_t before = problems.Count();
    if (!Fields(v, path,
                {"name", "quantity", "price", "tax", "article", "weighed", "discount", "surcharge", "discountName"},
                problems))
        return false;
    problems.Try([&] { item.weighed = Boolean(v, path, "weighed", false); });
    // Weighed goods have the shorter name in some line formats.
    problems.Try([&] {
        item.name = Text(Required(v, path, "name"), Join(path, "name"),
                         item.weighed ? rules.limits.weighedName : rules.limits.pieceName, false, rules);
    });
    const int64_t maxQuantity = item.weighed ? kMaxQuantity : 99999;
    const bool quantity = problems.Try([&] {
        item.quantity =
            static_cast<int32_t>(Integer(Required(v, path, "quantity"), Join(path, "quantity"), 1, maxQuantity));
    });
    const bool price = problems.Try([&] {
        item.price = static_cast<int32_t>(Amount(Required(v, path, "price"), Join(path, "price"), kMaxPrice));
    });
    if (const json* tax = Member(v, "tax")) problems.Try([&] { Taxes(*tax, Join(path, "tax"), item); });
    if (const json* article = Member(v, "article"))
        problems.Try([&] { item.article = static_cast<int32_t>(Integer(*article, Join(path, "article"), 0, kMaxArticle)); });

    const bool summed = quantity && price && problems.Try([&] {
        const int64_t sum = PrinterEngine::LineSum(item.quantity, item.price, item.weighed);
        if (sum >= INT32_MAX) Refuse(path, "the line's sum is too large");
        item.sum = sum;
    });
    const json* discount = Member(v, "discount");
    const json* surcharge = Member(v, "surcharge");
    if (discount != nullptr && surcharge != nullptr) {
        problems.Add(Join(path, "surcharge"), "a line has a discount or a surcharge, not both");
    } else if (discount != nullptr) {
        item.discountDirection = 0;
        problems.Try([&] {
            item.discount = static_cast<int32_t>(Amount(*discount, Join(path, "discount"), kMaxPrice));
            if (summed && item.discount > item.sum)
                Refuse(Join(path, "discount"), "the discount is larger than the line's sum");
            item.sum -= item.discount;
        });
    } else if (surcharge != nullptr) {
        item.discountDirection = 1;
        problems.Try([&] {
            item.discount = static_cast<int32_t>(Amount(*surcharge, Join(path, "surcharge"), kMaxPrice));
            item.sum += item.discount;
        });
    }
    if (const json* name = Member(v, "discountName")) {
        problems.Try([&] {
            if (discount == nullptr && surcharge == nullptr)
                Refuse(Join(path, "discountName"), "only with a discount or a surcharge");
            item.discountName = Text(*name, Join(path, "discountName"), rules.limits.discountName, true, rules);
        });
    }
    return problems.Count() == before;
}

void ParseText(const json& v, const std::string& path, const Rules& rules, TextLine& line, Problems& problems) {
    if (!Fields(v, path, {"text", "before", "bold", "journal"}, problems)) return;
    problems.Try([&] {
        line.text = Text(Required(v, path, "text"), Join(path, "text"), rules.limits.freeText, true, rules);
    });
    problems.Try([&] { line.before = Boolean(v, path, "before", false); });
    problems.Try([&] { line.bold = Boolean(v, path, "bold", false); });
    problems.Try([&] { line.journal = Boolean(v, path, "journal", false); });
}

// `totalKnown`: every item was right, so the payments can be held
// against the total.
void ParsePayments(const json& v, Receipt& r, bool totalKnown, Problems& problems) {
    const std::string path = "/payments";
    if (!Fields(v, path, {"cash", "card", "credit", "packing"}, problems)) return;
    Payments& p = r.payments;
    p.given = true;
    int64_t* fields[] = {&p.cash, &p.card, &p.credit, &p.packing};
    const char* names[] = {"cash", "card", "credit", "packing"};
    bool amounts = true;
    for (size_t k = 0; k < 4; ++k) {
        if (const json* amount = Member(v, names[k]))
            amounts = problems.Try([&] { *fields[k] = Amount(*amount, Join(path, names[k]), kMaxTotal); }) && amounts;
    }
    if (!amounts) return;
    problems.Try([&] {
        if (p.Sum() > kMaxTotal) Refuse(path, "the payments are too large");
        if (!totalKnown) return;
        if (p.Sum() < r.total)
            Refuse(path, "the payments (" + std::to_string(p.Sum()) + " kopecks) do not cover the total (" +
                             std::to_string(r.total) + " kopecks)");
        // Only cash can be handed back.
        if (p.card + p.credit + p.packing > r.total)
            Refuse(path, "card, credit and packing together exceed the total; only cash gives change");
    });
}

void RequestId(const json& id, Receipt& r) {
    if (!id.is_string()) Refuse("/requestId", std::string("must be a string, not ") + TypeName(id));
    r.requestId = id.get<std::string>();
    // One rule wherever an id is taken: it is shown in logs, answers
    // and URLs, so it stays plain.
    if (r.requestId.empty() || r.requestId.size() > kRequestIdLimit)
        Refuse("/requestId", "must be 1 to " + std::to_string(kRequestIdLimit) + " characters");
    const std::string& given = r.requestId;
    for (size_t i = 0, n = 1; i < given.size(); ++n) {
        const auto c = static_cast<unsigned char>(given[i]);
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                           c == '_' || c == ':' || c == '-';
        if (plain) {
            ++i;
            continue;
        }
        // The document is well-formed UTF-8 by now: name the character.
        const size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        char32_t cp = length == 1 ? c : c & (0x7F >> length);
        for (size_t k = 1; k < length && i + k < given.size(); ++k) cp = (cp << 6) | (given[i + k] & 0x3F);
        Refuse("/requestId",
               "character " + std::to_string(n) + " (" + text::CodePoint(cp) + ") is not one of A-Z a-z 0-9 . _ : -");
    }
}

void ParseDocument(const json& doc, const Rules& rules, Receipt& r, Problems& problems) {
    if (!Fields(doc, "",
                {"requestId", "operator", "type", "department", "returnCheckNumber", "items", "texts", "payments"},
                problems))
        return;
    if (const json* id = Member(doc, "requestId")) problems.Try([&] { RequestId(*id, r); });
    if (const json* op = Member(doc, "operator")) {
        r.hasOperator = true;
        if (Fields(*op, "/operator", {"name", "password"}, problems)) {
            problems.Try([&] {
                r.cashier = Text(Required(*op, "/operator", "name"), "/operator/name", rules.limits.cashier, true,
                                 rules);
            });
            problems.Try([&] {
                r.password = Text(Required(*op, "/operator", "password"), "/operator/password",
                                  rules.limits.password, true, rules);
            });
        }
    }
    problems.Try([&] {
        const json& type = Required(doc, "", "type");
        if (!type.is_string() || (type != "sale" && type != "return"))
            Refuse("/type", "must be \"sale\" or \"return\"");
        r.isReturn = type == "return";
    });
    if (const json* department = Member(doc, "department"))
        problems.Try([&] { r.department = Text(*department, "/department", rules.limits.department, false, rules); });
    if (const json* numbers = Member(doc, "returnCheckNumber")) {
        problems.Try([&] {
            if (!r.isReturn) Refuse("/returnCheckNumber", "only in a return");
            r.returnCheckNumbers = Text(*numbers, "/returnCheckNumber", rules.limits.returnNumbers, false, rules);
        });
    }

    bool totalKnown = false;
    const json* items = nullptr;
    problems.Try([&] {
        items = &Required(doc, "", "items");
        if (!items->is_array()) Refuse("/items", std::string("must be an array, not ") + TypeName(*items));
    });
    if (items != nullptr && items->is_array()) {
        totalKnown = problems.Try([&] {
            if (items->empty()) Refuse("/items", "a check needs at least one item");
            if (items->size() > kMaxItems) Refuse("/items", "too many lines: at most " + std::to_string(kMaxItems));
        });
        for (size_t i = 0; i < items->size(); ++i) {
            Item item;
            const bool right = ParseItem((*items)[i], Index("/items", i), rules, item, problems);
            totalKnown = totalKnown && right;
            if (!right) continue;
            r.items.push_back(item);
            r.total += item.sum;
            if (r.total > kMaxTotal) {
                problems.Add(Index("/items", i), "the check's total is too large");
                totalKnown = false;
                r.total = 0;  // counted no further
            }
        }
    }
    if (const json* texts = Member(doc, "texts")) {
        if (!texts->is_array()) {
            problems.Add("/texts", std::string("must be an array, not ") + TypeName(*texts));
        } else {
            if (texts->size() > kMaxTexts) problems.Add("/texts", "too many lines: at most " + std::to_string(kMaxTexts));
            for (size_t i = 0; i < texts->size(); ++i) {
                TextLine line;
                ParseText((*texts)[i], Index("/texts", i), rules, line, problems);
                r.texts.push_back(line);
            }
        }
    }
    if (const json* payments = Member(doc, "payments")) ParsePayments(*payments, r, totalKnown, problems);
}

// Tax groups 1 to 8 as the printer prints them.
const char* const kTaxLetters[8] = {"А", "Б", "В", "Г", "Д", "Е", "Ж", "З"};

// What only the connected printer decides: a line it would refuse must not
// open a check that then has to be cancelled on paper.
void FitPrinter(const PrinterEngine& e, const Receipt& r, Problems& problems) {
    const bool longLines = LongLinesOf(e);
    for (size_t i = 0; i < r.items.size(); ++i) {
        const Item& item = r.items[i];
        const std::string path = Index("/items", i);
        problems.Try([&] {
            for (int32_t tax : {item.tax1, item.tax2}) {
                if (tax < 1 || tax > 8) continue;
                const std::string group = "tax group " + std::to_string(tax) + " (" + kTaxLetters[tax - 1] + ")";
                if (!e.TaxIsProgrammed(tax, 0)) Refuse(Join(path, "tax"), group + " is not programmed in the printer");
                // The short line carries the group's rate record, read at connection.
                if (!longLines && std::strlen(e.TaxRateTable[tax - 1]) != 14)
                    Refuse(Join(path, "tax"), "the rate of " + group + " was not read from the printer");
            }
        });
        if (item.quantity > e.MaxQuantity)
            problems.Add(Join(path, "quantity"),
                         "must be at most " + std::to_string(e.MaxQuantity) + " on the connected printer");
        if (!longLines && item.article > 20999)
            problems.Add(Join(path, "article"),
                         "must be at most 20999 on the connected printer (short article codes)");
    }
}

// Deeper than any receipt: a document nested further is refused before it
// costs anything.
constexpr size_t kMaxDepth = 16;

// Builds the document while knowing the JSON path of what it reads, so
// that a malformed string (a lone surrogate, bytes that are not UTF-8, a
// raw control character) is refused with its path and its character, in
// words of our own.
class Builder final : public nlohmann::json_sax<json> {
public:
    explicit Builder(const std::string& input) : input_(input) {}

    json root;
    Refusal failure;

    bool null() override { return Place(json(nullptr)) != nullptr; }
    bool boolean(bool v) override { return Place(json(v)) != nullptr; }
    bool number_integer(number_integer_t v) override { return Place(json(v)) != nullptr; }
    bool number_unsigned(number_unsigned_t v) override { return Place(json(v)) != nullptr; }
    bool number_float(number_float_t v, const string_t&) override { return Place(json(v)) != nullptr; }
    bool string(string_t& v) override { return Place(json(std::move(v))) != nullptr; }
    bool binary(binary_t&) override { return Place(json(nullptr)) != nullptr; }  // not in JSON text
    bool start_object(std::size_t) override { return Open(json::object()); }
    bool start_array(std::size_t) override { return Open(json::array()); }
    bool end_object() override { return Close(); }
    bool end_array() override { return Close(); }

    bool key(string_t& k) override {
        if (open_.back().value->contains(k)) {
            const std::string& at = open_.back().path;
            return Showable(k) ? Fail(Join(at, k), "given twice") : Fail(at, "field " + Quoted(k) + ": given twice");
        }
        key_ = std::move(k);
        keyPending_ = true;
        return true;
    }

    bool parse_error(std::size_t position, const std::string& token,
                     const nlohmann::detail::exception& ex) override {
        return Fail(Here(), Explain(position, token, ex));
    }

private:
    struct Container {
        json* value;
        std::string path;
    };

    // The path of the value being read now.
    std::string Here() const {
        if (open_.empty()) return "";
        const Container& top = open_.back();
        if (top.value->is_array()) return Index(top.path, top.value->size());
        return keyPending_ && Showable(key_) ? Join(top.path, key_) : top.path;
    }

    json* Place(json&& v) {
        if (open_.empty()) {
            root = std::move(v);
            return &root;
        }
        json& top = *open_.back().value;
        if (top.is_array()) {
            top.push_back(std::move(v));
            return &top.back();
        }
        keyPending_ = false;
        json& slot = top[key_];
        slot = std::move(v);
        return &slot;
    }

    bool Open(json&& v) {
        if (open_.size() >= kMaxDepth) return Fail(Here(), "nested too deeply");
        std::string path = Here();
        json* placed = Place(std::move(v));
        open_.push_back(Container{placed, std::move(path)});
        return true;
    }

    bool Close() {
        open_.pop_back();
        return true;
    }

    bool Fail(const std::string& path, const std::string& message) {
        failure = Refusal{path, message};
        return false;
    }

    // "line L, column C" of a byte offset (columns count bytes).
    std::string Where(size_t offset) const {
        size_t line = 1, lineStart = 0;
        for (size_t i = 0; i < offset && i < input_.size(); ++i) {
            if (input_[i] == '\n') ++line, lineStart = i + 1;
        }
        return "line " + std::to_string(line) + ", column " + std::to_string(offset - lineStart + 1);
    }

    // "line L, column C: what is wrong", in words of our own around the
    // reader's names of what it met and expected; never its message, which
    // carries its own prefix and the raw bytes it last read.
    std::string Explain(size_t position, const std::string& token, const nlohmann::detail::exception& ex) const {
        const size_t offset = position > 0 ? position - 1 : 0;  // the byte that stopped the reading
        const std::string head = Where(offset) + ": ";
        const std::string what = ex.what();
        if (what.find("unexpected end of input") != std::string::npos)
            return head + "the document ends before its JSON is complete";
        if (!token.empty() && token[0] == '"') {
            const std::string why = BadString(input_, position, token);
            if (!why.empty()) return head + why;
        }
        // "... while parsing <context> - <detail>; last read: '...'; expected <thing>"
        std::string context, detail, expected;
        const size_t parsing = what.find("while parsing ");
        const size_t dash = what.find(" - ", parsing == std::string::npos ? 0 : parsing);
        if (parsing != std::string::npos && dash != std::string::npos)
            context = what.substr(parsing + 14, dash - parsing - 14);
        if (dash != std::string::npos) {
            detail = what.substr(dash + 3);
            const size_t cut = std::min(detail.find("; last read"), detail.find("; expected"));
            if (cut != std::string::npos) detail.resize(cut);
        }
        const size_t wanted = what.find("; expected ");
        if (wanted != std::string::npos) expected = what.substr(wanted + 11);
        std::string out = detail.empty() ? "not JSON" : detail;
        if (!expected.empty()) out += "; expected " + expected;
        if (!context.empty()) out += " (reading " + std::string(context == "value" ? "a value" : "an " + context) + ")";
        for (char& c : out) {
            if (static_cast<unsigned char>(c) >= 0x80 || static_cast<unsigned char>(c) < 0x20) c = '?';
        }
        return head + out;
    }

    // What is wrong with a string the reader stopped in, or "" when it is
    // nothing about its characters. `token` is what was read of it, up to
    // `position` in `input`: the reader shows a raw control character in it
    // as <U+XXXX>.
    static std::string BadString(const std::string& input, size_t position, const std::string& token) {
        const size_t mark = token.rfind("<U+");
        if (mark != std::string::npos && token.size() == mark + 8 && token.back() == '>') {
            return token.substr(mark + 1, 6) +
                   " is a control character: write it escaped (the printer cannot print it)";
        }
        // A \uXXXX escape of a surrogate half that has no partner.
        unsigned pending = 0;
        for (size_t i = 1; i + 1 < token.size(); ++i) {
            if (token[i] != '\\') continue;
            unsigned value = 0;
            bool escape = token[i + 1] == 'u' && i + 6 <= token.size();
            for (size_t k = i + 2; escape && k < i + 6; ++k) {
                const auto c = static_cast<unsigned char>(token[k]);
                escape = std::isxdigit(c) != 0;
                value = value * 16 + static_cast<unsigned>(std::isdigit(c) != 0 ? c - '0' : (c | 0x20) - 'a' + 10);
            }
            if (!escape) {
                if (pending != 0) break;
                ++i;  // an escape of one character, such as \\ or \"
                continue;
            }
            if (pending != 0 && (value < 0xDC00 || value > 0xDFFF)) break;
            if (pending == 0 && value >= 0xDC00 && value <= 0xDFFF) {
                return text::CodePoint(value) + " is a lone surrogate half (a low one without a high one before it), "
                                                "not a character";
            }
            pending = pending != 0 ? 0 : (value >= 0xD800 && value <= 0xDBFF ? value : 0);
            i += 5;
        }
        if (pending != 0) {
            return text::CodePoint(pending) + " is a lone surrogate half (a high one without a low one after it), "
                                              "not a character";
        }
        // Bytes that are not UTF-8: the reader stopped on the first of them
        // that cannot belong, so the whole sequence is read from the input.
        const size_t start = position >= token.size() ? position - token.size() : 0;
        const text::ToCp1251Result bad = text::CheckUtf8(input.substr(start, token.size() + 3));
        if (bad.status != text::Conversion::kOk) return "not valid UTF-8: " + text::DescribeBadUtf8(bad);
        return "";
    }

    const std::string& input_;
    std::vector<Container> open_;
    std::string key_;
    bool keyPending_ = false;
};

std::vector<Problem> ParseWith(const char* text, const Rules& rules, Receipt& out) {
    out = Receipt{};
    if (text == nullptr) return {Problem{"", "no document"}};
    Problems problems;
    try {
        const std::string input(text);
        Builder builder(input);
        if (!json::sax_parse(input, &builder)) return {Problem{builder.failure.path, builder.failure.message}};
        ParseDocument(builder.root, rules, out, problems);
    } catch (const json::exception&) {
        // Not expected from a document that parsed; said in our words.
        problems.Add("", "the document could not be read");
    }
    if (problems.Count() > 0) out = Receipt{};
    return problems.Take();
}

bool First(std::vector<Problem> problems, Problem& problem) {
    problem = problems.empty() ? Problem{} : std::move(problems.front());
    return problems.empty();
}

}  // namespace

std::vector<Problem> Check(const char* text, Receipt& out) {
    return ParseWith(text, Rules{kWidestTextLimits, ""}, out);
}

std::vector<Problem> CheckFor(const PrinterEngine& engine, const char* text, Receipt& out) {
    std::vector<Problem> problems = ParseWith(text, Rules{TextLimitsOf(engine), " on the connected printer"}, out);
    if (!problems.empty()) return problems;
    Problems printer;
    FitPrinter(engine, out, printer);
    if (printer.Count() > 0) out = Receipt{};
    return printer.Take();
}

std::string ProblemsJson(const std::vector<Problem>& problems) {
    json list = json::array();
    for (const Problem& problem : problems) list.push_back({{"path", problem.path}, {"message", problem.message}});
    return list.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool Parse(const char* text, Receipt& out, Problem& problem) { return First(Check(text, out), problem); }

bool ParseFor(const PrinterEngine& engine, const char* text, Receipt& out, Problem& problem) {
    return First(CheckFor(engine, text, out), problem);
}

}  // namespace brenvik::receipt
