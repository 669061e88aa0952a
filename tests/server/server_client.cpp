// A compiled client of BrenvikPlus.dll, as VB6, Delphi and C++ point-of-sale
// programs are: it calls both interfaces through their vtables and through
// IDispatch::Invoke by dispatch identifier.
//
//   server_client contract C:\path\BrenvikPlus.dll
//       the class-object and module contract, the dispatch layer and the
//       members that need no printer, on the DLL loaded directly
//   server_client session N
//       a whole session on COMN through the registered classes
//   server_client errorbox C:\path\BrenvikPlus.dll on|off
//       one failing command with message boxes on or off; prints how long
//       the call took
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "server/brenvik_idl.h"

namespace {

int g_failures = 0;

void Check(bool ok, const char* what) {
    std::printf("%s: %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok) ++g_failures;
}

void CheckHr(HRESULT got, HRESULT want, const char* what) {
    if (got != want)
        std::printf("  0x%08lx instead of 0x%08lx\n", static_cast<unsigned long>(got),
                    static_cast<unsigned long>(want));
    Check(got == want, what);
}

bool Same(BSTR text, const wchar_t* expected) {
    return text != nullptr && std::wcscmp(text, expected) == 0;
}

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using CanUnloadFn = HRESULT(STDAPICALLTYPE*)();

// An outer object for aggregation: counts what reaches it.
class Outer : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        ++queries;
        if (IsEqualIID(iid, IID_IUnknown)) {
            *object = this;
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }
    long refs = 1;
    int queries = 0;
};

// ---- contract ----------------------------------------------------------------

HRESULT CallInvoke(IDispatch* object, DISPID id, WORD flags, VARIANT* args, UINT count,
                   VARIANT* result, bool put = false) {
    DISPPARAMS params = {args, nullptr, count, 0};
    DISPID named = DISPID_PROPERTYPUT;
    if (put) {
        params.rgdispidNamedArgs = &named;
        params.cNamedArgs = 1;
    }
    EXCEPINFO exception = {};
    UINT argError = 0;
    const HRESULT hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result,
                                      &exception, &argError);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
    if (hr == DISP_E_EXCEPTION && exception.scode != 0) return exception.scode;
    return hr;
}

int Contract(const wchar_t* dllPath) {
    HMODULE module = LoadLibraryW(dllPath);
    if (module == nullptr) {
        std::printf("FAIL: cannot load the DLL (%lu)\n", GetLastError());
        return 1;
    }
    auto getClassObject = reinterpret_cast<GetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    auto canUnload = reinterpret_cast<CanUnloadFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
    Check(getClassObject && canUnload, "DllGetClassObject and DllCanUnloadNow exported");
    if (!getClassObject || !canUnload) return 1;

    // DllGetClassObject.
    CheckHr(getClassObject(CLSID_Brenvik, IID_IClassFactory, nullptr), E_POINTER, "null ppv: E_POINTER");
    void* object = reinterpret_cast<void*>(1);
    CheckHr(getClassObject(IID_IBrenvik, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE,
            "unknown CLSID: CLASS_E_CLASSNOTAVAILABLE");
    Check(object == nullptr, "unknown CLSID leaves *ppv null");
    object = reinterpret_cast<void*>(1);
    CheckHr(getClassObject(CLSID_Brenvik, IID_IDispatch, &object), E_NOINTERFACE,
            "class object asked for IDispatch: E_NOINTERFACE");
    Check(object == nullptr, "... and *ppv null");
    IClassFactory* brenvikFactory = nullptr;
    IClassFactory* mariaFactory = nullptr;
    CheckHr(getClassObject(CLSID_Brenvik, IID_IClassFactory, reinterpret_cast<void**>(&brenvikFactory)),
            S_OK, "class object of Brenvik");
    CheckHr(getClassObject(CLSID_Maria301, IID_IUnknown, reinterpret_cast<void**>(&mariaFactory)), S_OK,
            "class object of Maria301 as IUnknown");
    if (!brenvikFactory || !mariaFactory) return 1;
    IClassFactory* again = nullptr;
    getClassObject(CLSID_Brenvik, IID_IClassFactory, reinterpret_cast<void**>(&again));
    Check(again == brenvikFactory, "the class object is kept and handed out again");
    if (again) again->Release();
    CheckHr(canUnload(), S_OK, "class objects alone do not hold the module");

    // CreateInstance and aggregation.
    CheckHr(brenvikFactory->CreateInstance(nullptr, IID_IBrenvik, nullptr), E_POINTER,
            "CreateInstance with null ppv: E_POINTER");
    Outer outer;
    object = reinterpret_cast<void*>(1);
    CheckHr(brenvikFactory->CreateInstance(&outer, IID_IBrenvik, &object), CLASS_E_NOAGGREGATION,
            "aggregation asking for IBrenvik: CLASS_E_NOAGGREGATION");
    Check(object == nullptr, "... and *ppv null");
    CheckHr(brenvikFactory->CreateInstance(nullptr, IID_IClassFactory, &object), E_NOINTERFACE,
            "an interface the class lacks: E_NOINTERFACE");
    CheckHr(canUnload(), S_OK, "the refused object was destroyed again");

    IUnknown* inner = nullptr;
    CheckHr(mariaFactory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK,
            "aggregated Maria301");
    if (inner) {
        CheckHr(canUnload(), S_FALSE, "an aggregated object holds the module");
        IMaria301* maria = nullptr;
        CheckHr(inner->QueryInterface(IID_IMaria301, reinterpret_cast<void**>(&maria)), S_OK,
                "inner unknown gives IMaria301");
        const long before = outer.refs;
        maria->AddRef();
        Check(outer.refs == before + 1, "AddRef of the aggregated interface reaches the outer object");
        maria->Release();
        IUnknown* identity = nullptr;
        maria->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity));
        Check(identity == &outer && outer.queries == 1, "QueryInterface delegates to the outer object");
        if (identity) identity->Release();
        maria->Release();  // to the outer
        inner->Release();
        CheckHr(canUnload(), S_OK, "releasing the inner unknown destroys the object");
    }

    // LockServer and the lock count.
    CheckHr(brenvikFactory->LockServer(TRUE), S_OK, "LockServer(TRUE)");
    CheckHr(canUnload(), S_FALSE, "a server lock holds the module");
    CheckHr(brenvikFactory->LockServer(FALSE), S_OK, "LockServer(FALSE)");
    CheckHr(canUnload(), S_OK, "unlocked again");

    IBrenvik* brenvik = nullptr;
    IMaria301* maria = nullptr;
    CheckHr(brenvikFactory->CreateInstance(nullptr, IID_IBrenvik, reinterpret_cast<void**>(&brenvik)), S_OK,
            "a Brenvik object");
    CheckHr(mariaFactory->CreateInstance(nullptr, IID_IMaria301, reinterpret_cast<void**>(&maria)), S_OK,
            "a Maria301 object");
    if (!brenvik || !maria) return 1;
    CheckHr(canUnload(), S_FALSE, "live objects hold the module");
    object = reinterpret_cast<void*>(1);
    CheckHr(brenvik->QueryInterface(IID_IMaria301, &object), E_NOINTERFACE, "a Brenvik is no IMaria301");
    Check(object == nullptr, "... and *ppv null");

    // The dispatch layer.
    CheckHr(brenvik->GetTypeInfoCount(nullptr), E_POINTER, "GetTypeInfoCount(null): E_POINTER");
    UINT count = 0;
    brenvik->GetTypeInfoCount(&count);
    Check(count == 1, "GetTypeInfoCount answers 1");
    CheckHr(maria->GetTypeInfo(0, 0, nullptr), E_POINTER, "GetTypeInfo(null): E_POINTER");
    ITypeInfo* info = nullptr;
    CheckHr(maria->GetTypeInfo(0, 0, &info), S_OK, "GetTypeInfo");
    if (info) {
        TYPEATTR* attr = nullptr;
        info->GetTypeAttr(&attr);
        Check(IsEqualGUID(attr->guid, IID_IMaria301), "the type information is IMaria301's");
        info->ReleaseTypeAttr(attr);
        info->Release();
    }
    struct Lookup {
        IDispatch* object;
        const wchar_t* name;
        DISPID id;
        const char* what;
    } lookups[] = {
        {brenvik, L"GetArticleInfoXML", 0x22, "IBrenvik GetArticleInfoXML is 0x22"},
        {maria, L"GetArticleInfoXML", 0x23, "IMaria301 GetArticleInfoXML is 0x23"},
        {brenvik, L"SetTaxesCalcMode", 0x40, "IBrenvik SetTaxesCalcMode is 0x40"},
        {maria, L"SetTaxesCalcMode", 0x3f, "IMaria301 SetTaxesCalcMode is 0x3f"},
        {brenvik, L"ShowErrorMessages", 0x42, "IBrenvik ShowErrorMessages is 0x42"},
    };
    for (const Lookup& lookup : lookups) {
        LPOLESTR name = const_cast<LPOLESTR>(lookup.name);
        DISPID id = 0;
        lookup.object->GetIDsOfNames(IID_NULL, &name, 1, 0, &id);
        Check(id == lookup.id, lookup.what);
    }

    // Members that need no printer, through the vtable.
    Check(brenvik->GetPortNumber() == 1, "IBrenvik.GetPortNumber answers 1");
    Check(brenvik->LockPrinter(0) == 1 && brenvik->LockPrinter(-1) == 1 && brenvik->UnlockPrinter() == 1,
          "LockPrinter(0), LockPrinter(-1), UnlockPrinter answer 1");
    Check(brenvik->SetOnSaleTaxes(1) == 0, "IBrenvik.SetOnSaleTaxes answers 0");
    Check(brenvik->SetPrintingDoubleWidth(1) == 0, "IBrenvik.SetPrintingDoubleWidth answers 0");
    Check(brenvik->OpenTextDocument() == 1 && brenvik->SetTaxesCalcMode(1) == 1 &&
              brenvik->LowSendMessageToPrinter(nullptr) == 1 && brenvik->SetShowPrinterStatus(1) == 1,
          "no-effect members answer 1");
    BSTR message = brenvik->LowGetNextPendingPrinterMessage(100);
    Check(Same(message, L""), "LowGetNextPendingPrinterMessage answers an empty text");
    SysFreeString(message);
    CheckHr(maria->SetPrintingDoubleWidth(1), E_FAIL, "IMaria301.SetPrintingDoubleWidth: E_FAIL");
    CheckHr(maria->LockPrinter(0), S_OK, "IMaria301.LockPrinter: S_OK");
    CheckHr(maria->OpenTextDocument(), S_OK, "IMaria301.OpenTextDocument: S_OK");
    LONG port = 0;
    CheckHr(maria->GetPortNumber(&port), S_OK, "IMaria301.GetPortNumber: S_OK");
    Check(port == 1, "... with 1");
    message = nullptr;
    CheckHr(maria->LowGetNextPendingPrinterMessage(0, &message), S_OK, "IMaria301.LowGetNextPendingPrinterMessage");
    Check(Same(message, L""), "... with an empty text");
    SysFreeString(message);
    CheckHr(brenvik->put_RegistrationModePassword(SysAllocString(L"secret")), S_OK, "password put");
    BSTR password = nullptr;
    CheckHr(brenvik->get_RegistrationModePassword(&password), S_OK, "password get");
    Check(Same(password, L""), "a password reads back empty");
    SysFreeString(password);

    // One engine behind every object.
    brenvik->put_ShowErrorMessages(5);
    LONG show = -1;
    brenvik->get_ShowErrorMessages(&show);
    Check(show == 1, "ShowErrorMessages 5 reads back as 1");
    CheckHr(maria->SetShowErrorMessages(0), S_OK, "SetShowErrorMessages(0) through IMaria301");
    brenvik->get_ShowErrorMessages(&show);
    Check(show == 0, "... is seen through IBrenvik");

    // Null out-pointers never crash.
    CheckHr(brenvik->get_CheckSumm(nullptr), S_OK, "get_CheckSumm(null)");
    CheckHr(brenvik->get_LastErrorMessage(nullptr), S_OK, "get_LastErrorMessage(null)");
    CheckHr(maria->GetCheckSum(nullptr), S_OK, "GetCheckSum(null)");
    CheckHr(maria->GetLastErrorCode(nullptr), S_OK, "GetLastErrorCode(null)");
    CheckHr(maria->GetPortNumber(nullptr), S_OK, "GetPortNumber(null)");
    maria->GetPrinterTime(nullptr);
    maria->CloseCheck(nullptr);
    maria->GetPrinterKeyPosition(nullptr);

    // No printer: Done answers 1; Init on a port that does not exist fails
    // with error 1, whose Russian message arrives intact whatever the
    // system's ANSI code page.
    Check(brenvik->Done() == 1, "Done before Init answers 1");
    BSTR name = SysAllocString(L"Cashier");
    Check(brenvik->Init(199, name, name, 0, nullptr) == 0, "Init on a missing port answers 0");
    CheckHr(maria->Init(199, name, name, 0, nullptr), E_FAIL, "IMaria301.Init on a missing port: E_FAIL");
    SysFreeString(name);
    BSTR text = nullptr;
    brenvik->get_LastErrorMessage(&text);
    // "Невозможно открыть СОМ порт" with the Cyrillic С, О, М.
    Check(Same(text, L"\x041d\x0435\x0432\x043e\x0437\x043c\x043e\x0436\x043d\x043e \x043e\x0442\x043a\x0440"
                     L"\x044b\x0442\x044c \x0421\x041e\x041c \x043f\x043e\x0440\x0442"),
          "LastErrorMessage of error 1, in Russian");
    SysFreeString(text);
    text = nullptr;
    CheckHr(maria->GetLastErrorMessage(&text), S_OK, "GetLastErrorMessage: S_OK");
    Check(Same(text, L""), "the message is read once");
    SysFreeString(text);

    // Invoke by dispatch identifier.
    VARIANT result;
    VariantInit(&result);
    CheckHr(CallInvoke(brenvik, 0x2, DISPATCH_METHOD, nullptr, 0, &result), S_OK, "Invoke IBrenvik 0x2");
    Check(result.vt == VT_I4 && result.lVal == 1, "... GetPortNumber gives I4 1");
    VariantClear(&result);
    VARIANT arg;
    VariantInit(&arg);
    arg.vt = VT_I4;
    arg.lVal = 3;
    CheckHr(CallInvoke(brenvik, 0x42, DISPATCH_PROPERTYPUT, &arg, 1, nullptr, true), S_OK,
            "Invoke put ShowErrorMessages");
    CheckHr(CallInvoke(brenvik, 0x42, DISPATCH_PROPERTYGET, nullptr, 0, &result), S_OK,
            "Invoke get ShowErrorMessages");
    Check(result.vt == VT_I4 && result.lVal == 1, "... reads 1");
    VariantClear(&result);
    CheckHr(CallInvoke(maria, 0x40, DISPATCH_METHOD, &(arg.lVal = 0, arg), 1, nullptr), S_OK,
            "Invoke IMaria301 SetShowErrorMessages(0)");
    CheckHr(CallInvoke(maria, 0x2, DISPATCH_METHOD, nullptr, 0, &result), S_OK, "Invoke IMaria301 0x2");
    Check(result.vt == VT_I4 && result.lVal == 1, "... the retval comes back as the result");
    VariantClear(&result);
    CheckHr(CallInvoke(maria, 0x35, DISPATCH_METHOD, &(arg.lVal = 1, arg), 1, nullptr), E_FAIL,
            "Invoke IMaria301 SetPrintingDoubleWidth reports E_FAIL");
    CheckHr(CallInvoke(brenvik, 0x35, DISPATCH_METHOD, &arg, 1, &result), S_OK,
            "Invoke IBrenvik SetPrintingDoubleWidth");
    Check(result.vt == VT_I4 && result.lVal == 0, "... gives I4 0");
    VariantClear(&result);
    CheckHr(CallInvoke(brenvik, 0x4, DISPATCH_METHOD, nullptr, 0, &result), DISP_E_BADPARAMCOUNT,
            "Invoke with a missing argument: DISP_E_BADPARAMCOUNT");
    CheckHr(CallInvoke(brenvik, 0x7, DISPATCH_METHOD, &arg, 1, &result), S_OK,
            "Invoke IBrenvik LowGetNextPendingPrinterMessage");
    Check(result.vt == VT_BSTR && Same(result.bstrVal, L""), "... gives an empty BSTR");
    VariantClear(&result);
    CheckHr(CallInvoke(maria, 0x7777, DISPATCH_METHOD, nullptr, 0, &result), DISP_E_MEMBERNOTFOUND,
            "an unknown dispatch identifier");

    // Registration puts the caller's thread locale back.
    using ServerFn = HRESULT(STDAPICALLTYPE*)();
    auto registerServer = reinterpret_cast<ServerFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
    auto unregisterServer = reinterpret_cast<ServerFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllUnregisterServer")));
    const LCID ukrainian = MAKELCID(MAKELANGID(LANG_UKRAINIAN, SUBLANG_DEFAULT), SORT_DEFAULT);
    SetThreadLocale(ukrainian);
    CheckHr(registerServer ? registerServer() : E_FAIL, S_OK, "DllRegisterServer");
    Check(GetThreadLocale() == ukrainian, "... leaves the thread locale as it was");
    CheckHr(unregisterServer ? unregisterServer() : E_FAIL, S_OK, "DllUnregisterServer");
    Check(GetThreadLocale() == ukrainian, "... leaves the thread locale as it was");

    brenvik->Release();
    maria->Release();
    CheckHr(canUnload(), S_OK, "after the last release the module may unload");
    brenvikFactory->Release();
    mariaFactory->Release();
    std::printf("%s: %d failure(s)\n", g_failures ? "FAIL" : "OK", g_failures);
    return g_failures ? 1 : 0;
}

// ---- session and error box ------------------------------------------------------

// A BSTR for one call.
class Text {
public:
    explicit Text(const wchar_t* text) : text_(SysAllocString(text)) {}
    ~Text() { SysFreeString(text_); }
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    operator BSTR() const { return text_; }

private:
    BSTR text_;
};

// Asks the test driver to pass a line to the simulator's control socket.
std::string SimControl(const char* line) {
    DeleteFileA("C:\\sim-answer.txt");
    FILE* request = std::fopen("C:\\sim-request.tmp", "wb");
    if (!request) return "";
    std::fputs(line, request);
    std::fclose(request);
    MoveFileA("C:\\sim-request.tmp", "C:\\sim-request.txt");
    for (int i = 0; i < 400; ++i) {
        FILE* answer = std::fopen("C:\\sim-answer.txt", "rb");
        if (answer) {
            char buffer[256] = {};
            const size_t got = std::fread(buffer, 1, sizeof buffer - 1, answer);
            std::fclose(answer);
            if (got > 0) {
                DeleteFileA("C:\\sim-answer.txt");
                return std::string(buffer, got);
            }
        }
        Sleep(50);
    }
    return "";
}

int Session(LONG port) {
    IBrenvik* brenvik = nullptr;
    IBrenvik* another = nullptr;
    IMaria301* maria = nullptr;
    CheckHr(CoCreateInstance(CLSID_Brenvik, nullptr, CLSCTX_INPROC_SERVER, IID_IBrenvik,
                             reinterpret_cast<void**>(&brenvik)), S_OK, "CoCreateInstance Brenvik");
    CheckHr(CoCreateInstance(CLSID_Brenvik, nullptr, CLSCTX_INPROC_SERVER, IID_IBrenvik,
                             reinterpret_cast<void**>(&another)), S_OK, "a second Brenvik");
    CheckHr(CoCreateInstance(CLSID_Maria301, nullptr, CLSCTX_INPROC_SERVER, IID_IMaria301,
                             reinterpret_cast<void**>(&maria)), S_OK, "CoCreateInstance Maria301");
    if (!brenvik || !another || !maria) return 1;
    maria->SetShowErrorMessages(0);

    // The text limits, read back from the debug log by the driver.
    // (A pseudo-terminal under Wine takes the line settings once: a fresh
    // simulator for every Init.)
    Check(brenvik->InitEx(port, Text(L"Cashier12345"), Text(L"Pass5678901"), 0, Text(L"Application"),
                          Text(L"Host")) == 1, "InitEx through IBrenvik");
    SimControl("restart");
    maria->Init(port, nullptr, nullptr, 0, nullptr);
    SimControl("restart");
    CheckHr(maria->Init(port, Text(L"Cashier12345"), Text(L"Pass5678901"), 0, Text(L"App")), S_OK,
            "Init through IMaria301");

    // Each text cut to its own limit; the driver reads the engine's log.
    struct Cut {
        wchar_t letter;
        size_t length;
        LONG (STDMETHODCALLTYPE IBrenvik::*call)(BSTR);
    } cuts[] = {
        {L'P', 20, &IBrenvik::OpenCheck},        // 15
        {L'A', 7, &IBrenvik::SetDeptAlias},      // 5
        {L'H', 50, &IBrenvik::SetCheckHeadLine},  // 43
        {L'B', 50, &IBrenvik::SetCheckBottomLine},  // 43
        {L'G', 30, &IBrenvik::OpenGoodsGroup},   // 21
        {L'N', 100, &IBrenvik::SetReturnCheckNumberStr},  // 86
        {L'L', 100, &IBrenvik::LongName},        // 86
    };
    for (const Cut& cut : cuts) {
        std::wstring text(cut.length, cut.letter);
        (brenvik->*cut.call)(Text(text.c_str()));
    }
    brenvik->CloseGoodsGroup(Text(std::wstring(30, L'D').c_str()), Text(std::wstring(30, L'U').c_str()));
    brenvik->AbortCheck();

    // A sale check through the other objects: one engine behind all three.
    Check(another->OpenCheck(Text(L"1")) == 1, "OpenCheck through a second IBrenvik");
    Check(another->FiscalLine(Text(L"\x041c\x043e\x043b\x043e\x043a\x043e 2,5%"), 3, 4250, 0, 1, 0, 101) ==
              12750, "FiscalLine Молоко 3 x 42.50 = 127.50");
    LONG lineSum = 0;
    CheckHr(maria->FiscalLine(Text(L"\x0425\x043b\x0456\x0431"), 2, 1850, 0, 1, 0, 102, &lineSum), S_OK,
            "FiscalLine Хліб through IMaria301");
    Check(lineSum == 3700, "... ThisLineSum 37.00");
    LONG sum = 0;
    brenvik->get_CheckSumm(&sum);
    Check(sum == 16450, "CheckSumm seen through the first object");
    CheckHr(maria->Storn(), S_OK, "Storn");
    maria->GetCheckSum(&sum);
    Check(sum == 12750, "Storn takes the last line off the check sum");
    CheckHr(maria->FiscalLine(Text(L"\x0425\x043b\x0456\x0431"), 2, 1850, 0, 1, 0, 102, &lineSum), S_OK,
            "the line again");
    LONG checkSum = 0;
    CheckHr(maria->CloseCheckEx(20000, 0, 0, 0, &checkSum), S_OK, "CloseCheckEx with cash");
    Check(checkSum == 16450, "... the check sum 164.50");
    BSTR result = brenvik->GetCheckResult();
    Check(result != nullptr && SysStringLen(result) > 0, "GetCheckResult after the check");
    SysFreeString(result);

    // A return check.
    Check(brenvik->OpenReturnCheck(Text(L"1")) == 1, "OpenReturnCheck");
    Check(brenvik->FiscalLine(Text(L"\x041c\x043e\x043b\x043e\x043a\x043e 2,5%"), 1, 4250, 0, 1, 0, 101) ==
              4250, "a return line");
    LONG returned = 0, viaMaria = 0;
    brenvik->get_CheckReturnSumm(&returned);
    maria->GetCheckReturnSum(&viaMaria);
    Check(returned == 4250 && viaMaria == 4250, "CheckReturnSumm and GetCheckReturnSum agree");
    Check(brenvik->CloseCheck() != 0, "CloseCheck of the return check");

    // Dates and the longest text limit, read back from the log.
    brenvik->PeriodicalFiscalReportDate(40238.0, 40268.0);
    std::wstring display(250, L'D');
    brenvik->PutToExternalDisplay(Text(display.c_str()), 1);

    // An injected printer error, read back through both interfaces; aimed
    // at the report itself, past the counter the engine reads before it.
    SimControl("target ZREP");
    Check(SimControl("next error SOFTPAPER").rfind("OK", 0) == 0, "simulator takes the fault");
    Check(brenvik->XReport() == 0, "XReport fails on the injected error");
    BSTR code = nullptr;
    brenvik->get_LastErrorCode(&code);
    Check(Same(code, L"SOFTPAPER"), "LastErrorCode SOFTPAPER");
    SysFreeString(code);
    SimControl("target ZREP");
    SimControl("next error SOFTPAPER");
    CheckHr(maria->XReport(), E_FAIL, "IMaria301.XReport: E_FAIL");
    code = nullptr;
    CheckHr(maria->GetLastErrorCode(&code), S_OK, "GetLastErrorCode: S_OK");
    Check(Same(code, L"SOFTPAPER"), "GetLastErrorCode SOFTPAPER");
    SysFreeString(code);
    SimControl("next error SOFTPAPER");
    lineSum = -1;
    CheckHr(maria->FiscalLine(Text(L"X"), 1, 100, 0, 1, 0, 1, &lineSum), E_FAIL,
            "a refused FiscalLine: E_FAIL");
    Check(lineSum != -1, "... its ThisLineSum is stored all the same");
    // Error 35, a printer not yet fiscalized, counts as success.
    SimControl("next error SOFTREGIST");
    CheckHr(maria->FiscalLine(Text(L"X"), 1, 100, 0, 1, 0, 1, &lineSum), S_OK,
            "a FiscalLine answered with error 35: S_OK");
    code = nullptr;
    maria->GetLastErrorCode(&code);
    Check(Same(code, L"SOFTREGIST"), "... while the error word is SOFTREGIST");
    SysFreeString(code);

    // Invoke by dispatch identifier: XReport is 0x2e in both.
    VARIANT value;
    VariantInit(&value);
    CheckHr(CallInvoke(brenvik, 0x2e, DISPATCH_METHOD, nullptr, 0, &value), S_OK, "Invoke XReport (IBrenvik)");
    Check(value.vt == VT_I4 && value.lVal == 1, "... answers 1");
    VariantClear(&value);
    CheckHr(CallInvoke(maria, 0x2e, DISPATCH_METHOD, nullptr, 0, nullptr), S_OK, "Invoke XReport (IMaria301)");
    // GetCashInfoXML: 0x25 in IBrenvik, 0x26 in IMaria301.
    CheckHr(CallInvoke(brenvik, 0x25, DISPATCH_METHOD, nullptr, 0, &value), S_OK, "Invoke GetCashInfoXML");
    Check(value.vt == VT_BSTR && value.bstrVal && std::wcsstr(value.bstrVal, L"<m301_cash_info>"),
          "... an m301_cash_info document");
    VariantClear(&value);
    VARIANT byRef;
    BSTR cash = nullptr;
    byRef.vt = VT_BSTR | VT_BYREF;
    byRef.pbstrVal = &cash;
    CheckHr(CallInvoke(maria, 0x26, DISPATCH_METHOD, &byRef, 1, nullptr), S_OK,
            "Invoke IMaria301 GetCashInfoXML with a by-reference BSTR");
    Check(cash && std::wcsstr(cash, L"<m301_cash_info>"), "... written through the pointer");
    SysFreeString(cash);
    LONG key = -1;
    CheckHr(maria->GetPrinterKeyPosition(&key), S_OK, "GetPrinterKeyPosition");
    Check(key == brenvik->GetPrinterKeyPosition() && key != -1, "... the same key both ways");
    VARIANT args[2];
    args[1].vt = VT_DATE;
    args[1].date = 40238.0;
    args[0].vt = VT_DATE;
    args[0].date = 40268.0;
    CallInvoke(maria, 0x33, DISPATCH_METHOD, args, 2, nullptr);

    Check(brenvik->Done() == 1, "Done");
    brenvik->Release();
    another->Release();
    maria->Release();
    std::printf("%s: %d failure(s)\n", g_failures ? "FAIL" : "OK", g_failures);
    return g_failures ? 1 : 0;
}

// "Korvell Quillon для Мария 301МТМ"
const wchar_t kCaption[] = L"Korvell Quillon \x0434\x043b\x044f \x041c\x0430\x0440\x0438\x044f 301\x041c\x0422\x041c";
// "Невозможно открыть СОМ порт\nКод ошибки: 1"
const wchar_t kBoxText[] =
    L"\x041d\x0435\x0432\x043e\x0437\x043c\x043e\x0436\x043d\x043e \x043e\x0442\x043a\x0440\x044b\x0442\x044c "
    L"\x0421\x041e\x041c \x043f\x043e\x0440\x0442\n\x041a\x043e\x0434 \x043e\x0448\x0438\x0431\x043a\x0438: 1";

struct BoxWatch {
    volatile LONG callReturned = 0;
    LONG sawBox = 0;
    LONG boxWhileCallRunning = 0;
    std::wstring text;
};

BOOL CALLBACK CollectText(HWND child, LPARAM param) {
    wchar_t buffer[512] = {};
    GetWindowTextW(child, buffer, 511);
    wchar_t cls[64] = {};
    GetClassNameW(child, cls, 63);
    if (_wcsicmp(cls, L"Static") == 0 && buffer[0]) reinterpret_cast<std::wstring*>(param)->append(buffer);
    return TRUE;
}

DWORD WINAPI WatchForBox(void* param) {
    BoxWatch* watch = static_cast<BoxWatch*>(param);
    for (int i = 0; i < 300 && !watch->callReturned; ++i) {
        HWND box = FindWindowW(nullptr, kCaption);
        if (box) {
            watch->sawBox = 1;
            EnumChildWindows(box, CollectText, reinterpret_cast<LPARAM>(&watch->text));
            // Leave it up a while: the call must still be waiting.
            Sleep(1500);
            watch->boxWhileCallRunning = watch->callReturned ? 0 : 1;
            PostMessageW(box, WM_COMMAND, IDOK, 0);
            return 0;
        }
        Sleep(50);
    }
    return 0;
}

int ErrorBox(const wchar_t* dllPath, bool on) {
    HMODULE module = LoadLibraryW(dllPath);
    auto getClassObject = module ? reinterpret_cast<GetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject"))) : nullptr;
    IClassFactory* factory = nullptr;
    if (!getClassObject || FAILED(getClassObject(CLSID_Brenvik, IID_IClassFactory,
                                                 reinterpret_cast<void**>(&factory)))) {
        std::printf("FAIL: no class object\n");
        return 1;
    }
    IBrenvik* brenvik = nullptr;
    factory->CreateInstance(nullptr, IID_IBrenvik, reinterpret_cast<void**>(&brenvik));
    Check(brenvik->get_ShowErrorMessages(nullptr) == S_OK, "ShowErrorMessages readable");
    LONG show = -1;
    brenvik->get_ShowErrorMessages(&show);
    Check(show == 1, "message boxes are on after loading");
    brenvik->put_ShowErrorMessages(on ? 1 : 0);
    BoxWatch watch;
    HANDLE thread = CreateThread(nullptr, 0, WatchForBox, &watch, 0, nullptr);
    const DWORD start = GetTickCount();
    const LONG result = brenvik->Init(199, Text(L"Cashier"), Text(L"1"), 0, nullptr);
    const DWORD elapsed = GetTickCount() - start;
    InterlockedExchange(&watch.callReturned, 1);
    WaitForSingleObject(thread, 20000);
    CloseHandle(thread);
    Check(result == 0, "Init on a missing port fails");
    std::printf("call took %lu ms\n", static_cast<unsigned long>(elapsed));
    if (on) {
        Check(watch.sawBox != 0, "a box with the caption appeared");
        Check(watch.text == kBoxText, "its text is the message and the error number");
        Check(watch.boxWhileCallRunning != 0 && elapsed >= 1400, "the call waited until the box was closed");
    } else {
        Check(watch.sawBox == 0, "no box with message boxes off");
        Check(elapsed < 1400, "the call did not wait");
    }
    BSTR message = nullptr;
    brenvik->get_LastErrorMessage(&message);
    Check(message && std::wcsncmp(message, kBoxText, 27) == 0, "the message is kept either way");
    SysFreeString(message);
    brenvik->Release();
    factory->Release();
    std::printf("%s: %d failure(s)\n", g_failures ? "FAIL" : "OK", g_failures);
    return g_failures ? 1 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 3 && std::wcscmp(argv[1], L"contract") == 0) {
        CoInitialize(nullptr);
        const int rc = Contract(argv[2]);
        CoUninitialize();
        return rc;
    }
    if (argc >= 3 && std::wcscmp(argv[1], L"session") == 0) {
        CoInitialize(nullptr);
        const int rc = Session(std::wcstol(argv[2], nullptr, 10));
        CoUninitialize();
        return rc;
    }
    if (argc >= 4 && std::wcscmp(argv[1], L"errorbox") == 0) {
        CoInitialize(nullptr);
        const int rc = ErrorBox(argv[2], std::wcscmp(argv[3], L"on") == 0);
        CoUninitialize();
        return rc;
    }
    std::printf("usage: server_client contract DLL | session N | errorbox DLL on|off\n");
    return 2;
}
