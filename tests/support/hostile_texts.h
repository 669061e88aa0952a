// The table of hostile texts (hostile_texts.json beside this file), for the
// C++ tests: each case's bytes, how a receipt document writes it, and what
// its refusal must name.
#pragma once

#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace hostile {

struct Case {
    std::string id;
    std::string bytes;     // the text itself (empty when only a document can hold it)
    bool hasBytes = false;
    std::string literal;   // the string as a receipt document writes it
    std::string expect;    // a part the refusal's message must have
    bool printerOnly = false;
    bool IsLength() const { return expect.rfind("longer", 0) == 0; }
};

inline std::string FromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

inline std::vector<Case> Load(const char* path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const nlohmann::json doc = nlohmann::json::parse(text.str());
    std::vector<Case> cases;
    for (const auto& c : doc.at("cases")) {
        Case k;
        k.id = c.at("id").get<std::string>();
        k.expect = c.at("expect").get<std::string>();
        k.printerOnly = c.value("printer_only", false);
        if (c.contains("hex")) k.bytes = FromHex(c["hex"].get<std::string>()), k.hasBytes = true;
        if (c.contains("text")) k.bytes = c["text"].get<std::string>(), k.hasBytes = true;
        if (c.contains("json")) {
            k.literal = c["json"].get<std::string>();
        } else if (c.contains("hex") || c.value("raw", false)) {
            k.literal = "\"" + k.bytes + "\"";
        } else {
            k.literal = nlohmann::json(k.bytes).dump();
        }
        cases.push_back(k);
    }
    return cases;
}

// A sale receipt whose one goods name is the case's string.
inline std::string Receipt(const Case& c) {
    return R"({"requestId":"hostile","type":"sale","items":[{"name":)" + c.literal +
           R"(,"quantity":1,"price":100,"tax":1}]})";
}

}  // namespace hostile
