// BrenvikPlus.dll: the module state, the four exports, the class factories
// and self-registration.
#include <windows.h>
#include <oleauto.h>

#include <string>

#include "engine/platform.h"
#include "server/registry_script.h"
#include "server/resource.h"
#include "server/server_module_win32.h"

namespace brenvik {
namespace {

// The one engine, built while the module loads and before any object exists.
PrinterEngine g_engine{NativePlatform()};

HINSTANCE g_module = nullptr;
bool g_initialised = false;
CRITICAL_SECTION g_classLock;
LONG g_lockCount = 0;
ITypeInfo* g_typeInfo[2] = {nullptr, nullptr};  // IBrenvik, IMaria301

// {78921F86-0EA8-4F57-B524-8D0573C0F5D4}
const wchar_t kAppId[] = L"{78921F86-0EA8-4F57-B524-8D0573C0F5D4}";

using Creator = HRESULT (*)(IUnknown*, REFIID, void**);

class ClassFactory final : public IClassFactory {
public:
    explicit ClassFactory(Creator creator) : creator_(creator) {}
    virtual ~ClassFactory() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
            *object = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // Kept for the life of the module: the count never destroys it.
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(InterlockedDecrement(&refs_)); }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (outer != nullptr && !IsEqualIID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
        return Guarded<HRESULT>(E_OUTOFMEMORY, [&] { return creator_(outer, iid, object); });
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) {
            LockModule();
        } else {
            UnlockModule();
        }
        return S_OK;
    }

private:
    Creator creator_;
    LONG refs_ = 1;
};

// The object map: Brenvik first, Maria301 second, in registration order.
struct ClassEntry {
    const CLSID* clsid;
    Creator creator;
    int scriptId;
    ClassFactory* factory;
};
ClassEntry g_classes[] = {
    {&CLSID_Brenvik, &CreateBrenvik, IDR_BRENVIK_SCRIPT, nullptr},
    {&CLSID_Maria301, &CreateMaria301, IDR_MARIA301_SCRIPT, nullptr},
};

std::wstring ModulePath() {
    wchar_t path[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameW(g_module, path, MAX_PATH);
    return std::wstring(path, length);
}

// The library from the module's own resource 1, else from the .tlb beside it.
HRESULT LoadOwnTypeLib(ITypeLib** library) {
    const std::wstring path = ModulePath();
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, library);
    if (SUCCEEDED(hr)) return hr;
    std::wstring tlb = path;
    const size_t dot = tlb.find_last_of(L'.');
    const size_t slash = tlb.find_last_of(L"\\/");
    if (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash)) tlb.resize(dot);
    tlb += L".tlb";
    return LoadTypeLibEx(tlb.c_str(), REGKIND_NONE, library);
}

class Win32Registry final : public RegistryTarget {
public:
    long CreateKey(const std::wstring& path) override {
        HKEY key = nullptr;
        const LONG error = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0,
                                           KEY_READ | KEY_WRITE, nullptr, &key, nullptr);
        if (error == ERROR_SUCCESS) RegCloseKey(key);
        return error;
    }
    long SetString(const std::wstring& path, const std::wstring& name,
                   const std::wstring& data) override {
        HKEY key = nullptr;
        LONG error = RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_SET_VALUE, &key);
        if (error != ERROR_SUCCESS) return error;
        error = RegSetValueExW(key, name.empty() ? nullptr : name.c_str(), 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(data.c_str()),
                               static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
        return error;
    }
    long DeleteValue(const std::wstring& path, const std::wstring& name) override {
        HKEY key = nullptr;
        LONG error = RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_SET_VALUE, &key);
        if (error != ERROR_SUCCESS) return error;
        error = RegDeleteValueW(key, name.c_str());
        RegCloseKey(key);
        return error;
    }
    long DeleteTree(const std::wstring& path) override {
        if (!KeyExists(path)) return ERROR_SUCCESS;
        HKEY key = nullptr;
        LONG error = RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0,
                                   KEY_READ | KEY_WRITE | DELETE, &key);
        if (error != ERROR_SUCCESS) return error;
        // Subkeys first: RegDeleteKey removes only a key without subkeys.
        for (;;) {
            wchar_t name[256];
            DWORD length = 256;
            if (RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS)
                break;
            error = DeleteTree(path + L"\\" + std::wstring(name, length));
            if (error != ERROR_SUCCESS) {
                RegCloseKey(key);
                return error;
            }
        }
        RegCloseKey(key);
        return DeleteKey(path);
    }
    long DeleteKey(const std::wstring& path) override {
        const LONG error = RegDeleteKeyW(HKEY_CLASSES_ROOT, path.c_str());
        return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
    }
    bool KeyExists(const std::wstring& path) override {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    }
    bool HasSubkeys(const std::wstring& path) override {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return false;
        DWORD subkeys = 0;
        RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr);
        RegCloseKey(key);
        return subkeys != 0;
    }
};

HRESULT RunScript(int id, bool registering) {
    HRSRC found = FindResourceW(g_module, MAKEINTRESOURCEW(id), L"REGISTRY");
    if (found == nullptr) return HRESULT_FROM_WIN32(GetLastError());
    HGLOBAL loaded = LoadResource(g_module, found);
    const DWORD size = SizeofResource(g_module, found);
    const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (bytes == nullptr) return HRESULT_FROM_WIN32(GetLastError());
    // The scripts are plain ASCII.
    std::wstring script;
    script.reserve(size);
    for (DWORD i = 0; i < size && bytes[i] != 0; ++i)
        script += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]));
    const std::wstring path = ModulePath();
    const ScriptVariables variables = {
        {L"MODULE", QuoteForScript(path)},
        {L"Module_Raw", path},
        {L"APPID", kAppId},
    };
    Win32Registry registry;
    return RunRegistryScript(script, variables, registering, registry);
}

HRESULT RegisterOwnTypeLib() {
    ITypeLib* library = nullptr;
    HRESULT hr = LoadOwnTypeLib(&library);
    if (FAILED(hr)) return hr;
    std::wstring path = ModulePath();
    hr = RegisterTypeLib(library, &path[0], nullptr);
    library->Release();
    return hr;
}

HRESULT UnregisterOwnTypeLib() {
    ITypeLib* library = nullptr;
    HRESULT hr = LoadOwnTypeLib(&library);
    if (FAILED(hr)) return hr;
    TLIBATTR* attributes = nullptr;
    hr = library->GetLibAttr(&attributes);
    if (SUCCEEDED(hr)) {
        // A library that is not registered (any more) is what we want; the
        // system would call it an error, so look first.
        wchar_t libId[40] = {};
        StringFromGUID2(attributes->guid, libId, 40);
        wchar_t version[16] = {};
        wsprintfW(version, L"\\%x.%x", attributes->wMajorVerNum, attributes->wMinorVerNum);
        if (Win32Registry().KeyExists(std::wstring(L"TypeLib\\") + libId + version)) {
            hr = UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum,
                                   attributes->wMinorVerNum, attributes->lcid, attributes->syskind);
        }
        library->ReleaseTLibAttr(attributes);
    }
    library->Release();
    return hr;
}

// Registration runs under the system default locale and puts the caller's
// back in every case.
class SystemLocale {
public:
    SystemLocale() : saved_(GetThreadLocale()) { SetThreadLocale(LOCALE_SYSTEM_DEFAULT); }
    ~SystemLocale() { SetThreadLocale(saved_); }
    SystemLocale(const SystemLocale&) = delete;
    SystemLocale& operator=(const SystemLocale&) = delete;

private:
    LCID saved_;
};

HRESULT RegisterServer() {
    SystemLocale locale;
    HRESULT hr = RunScript(IDR_MODULE_SCRIPT, true);
    for (const ClassEntry& entry : g_classes) {
        if (FAILED(hr)) return hr;
        hr = RunScript(entry.scriptId, true);
        // The classes declare no component categories.
    }
    if (FAILED(hr)) return hr;
    return RegisterOwnTypeLib();
}

HRESULT UnregisterServer() {
    SystemLocale locale;
    HRESULT hr = S_OK;
    for (const ClassEntry& entry : g_classes) {
        hr = RunScript(entry.scriptId, false);
        if (FAILED(hr)) return hr;
    }
    hr = UnregisterOwnTypeLib();
    if (FAILED(hr)) return hr;
    return RunScript(IDR_MODULE_SCRIPT, false);
}

void ReleaseModuleObjects() {
    for (ClassEntry& entry : g_classes) {
        delete entry.factory;
        entry.factory = nullptr;
    }
    for (ITypeInfo*& info : g_typeInfo) {
        if (info != nullptr) info->Release();
        info = nullptr;
    }
}

}  // namespace

PrinterEngine& Engine() { return g_engine; }

void LockModule() { InterlockedIncrement(&g_lockCount); }
void UnlockModule() { InterlockedDecrement(&g_lockCount); }
LONG ModuleLockCount() { return g_lockCount; }

HRESULT CachedTypeInfo(REFIID iid, ITypeInfo** info) {
    const int index = IsEqualIID(iid, IID_IBrenvik) ? 0 : IsEqualIID(iid, IID_IMaria301) ? 1 : -1;
    if (index < 0) return E_INVALIDARG;
    ITypeInfo* cached = g_typeInfo[index];
    if (cached == nullptr) {
        ITypeLib* library = nullptr;
        HRESULT hr = LoadOwnTypeLib(&library);
        if (FAILED(hr)) return hr;
        hr = library->GetTypeInfoOfGuid(iid, &cached);
        library->Release();
        if (FAILED(hr)) return hr;
        // Two apartments may race here; the loser drops its copy.
        ITypeInfo* previous = static_cast<ITypeInfo*>(InterlockedCompareExchangePointer(
            reinterpret_cast<void* volatile*>(&g_typeInfo[index]), cached, nullptr));
        if (previous != nullptr) {
            cached->Release();
            cached = previous;
        }
    }
    *info = cached;
    return S_OK;
}

}  // namespace brenvik

using namespace brenvik;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        if (!InitializeCriticalSectionAndSpinCount(&g_classLock, 0)) return FALSE;
        g_initialised = true;
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        // At process exit other DLLs may be gone already: release only on
        // an explicit unload.
        if (reserved == nullptr) ReleaseModuleObjects();
        if (g_initialised) DeleteCriticalSection(&g_classLock);
        g_initialised = false;
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!g_initialised) return E_UNEXPECTED;
    for (ClassEntry& entry : g_classes) {
        if (!IsEqualCLSID(clsid, *entry.clsid)) continue;
        EnterCriticalSection(&g_classLock);
        if (entry.factory == nullptr) entry.factory = new (std::nothrow) ClassFactory(entry.creator);
        ClassFactory* factory = entry.factory;
        LeaveCriticalSection(&g_classLock);
        if (factory == nullptr) return E_OUTOFMEMORY;
        return factory->QueryInterface(iid, object);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() { return ModuleLockCount() == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() {
    return Guarded<HRESULT>(E_UNEXPECTED, [] { return RegisterServer(); });
}

STDAPI DllUnregisterServer() {
    return Guarded<HRESULT>(E_UNEXPECTED, [] { return UnregisterServer(); });
}
