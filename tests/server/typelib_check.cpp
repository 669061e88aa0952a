// Loads the type library from BrenvikPlus.dll (or any file given) and
// checks the library, both coclasses and every member of both interfaces
// against the table in typelib_table.h.
//   typelib_check.exe C:\path\BrenvikPlus.dll
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <algorithm>
#include <string>
#include <vector>

#include "tests/server/typelib_table.h"

namespace {

int g_failures = 0;

void Fail(const std::string& what) {
    std::printf("FAIL: %s\n", what.c_str());
    ++g_failures;
}

std::string Narrow(const wchar_t* text) {
    std::string out;
    for (; text && *text; ++text) out += static_cast<char>(*text < 128 ? *text : '?');
    return out;
}

GUID Guid(const wchar_t* text) {
    GUID guid = {};
    CLSIDFromString(const_cast<LPOLESTR>(text), &guid);
    return guid;
}

// The identifiers the registry and every compiled client depend on.
const wchar_t kLibId[] = L"{16A48018-32F2-4DA6-A78F-5A7307C89527}";
const wchar_t kClsidBrenvik[] = L"{F9C6A151-4409-462C-9557-2E6E3579EC6C}";
const wchar_t kIidBrenvik[] = L"{9D7D34D6-56ED-4CDA-8D3F-73A5D286763F}";
const wchar_t kClsidMaria301[] = L"{36330FE4-4EB6-43C2-9A97-F81801BF83BE}";
const wchar_t kIidMaria301[] = L"{B5C658A4-B03F-407C-9874-423BF2CD97F9}";

std::string Doc(ITypeInfo* info, MEMBERID id, std::string* help = nullptr) {
    BSTR name = nullptr, doc = nullptr;
    info->GetDocumentation(id, &name, &doc, nullptr, nullptr);
    std::string result = Narrow(name);
    if (help) *help = Narrow(doc);
    SysFreeString(name);
    SysFreeString(doc);
    return result;
}

std::string TypeName(const TYPEDESC& desc) {
    switch (desc.vt) {
        case VT_I4: return "I4";
        case VT_BSTR: return "BSTR";
        case VT_DATE: return "DATE";
        case VT_HRESULT: return "HRESULT";
        case VT_PTR: return TypeName(*desc.lptdesc) + "*";
        default: return "vt" + std::to_string(desc.vt);
    }
}

std::string FlagText(USHORT flags) {
    std::string out;
    if (flags & PARAMFLAG_FIN) out += "in";
    if (flags & PARAMFLAG_FOUT) out += out.empty() ? "out" : ",out";
    if (flags & PARAMFLAG_FRETVAL) out += out.empty() ? "retval" : ",retval";
    return out.empty() ? "-" : out;
}

// "A:I4 B:BSTR*:out,retval" -> {"A:I4:in", "B:BSTR*:out,retval"}
std::vector<std::string> ExpectedParams(const char* text) {
    std::vector<std::string> out;
    std::string all(text), item;
    all += ' ';
    for (char c : all) {
        if (c != ' ') {
            item += c;
            continue;
        }
        if (item.empty()) continue;
        if (std::count(item.begin(), item.end(), ':') == 1) item += ":in";
        out.push_back(item);
        item.clear();
    }
    return out;
}

INVOKEKIND Kind(char kind) {
    return kind == 'g' ? INVOKE_PROPERTYGET : kind == 'p' ? INVOKE_PROPERTYPUT : INVOKE_FUNC;
}

template <size_t N>
void CheckInterface(ITypeLib* library, const wchar_t* iid, const char* label, const MemberRow (&rows)[N],
                    WORD flags, WORD absentFlags, const char* help, UINT slots) {
    ITypeInfo* info = nullptr;
    if (FAILED(library->GetTypeInfoOfGuid(Guid(iid), &info))) {
        Fail(std::string(label) + ": not in the library");
        return;
    }
    // A dual interface answers with its dispatch view; the vtable view is
    // the one behind it.
    ITypeInfo* dispatchView = info;
    TYPEATTR* attr = nullptr;
    info->GetTypeAttr(&attr);
    if (attr->typekind == TKIND_DISPATCH) {
        HREFTYPE ref = 0;
        ITypeInfo* vtableView = nullptr;
        if (FAILED(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref)) ||
            FAILED(info->GetRefTypeInfo(ref, &vtableView))) {
            Fail(std::string(label) + ": no vtable view");
            info->ReleaseTypeAttr(attr);
            return;
        }
        info->ReleaseTypeAttr(attr);
        info = vtableView;
        info->GetTypeAttr(&attr);
    } else {
        dispatchView->AddRef();
    }
    std::string docHelp;
    const std::string name = Doc(info, MEMBERID_NIL, &docHelp);
    if (name != label) Fail(std::string(label) + ": named " + name);
    if (docHelp != help) Fail(std::string(label) + ": help string " + docHelp);
    if ((attr->wTypeFlags & flags) != flags || (attr->wTypeFlags & absentFlags) != 0)
        Fail(std::string(label) + ": type flags " + std::to_string(attr->wTypeFlags));
    if (attr->cFuncs != N) Fail(std::string(label) + ": " + std::to_string(attr->cFuncs) + " members");
    if (attr->cbSizeVft != slots * sizeof(void*))
        Fail(std::string(label) + ": vtable of " + std::to_string(attr->cbSizeVft / sizeof(void*)) + " slots");
    const UINT count = attr->cFuncs < N ? attr->cFuncs : N;
    for (UINT i = 0; i < count; ++i) {
        const MemberRow& row = rows[i];
        const std::string where = std::string(label) + "." + row.name + " (slot " + std::to_string(7 + i) + ")";
        FUNCDESC* func = nullptr;
        if (FAILED(info->GetFuncDesc(i, &func))) {
            Fail(where + ": no function");
            continue;
        }
        if (func->memid != row.dispid) Fail(where + ": dispid " + std::to_string(func->memid));
        if (func->invkind != Kind(row.kind)) Fail(where + ": invoke kind " + std::to_string(func->invkind));
        if (func->oVft != static_cast<short>((7 + i) * sizeof(void*)))
            Fail(where + ": vtable offset " + std::to_string(func->oVft));
        if (TypeName(func->elemdescFunc.tdesc) != row.result)
            Fail(where + ": returns " + TypeName(func->elemdescFunc.tdesc));
        BSTR names[32] = {};
        UINT got = 0;
        info->GetNames(func->memid, names, 32, &got);
        const std::string memberName = got ? Narrow(names[0]) : "";
        if (memberName != row.name) Fail(where + ": named " + memberName);
        const std::vector<std::string> expected = ExpectedParams(row.params);
        if (func->cParams != static_cast<short>(expected.size())) {
            Fail(where + ": " + std::to_string(func->cParams) + " parameters");
        } else {
            for (short p = 0; p < func->cParams; ++p) {
                const ELEMDESC& param = func->lprgelemdescParam[p];
                std::string paramName = static_cast<UINT>(p + 1) < got ? Narrow(names[p + 1]) : "";
                // GetNames finds a property's getter first, so the name of a
                // put's value parameter cannot be read back; no client uses it.
                const std::string& want = expected[static_cast<size_t>(p)];
                if (row.kind == 'p') paramName = want.substr(0, want.find(':'));
                const std::string actual = paramName + ":" + TypeName(param.tdesc) + ":" +
                                           FlagText(param.paramdesc.wParamFlags);
                if (actual != want) Fail(where + ": parameter " + actual + ", expected " + want);
            }
        }
        for (UINT n = 0; n < got; ++n) SysFreeString(names[n]);
        std::string memberHelp;
        Doc(info, func->memid, &memberHelp);
        const std::string wantHelp = row.help ? row.help
                                     : std::string(row.kind == 'm' ? "method " : "property ") + row.name;
        if (memberHelp != wantHelp) Fail(where + ": help string \"" + memberHelp + "\"");
        info->ReleaseFuncDesc(func);
        // Late binding resolves the name to the same identifier.
        std::wstring wide(row.name, row.name + std::strlen(row.name));
        LPOLESTR lookup = &wide[0];
        MEMBERID id = 0;
        if (FAILED(dispatchView->GetIDsOfNames(&lookup, 1, &id)) || id != row.dispid)
            Fail(where + ": GetIDsOfNames gives " + std::to_string(id));
    }
    info->ReleaseTypeAttr(attr);
    info->Release();
    dispatchView->Release();
}

void CheckCoclass(ITypeLib* library, const wchar_t* clsid, const char* label, const wchar_t* iid,
                  const char* help) {
    ITypeInfo* info = nullptr;
    if (FAILED(library->GetTypeInfoOfGuid(Guid(clsid), &info))) {
        Fail(std::string("coclass ") + label + ": not in the library");
        return;
    }
    TYPEATTR* attr = nullptr;
    info->GetTypeAttr(&attr);
    std::string docHelp;
    if (Doc(info, MEMBERID_NIL, &docHelp) != label) Fail(std::string("coclass ") + label + ": name");
    if (docHelp != help) Fail(std::string("coclass ") + label + ": help " + docHelp);
    if (attr->typekind != TKIND_COCLASS || !(attr->wTypeFlags & TYPEFLAG_FCANCREATE))
        Fail(std::string("coclass ") + label + ": not creatable");
    if (attr->cImplTypes != 1) Fail(std::string("coclass ") + label + ": interfaces");
    INT implFlags = 0;
    info->GetImplTypeFlags(0, &implFlags);
    if (!(implFlags & IMPLTYPEFLAG_FDEFAULT)) Fail(std::string("coclass ") + label + ": no default");
    HREFTYPE ref = 0;
    ITypeInfo* itf = nullptr;
    if (SUCCEEDED(info->GetRefTypeOfImplType(0, &ref)) && SUCCEEDED(info->GetRefTypeInfo(ref, &itf))) {
        TYPEATTR* itfAttr = nullptr;
        itf->GetTypeAttr(&itfAttr);
        if (!IsEqualGUID(itfAttr->guid, Guid(iid))) Fail(std::string("coclass ") + label + ": wrong interface");
        itf->ReleaseTypeAttr(itfAttr);
        itf->Release();
    } else {
        Fail(std::string("coclass ") + label + ": interface unreadable");
    }
    info->ReleaseTypeAttr(attr);
    info->Release();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::printf("usage: typelib_check <module or .tlb>\n");
        return 2;
    }
    ITypeLib* library = nullptr;
    HRESULT hr = LoadTypeLibEx(argv[1], REGKIND_NONE, &library);
    if (FAILED(hr)) {
        std::printf("FAIL: LoadTypeLibEx 0x%08lx\n", static_cast<unsigned long>(hr));
        return 1;
    }
    TLIBATTR* libAttr = nullptr;
    library->GetLibAttr(&libAttr);
    if (!IsEqualGUID(libAttr->guid, Guid(kLibId))) Fail("library: LIBID");
    if (libAttr->wMajorVerNum != 1 || libAttr->wMinorVerNum != 0) Fail("library: version");
    library->ReleaseTLibAttr(libAttr);
    BSTR name = nullptr, doc = nullptr;
    library->GetDocumentation(-1, &name, &doc, nullptr, nullptr);
    if (Narrow(name) != "Brenvik") Fail("library: name " + Narrow(name));
    if (Narrow(doc) != "BrenvikPlus 1.0 Type Library") Fail("library: help " + Narrow(doc));
    SysFreeString(name);
    SysFreeString(doc);
    if (library->GetTypeInfoCount() != 4) Fail("library: " + std::to_string(library->GetTypeInfoCount()) + " types");

    CheckCoclass(library, kClsidBrenvik, "Brenvik", kIidBrenvik, "Brenvik Class");
    CheckCoclass(library, kClsidMaria301, "Maria301", kIidMaria301, "Maria301 Class");
    const WORD dual = TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE;
    CheckInterface(library, kIidBrenvik, "IBrenvik", kBrenvikRows, dual | TYPEFLAG_FNONEXTENSIBLE, 0,
                   "IBrenvik Interface", 102);
    CheckInterface(library, kIidMaria301, "IMaria301", kMaria301Rows, dual, TYPEFLAG_FNONEXTENSIBLE,
                   "IMaria301 Interface", 96);
    library->Release();
    std::printf("%s: %d failure(s); %u + %u members checked\n", g_failures ? "FAIL" : "OK", g_failures,
                static_cast<unsigned>(sizeof kBrenvikRows / sizeof kBrenvikRows[0]),
                static_cast<unsigned>(sizeof kMaria301Rows / sizeof kMaria301Rows[0]));
    return g_failures ? 1 : 0;
}
