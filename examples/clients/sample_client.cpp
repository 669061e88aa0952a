// A point-of-sale program in C++ that drives the printer through
// BrenvikPlus.dll with early binding (the IMaria301 vtable), the way VB6
// and Delphi programs do after importing the type library.
//
// Build with the installed SDK alone (brenvik_com.h defines the GUIDs too):
//   x86_64-w64-mingw32-g++ -std=c++17 -I"C:\Program Files\Brenvik\SDK" sample_client.cpp
//       -lole32 -loleaut32 -luuid
//   cl /EHsc /I"C:\Program Files\Brenvik\SDK" sample_client.cpp ole32.lib oleaut32.lib
// The installer registers BrenvikPlus.dll of both bitnesses. Run: sample_client 3
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <cstdlib>

#include "brenvik_com.h"

namespace {

// Every failure is explained by the server's last error.
void ShowError(IMaria301* printer) {
    BSTR code = nullptr;
    BSTR message = nullptr;
    printer->GetLastErrorCode(&code);
    printer->GetLastErrorMessage(&message);
    std::printf("  error %ls: %ls\n", code ? code : L"", message ? message : L"");
    SysFreeString(code);
    SysFreeString(message);
}

}  // namespace

int main(int argc, char** argv) {
    const LONG port = argc > 1 ? std::atol(argv[1]) : 3;
    CoInitialize(nullptr);
    IMaria301* printer = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_Maria301, nullptr, CLSCTX_INPROC_SERVER, IID_IMaria301,
                                  reinterpret_cast<void**>(&printer));
    if (FAILED(hr)) {
        std::printf("BrenvikPlus.Maria301 is not registered (0x%08lx)\n", static_cast<unsigned long>(hr));
        return 1;
    }
    // A service without a desktop: no message boxes, read the errors instead.
    printer->SetShowErrorMessages(0);

    BSTR cashier = SysAllocString(L"\x041e\x043b\x0435\x043d\x0430");  // Олена
    BSTR password = SysAllocString(L"1111");
    hr = printer->Init(port, cashier, password, 0, nullptr);
    SysFreeString(cashier);
    SysFreeString(password);
    if (FAILED(hr)) {
        ShowError(printer);
        printer->Release();
        return 1;
    }

    BSTR department = SysAllocString(L"1");
    BSTR bread = SysAllocString(L"\x0425\x043b\x0456\x0431 \x0436\x0438\x0442\x043d\x0456\x0439");  // Хліб житній
    LONG lineSum = 0;
    LONG checkSum = 0;
    if (SUCCEEDED(printer->OpenCheck(department)) &&
        // 2 pieces at 18.50, tax A (index 1), article 202
        SUCCEEDED(printer->FiscalLine(bread, 2, 1850, 0, 1, 0, 202, &lineSum)) &&
        // 50.00 in cash: the printer computes the change
        SUCCEEDED(printer->CloseCheckEx(5000, 0, 0, 0, &checkSum))) {
        std::printf("check closed: %ld.%02ld\n", checkSum / 100, checkSum % 100);
    } else {
        ShowError(printer);
        printer->AbortCheck();
    }
    SysFreeString(department);
    SysFreeString(bread);

    printer->Done();
    printer->Release();
    CoUninitialize();
    return 0;
}
