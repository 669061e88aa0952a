// brenvik log on Windows: the library's choice of directory (engine's
// platform_win32.cpp: brenvik.exe lies beside brenvik.dll), and the log
// opened so that the library may still move it aside when it archives it.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdlib>
#include <string>

#include "cli/log_view.h"
#include "cli/wide_text_win32.h"

namespace brenvik::cli {

const char* const kLogChoices =
    "  %BRENVIK_LOG_DIR%\n"
    "  the registry value HKLM\\Software\\Brenvik LogDirectory\n"
    "  the directory of brenvik.dll\n"
    "  %ProgramData%\\Brenvik, when the one chosen cannot be written";

namespace {

std::wstring Environment(const wchar_t* name) {
    const wchar_t* value = _wgetenv(name);
    return value != nullptr ? value : L"";
}

std::wstring RegistryLogDirectory() {
    wchar_t value[261] = {};
    DWORD size = sizeof value - sizeof value[0];
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Brenvik", L"LogDirectory", RRF_RT_REG_SZ, nullptr, value,
                     &size) != ERROR_SUCCESS)
        return std::wstring();
    return value;
}

std::wstring ProgramDirectory() {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return L".";
    std::wstring directory(path, n);
    const size_t slash = directory.find_last_of(L'\\');
    return slash == std::wstring::npos ? L"." : directory.substr(0, slash);
}

// As the library tells: a file can be made there (the probe is gone on close).
bool Writable(const std::wstring& directory) {
    HANDLE file = CreateFileW((directory + L"\\brenvik-log.probe").c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
    return true;
}

bool HoldsLog(const std::wstring& directory) {
    return GetFileAttributesW((directory + L"\\Pelmora.log").c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool Identity(HANDLE file, BY_HANDLE_FILE_INFORMATION& info) {
    return file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &info) != 0;
}

}  // namespace

std::string LogDirectoryToRead() {
    std::wstring configured = Environment(L"BRENVIK_LOG_DIR");
    if (configured.empty()) configured = RegistryLogDirectory();
    while (configured.size() > 3 && (configured.back() == L'\\' || configured.back() == L'/')) configured.pop_back();
    const std::wstring first = configured.empty() ? ProgramDirectory() : configured;
    if (HoldsLog(first) || Writable(first)) return Utf8(first);
    const std::wstring programData = Environment(L"ProgramData");
    return Utf8((programData.empty() ? L"C:\\ProgramData" : programData) + L"\\Brenvik");
}

std::string InDirectory(const std::string& directory, const std::string& name) { return directory + "\\" + name; }

std::FILE* OpenLogForReading(const std::string& path) {
    HANDLE file = CreateFileW(Utf16(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(file);
        return nullptr;
    }
    std::FILE* stream = _fdopen(fd, "rb");
    if (stream == nullptr) _close(fd);
    return stream;
}

bool SameFile(std::FILE* file, const std::string& path) {
    BY_HANDLE_FILE_INFORMATION open{};
    BY_HANDLE_FILE_INFORMATION named{};
    if (!Identity(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))), open)) return false;
    HANDLE other = CreateFileW(Utf16(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const bool known = Identity(other, named);
    if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
    return known && open.dwVolumeSerialNumber == named.dwVolumeSerialNumber &&
           open.nFileIndexHigh == named.nFileIndexHigh && open.nFileIndexLow == named.nFileIndexLow;
}

}  // namespace brenvik::cli
