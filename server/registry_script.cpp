#include "server/registry_script.h"

#include <cwctype>
#include <memory>

namespace brenvik {
namespace {

enum class KeyFlag { None, NoRemove, ForceRemove, Delete };

struct ScriptKey {
    KeyFlag flag = KeyFlag::None;
    std::wstring name;
    bool hasValue = false;
    std::wstring value;
    std::vector<std::pair<std::wstring, std::wstring>> namedValues;
    std::vector<ScriptKey> subkeys;
};

struct Token {
    std::wstring text;
    bool quoted = false;
};

// Whitespace separates tokens; a quoted token may hold anything.
bool Tokenize(const std::wstring& text, std::vector<Token>& tokens) {
    size_t i = 0;
    while (i < text.size()) {
        if (std::iswspace(text[i])) {
            ++i;
            continue;
        }
        Token token;
        if (text[i] == L'\'') {
            token.quoted = true;
            ++i;
            for (;;) {
                if (i >= text.size()) return false;
                if (text[i] == L'\'') {
                    if (i + 1 < text.size() && text[i + 1] == L'\'') {
                        token.text += L'\'';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                token.text += text[i++];
            }
        } else {
            while (i < text.size() && !std::iswspace(text[i])) token.text += text[i++];
        }
        tokens.push_back(std::move(token));
    }
    return true;
}

bool Is(const Token& token, const wchar_t* word) {
    if (token.quoted) return false;
    const std::wstring& t = token.text;
    size_t n = 0;
    for (; word[n] != 0; ++n) {
        if (n >= t.size() || std::towlower(t[n]) != std::towlower(word[n])) return false;
    }
    return n == t.size();
}

class Parser {
public:
    explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

    bool ParseScript(std::vector<ScriptKey>& roots) {
        while (pos_ < tokens_.size()) {
            const Token& root = tokens_[pos_++];
            if (!Is(root, L"HKCR") && !Is(root, L"HKEY_CLASSES_ROOT")) return false;
            ScriptKey key;
            if (!Expect(L"{") || !ParseBody(key)) return false;
            roots.push_back(std::move(key));
        }
        return true;
    }

private:
    bool Expect(const wchar_t* word) {
        if (pos_ >= tokens_.size() || !Is(tokens_[pos_], word)) return false;
        ++pos_;
        return true;
    }
    bool More() const { return pos_ < tokens_.size(); }

    // After '{': keys and values up to the matching '}'.
    bool ParseBody(ScriptKey& parent) {
        for (;;) {
            if (!More()) return false;
            if (Is(tokens_[pos_], L"}")) {
                ++pos_;
                return true;
            }
            if (Is(tokens_[pos_], L"val")) {
                ++pos_;
                if (!More()) return false;
                std::wstring name = tokens_[pos_++].text;
                std::wstring value;
                if (!ParseAssignment(value)) return false;
                parent.namedValues.emplace_back(std::move(name), std::move(value));
                continue;
            }
            ScriptKey key;
            if (!ParseKey(key)) return false;
            parent.subkeys.push_back(std::move(key));
        }
    }

    // "= s 'value'"
    bool ParseAssignment(std::wstring& value) {
        if (!Expect(L"=") || !Expect(L"s") || !More()) return false;
        value = tokens_[pos_++].text;
        return true;
    }

    bool ParseKey(ScriptKey& key) {
        if (Is(tokens_[pos_], L"NoRemove")) {
            key.flag = KeyFlag::NoRemove;
            ++pos_;
        } else if (Is(tokens_[pos_], L"ForceRemove")) {
            key.flag = KeyFlag::ForceRemove;
            ++pos_;
        } else if (Is(tokens_[pos_], L"Delete")) {
            key.flag = KeyFlag::Delete;
            ++pos_;
        }
        if (!More()) return false;
        const Token& name = tokens_[pos_++];
        if (!name.quoted && (name.text == L"{" || name.text == L"}" || name.text == L"=")) return false;
        if (name.text.empty() || name.text.find(L'\\') != std::wstring::npos) return false;
        key.name = name.text;
        if (More() && Is(tokens_[pos_], L"=")) {
            key.hasValue = true;
            if (!ParseAssignment(key.value)) return false;
        }
        if (More() && Is(tokens_[pos_], L"{")) {
            ++pos_;
            return ParseBody(key);
        }
        return true;
    }

    std::vector<Token> tokens_;
    size_t pos_ = 0;
};

std::wstring Join(const std::wstring& parent, const std::wstring& name) {
    return parent.empty() ? name : parent + L"\\" + name;
}

int32_t Register(const ScriptKey& key, const std::wstring& parent, RegistryTarget& target) {
    const std::wstring path = Join(parent, key.name);
    long error = 0;
    if (key.flag == KeyFlag::ForceRemove || key.flag == KeyFlag::Delete) {
        if ((error = target.DeleteTree(path)) != 0) return HresultFromWin32(error);
        if (key.flag == KeyFlag::Delete) return kScriptOk;
    }
    if ((error = target.CreateKey(path)) != 0) return HresultFromWin32(error);
    if (key.hasValue && (error = target.SetString(path, L"", key.value)) != 0)
        return HresultFromWin32(error);
    for (const auto& named : key.namedValues) {
        if ((error = target.SetString(path, named.first, named.second)) != 0)
            return HresultFromWin32(error);
    }
    for (const ScriptKey& sub : key.subkeys) {
        const int32_t hr = Register(sub, path, target);
        if (hr != kScriptOk) return hr;
    }
    return kScriptOk;
}

// Removes what registration wrote; what is already gone is no error.
int32_t Unregister(const ScriptKey& key, const std::wstring& parent, RegistryTarget& target) {
    const std::wstring path = Join(parent, key.name);
    long error = 0;
    if (key.flag == KeyFlag::ForceRemove || key.flag == KeyFlag::Delete) {
        error = target.DeleteTree(path);
        return HresultFromWin32(error);
    }
    if (!target.KeyExists(path)) return kScriptOk;
    for (const ScriptKey& sub : key.subkeys) {
        const int32_t hr = Unregister(sub, path, target);
        if (hr != kScriptOk) return hr;
    }
    if (key.flag == KeyFlag::NoRemove) {
        for (const auto& named : key.namedValues) target.DeleteValue(path, named.first);
        return kScriptOk;
    }
    // Someone else's subkeys keep the key alive.
    if (target.HasSubkeys(path)) {
        for (const auto& named : key.namedValues) target.DeleteValue(path, named.first);
        return kScriptOk;
    }
    error = target.DeleteKey(path);
    return HresultFromWin32(error);
}

}  // namespace

bool ExpandScriptVariables(const std::wstring& script, const ScriptVariables& variables,
                           std::wstring& out) {
    out.clear();
    out.reserve(script.size());
    size_t i = 0;
    while (i < script.size()) {
        if (script[i] != L'%') {
            out += script[i++];
            continue;
        }
        const size_t end = script.find(L'%', i + 1);
        if (end == std::wstring::npos) return false;
        const std::wstring name = script.substr(i + 1, end - i - 1);
        i = end + 1;
        if (name.empty()) {
            out += L'%';
            continue;
        }
        bool found = false;
        for (const auto& variable : variables) {
            if (variable.first == name) {
                out += variable.second;
                found = true;
                break;
            }
        }
        if (!found) return false;
    }
    return true;
}

int32_t RunRegistryScript(const std::wstring& script, const ScriptVariables& variables,
                          bool registering, RegistryTarget& target) {
    std::wstring expanded;
    if (!ExpandScriptVariables(script, variables, expanded)) return kScriptSyntaxError;
    std::vector<Token> tokens;
    if (!Tokenize(expanded, tokens)) return kScriptSyntaxError;
    std::vector<ScriptKey> roots;
    if (!Parser(std::move(tokens)).ParseScript(roots)) return kScriptSyntaxError;
    for (const ScriptKey& root : roots) {
        // The root itself is never created nor removed.
        for (const ScriptKey& key : root.subkeys) {
            const int32_t hr = registering ? Register(key, L"", target) : Unregister(key, L"", target);
            if (hr != kScriptOk) return hr;
        }
    }
    return kScriptOk;
}

std::wstring QuoteForScript(const std::wstring& value) {
    std::wstring out;
    out.reserve(value.size());
    for (wchar_t c : value) {
        out += c;
        if (c == L'\'') out += L'\'';
    }
    return out;
}

}  // namespace brenvik
