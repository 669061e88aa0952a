// The registry-script interpreter against an in-memory registry, with the
// server's own scripts: the keys they write, what a second registration
// clears, what unregistration removes and keeps.
#include "server/registry_script.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace brenvik {
namespace {

// Keys by path; a key's values by name ("" is the default value).
class MemoryRegistry : public RegistryTarget {
public:
    std::map<std::wstring, std::map<std::wstring, std::wstring>> keys;
    long failCreateWith = 0;

    long CreateKey(const std::wstring& path) override {
        if (failCreateWith) return failCreateWith;
        // Parents come into being with their child, as in the real registry.
        for (size_t cut = path.find(L'\\'); cut != std::wstring::npos; cut = path.find(L'\\', cut + 1))
            keys[path.substr(0, cut)];
        keys[path];
        return 0;
    }
    long SetString(const std::wstring& path, const std::wstring& name, const std::wstring& data) override {
        if (!keys.count(path)) return 2;
        keys[path][name] = data;
        return 0;
    }
    long DeleteValue(const std::wstring& path, const std::wstring& name) override {
        if (!keys.count(path) || !keys[path].erase(name)) return 2;
        return 0;
    }
    long DeleteTree(const std::wstring& path) override {
        for (auto it = keys.begin(); it != keys.end();) {
            if (it->first == path || it->first.rfind(path + L"\\", 0) == 0)
                it = keys.erase(it);
            else
                ++it;
        }
        return 0;
    }
    long DeleteKey(const std::wstring& path) override {
        if (HasSubkeys(path)) return 5;
        keys.erase(path);
        return 0;
    }
    bool KeyExists(const std::wstring& path) override { return keys.count(path) != 0; }
    bool HasSubkeys(const std::wstring& path) override {
        auto it = keys.upper_bound(path);
        return it != keys.end() && it->first.rfind(path + L"\\", 0) == 0;
    }
    std::wstring Value(const std::wstring& path, const std::wstring& name = L"") {
        auto key = keys.find(path);
        if (key == keys.end()) return L"<no key>";
        auto value = key->second.find(name);
        return value == key->second.end() ? L"<no value>" : value->second;
    }
};

std::wstring ReadScript(const char* name) {
    std::ifstream in(std::string(BRENVIK_SERVER_DIR) + "/registry/" + name);
    std::stringstream text;
    text << in.rdbuf();
    const std::string narrow = text.str();
    return std::wstring(narrow.begin(), narrow.end());
}

const std::wstring kModule = L"C:\\Program Files\\O'Neill POS\\BrenvikPlus.dll";
const std::wstring kAppId = L"{78921F86-0EA8-4F57-B524-8D0573C0F5D4}";
const std::wstring kClsid = L"CLSID\\{F9C6A151-4409-462C-9557-2E6E3579EC6C}";
const std::wstring kMariaClsid = L"CLSID\\{36330FE4-4EB6-43C2-9A97-F81801BF83BE}";

ScriptVariables Variables() {
    return {{L"MODULE", QuoteForScript(kModule)}, {L"Module_Raw", kModule}, {L"APPID", kAppId}};
}

int32_t RunAll(MemoryRegistry& registry, bool registering) {
    const char* order[] = {"module.rgs", "brenvik.rgs", "maria301.rgs"};
    for (const char* name : order) {
        const int32_t hr = RunRegistryScript(ReadScript(name), Variables(), registering, registry);
        if (hr != kScriptOk) return hr;
    }
    return kScriptOk;
}

TEST(RegistryScript, WritesEveryKeyAndValueOfBothClasses) {
    MemoryRegistry registry;
    ASSERT_EQ(RunAll(registry, true), kScriptOk);
    struct Expected {
        std::wstring key, name, value;
    } expected[] = {
        {L"AppID\\" + kAppId, L"", L"BrenvikPlus"},
        {L"AppID\\BrenvikPlus.DLL", L"AppID", kAppId},
        {L"Brenvik.Application.1", L"", L"Brenvik Class"},
        {L"Brenvik.Application.1\\CLSID", L"", L"{F9C6A151-4409-462C-9557-2E6E3579EC6C}"},
        {L"Brenvik.Application", L"", L"Brenvik Class"},
        {L"Brenvik.Application\\CLSID", L"", L"{F9C6A151-4409-462C-9557-2E6E3579EC6C}"},
        {L"Brenvik.Application\\CurVer", L"", L"Brenvik.Application.1"},
        {kClsid, L"", L"Brenvik Class"},
        {kClsid, L"AppID", kAppId},
        {kClsid + L"\\ProgID", L"", L"Brenvik.Application.1"},
        {kClsid + L"\\VersionIndependentProgID", L"", L"Brenvik.Application"},
        {kClsid + L"\\InprocServer32", L"", kModule},  // the quote comes back single
        {kClsid + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
        {kClsid + L"\\TypeLib", L"", L"{16A48018-32F2-4DA6-A78F-5A7307C89527}"},
        {L"BrenvikPlus.Maria301.1", L"", L"Maria301 Class"},
        {L"BrenvikPlus.Maria301\\CurVer", L"", L"BrenvikPlus.Maria301.1"},
        {kMariaClsid, L"", L"Maria301 Class"},
        {kMariaClsid + L"\\ProgID", L"", L"BrenvikPlus.Maria301.1"},
        {kMariaClsid + L"\\VersionIndependentProgID", L"", L"BrenvikPlus.Maria301"},
        {kMariaClsid + L"\\InprocServer32", L"", kModule},
    };
    for (const Expected& e : expected) EXPECT_EQ(registry.Value(e.key, e.name), e.value) << std::string(e.key.begin(), e.key.end());
    EXPECT_TRUE(registry.KeyExists(kClsid + L"\\Programmable"));
    EXPECT_TRUE(registry.keys[kClsid + L"\\Programmable"].empty());
    EXPECT_EQ(registry.keys[kClsid].size(), 2u) << "default value and AppID only";
}

TEST(RegistryScript, SecondRegistrationClearsStaleClassContent) {
    MemoryRegistry registry;
    ASSERT_EQ(RunAll(registry, true), kScriptOk);
    registry.CreateKey(kClsid + L"\\Stale");
    registry.SetString(kClsid, L"Junk", L"x");
    registry.SetString(kClsid + L"\\InprocServer32", L"", L"C:\\old.dll");
    ASSERT_EQ(RunAll(registry, true), kScriptOk);
    EXPECT_FALSE(registry.KeyExists(kClsid + L"\\Stale"));
    EXPECT_EQ(registry.Value(kClsid, L"Junk"), L"<no value>");
    EXPECT_EQ(registry.Value(kClsid + L"\\InprocServer32"), kModule);
}

TEST(RegistryScript, UnregistrationRemovesOursAndKeepsTheRoots) {
    MemoryRegistry registry;
    registry.CreateKey(L"CLSID\\{someone-else}");
    registry.CreateKey(L"AppID\\{someone-else}");
    ASSERT_EQ(RunAll(registry, true), kScriptOk);
    ASSERT_EQ(RunAll(registry, false), kScriptOk);
    for (const wchar_t* gone : {L"Brenvik.Application.1", L"Brenvik.Application", L"BrenvikPlus.Maria301.1",
                                L"BrenvikPlus.Maria301", L"AppID\\BrenvikPlus.DLL"})
        EXPECT_FALSE(registry.KeyExists(gone)) << std::string(gone, gone + wcslen(gone));
    EXPECT_FALSE(registry.KeyExists(kClsid));
    EXPECT_FALSE(registry.KeyExists(kMariaClsid));
    EXPECT_FALSE(registry.KeyExists(L"AppID\\" + kAppId));
    EXPECT_TRUE(registry.KeyExists(L"CLSID\\{someone-else}"));
    EXPECT_TRUE(registry.KeyExists(L"AppID\\{someone-else}"));
    // Unregistering what is gone already is no failure.
    EXPECT_EQ(RunAll(registry, false), kScriptOk);
}

TEST(RegistryScript, NoRemoveRootsSurviveEvenWhenEmpty) {
    MemoryRegistry registry;
    ASSERT_EQ(RunAll(registry, true), kScriptOk);
    ASSERT_EQ(RunAll(registry, false), kScriptOk);
    EXPECT_TRUE(registry.KeyExists(L"CLSID"));
    EXPECT_TRUE(registry.KeyExists(L"AppID"));
}

TEST(RegistryScript, AKeyWithForeignSubkeysIsKeptOnUnregistration) {
    MemoryRegistry registry;
    ASSERT_EQ(RunAll(registry, true), kScriptOk);
    registry.CreateKey(L"Brenvik.Application\\AddedByAnInstaller");
    ASSERT_EQ(RunAll(registry, false), kScriptOk);
    EXPECT_TRUE(registry.KeyExists(L"Brenvik.Application\\AddedByAnInstaller"));
    EXPECT_FALSE(registry.KeyExists(L"Brenvik.Application\\CLSID"));
}

TEST(RegistryScript, SyntaxErrorsChangeNothing) {
    const wchar_t* broken[] = {
        L"HKCR { Key = s 'unterminated }",
        L"HKCR { Key = s 'v' ",           // no closing brace
        L"HKLM { Key = s 'v' }",          // a root we do not write
        L"HKCR { Key = d '1' }",          // only strings
        L"HKCR { Key = s '%UNKNOWN%' }",  // unknown variable
        L"HKCR { val }",
        L"HKCR { Key = s 'a' } }",
    };
    for (const wchar_t* script : broken) {
        MemoryRegistry registry;
        EXPECT_EQ(RunRegistryScript(script, Variables(), true, registry), kScriptSyntaxError)
            << std::string(script, script + wcslen(script));
        EXPECT_TRUE(registry.keys.empty());
    }
}

TEST(RegistryScript, QuotesAndPercentSigns) {
    MemoryRegistry registry;
    ASSERT_EQ(RunRegistryScript(L"HKCR { 'It''s' = s '100%% of ''%MODULE%''' }", Variables(), true, registry),
              kScriptOk);
    EXPECT_EQ(registry.Value(L"It's"), L"100% of '" + kModule + L"'");
}

TEST(RegistryScript, TheFirstFailingRegistryCallIsReturned) {
    MemoryRegistry registry;
    registry.failCreateWith = 5;  // ERROR_ACCESS_DENIED
    EXPECT_EQ(RunRegistryScript(ReadScript("brenvik.rgs"), Variables(), true, registry),
              static_cast<int32_t>(0x80070005));
}

}  // namespace
}  // namespace brenvik
