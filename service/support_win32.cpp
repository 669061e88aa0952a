#include "service/support_win32.h"

#include <knownfolders.h>
#include <shellapi.h>
#include <shlobj.h>

namespace brenvikd {
namespace win32 {

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string Utf8(const wchar_t* wide) {
    if (!wide || !*wide) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n > 0 ? n - 1 : 0));
    return out;
}

std::string DataDirectory() {
    std::string base;
    PWSTR known = nullptr;
    if (SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &known) == S_OK) base = Utf8(known);
    CoTaskMemFree(known);
    if (base.empty()) {
        wchar_t text[MAX_PATH];
        DWORD n = GetEnvironmentVariableW(L"PROGRAMDATA", text, MAX_PATH);
        if (n > 0 && n < MAX_PATH) base = Utf8(text);
    }
    if (base.empty()) base = "C:\\ProgramData";
    if (base.back() == '\\') base.pop_back();
    return base + "\\Brenvik";
}

std::string PrivateDirectory() { return DataDirectory() + "\\service"; }

std::string ErrorText(DWORD code) {
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string out = n ? Utf8(text) : std::string();
    LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.')) {
        out.pop_back();
    }
    return (out.empty() ? std::string("error") : out) + " (error " + std::to_string(code) + ")";
}

std::vector<std::string> Arguments() {
    int count = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) out.push_back(Utf8(args[i]));
    LocalFree(args);
    return out;
}

}  // namespace win32
}  // namespace brenvikd
