// The registry-script interpreter of the server's self-registration.
//
// Scripts use the usual COM registrar syntax:
//   HKCR { [NoRemove|ForceRemove|Delete] Name [= s 'value'] [{ ... }] }
// with `val Name = s 'value'` for named values, '...' quoting ('' inside is
// one quote) and %NAME% replacement variables. Only HKEY_CLASSES_ROOT and
// string values occur in our scripts, so only those are understood.
//
// Kept free of platform types: the registry itself is reached through a
// RegistryTarget, which the module implements with the Win32 registry and
// the tests with a map.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace brenvik {

// Every path is relative to HKEY_CLASSES_ROOT, parts joined by '\'.
class RegistryTarget {
public:
    virtual ~RegistryTarget() = default;
    // Each returns 0 or a Win32 error code.
    virtual long CreateKey(const std::wstring& path) = 0;
    virtual long SetString(const std::wstring& path, const std::wstring& name,
                           const std::wstring& data) = 0;  // empty name: the default value
    virtual long DeleteValue(const std::wstring& path, const std::wstring& name) = 0;
    virtual long DeleteTree(const std::wstring& path) = 0;  // a missing key is not an error
    virtual long DeleteKey(const std::wstring& path) = 0;   // a key without subkeys
    virtual bool KeyExists(const std::wstring& path) = 0;
    virtual bool HasSubkeys(const std::wstring& path) = 0;
};

using ScriptVariables = std::vector<std::pair<std::wstring, std::wstring>>;

// HRESULT values the interpreter returns (the same numbers as on Windows).
constexpr int32_t kScriptOk = 0;
constexpr int32_t kScriptSyntaxError = static_cast<int32_t>(0x80020009);  // DISP_E_EXCEPTION
constexpr int32_t HresultFromWin32(long error) {
    return error <= 0 ? static_cast<int32_t>(error)
                      : static_cast<int32_t>((static_cast<uint32_t>(error) & 0xFFFFu) | 0x80070000u);
}

// Replaces every %NAME% by its value ("%%" is one '%'). Fails on an
// unknown or unterminated variable.
bool ExpandScriptVariables(const std::wstring& script, const ScriptVariables& variables,
                           std::wstring& out);

// Parses the whole script first (a syntax error changes nothing), then
// writes (registering) or removes (unregistering) its keys. Returns an
// HRESULT: kScriptOk, kScriptSyntaxError or the first failing registry call.
int32_t RunRegistryScript(const std::wstring& script, const ScriptVariables& variables,
                          bool registering, RegistryTarget& target);

// Quotes a value for use inside '...' in a script: every ' becomes ''.
std::wstring QuoteForScript(const std::wstring& value);

}  // namespace brenvik
