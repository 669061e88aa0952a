// The native platform pieces on Win32.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "engine/diagnostics/log_file_win32.h"
#include "engine/diagnostics/message_dialog_win32.h"
#include "engine/link/serial_line_win32.h"
#include "engine/platform.h"

namespace brenvik {

SerialLine& NativeSerialLine() {
    static Win32SerialLine line;
    return line;
}

LogFile& NativeLogFile() {
    static Win32LogFile file;
    return file;
}

Clock& NativeClock() {
    static Win32Clock clock;
    return clock;
}

MessageDialog& NativeMessageDialog() {
    static Win32MessageDialog dialog;
    return dialog;
}

OwnedNativePieces NewNativePieces() {
    OwnedNativePieces pieces;
    pieces.line = std::make_unique<Win32SerialLine>();
    pieces.log = std::make_unique<Win32LogFile>();
    pieces.clock = std::make_unique<Win32Clock>();
    return pieces;
}

std::string ModuleDirectory() {
    // The module that holds this very function: the server DLL, or the
    // program the engine is linked into.
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&ModuleDirectory), &module)) {
        return ".";
    }
    char path[261] = {};
    const DWORD n = GetModuleFileNameA(module, path, sizeof(path));
    if (n == 0 || n >= sizeof(path)) return ".";  // a cut path would name the wrong place
    std::string directory(path, n);
    const size_t slash = directory.find_last_of('\\');
    if (slash == std::string::npos) return ".";
    directory.resize(slash);
    return directory;
}

char NativePathSeparator() { return '\\'; }

namespace {

void MakeDirectories(const std::string& directory) {
    for (size_t at = directory.find('\\', 3); ; at = directory.find('\\', at + 1)) {
        CreateDirectoryA(directory.substr(0, at).c_str(), nullptr);
        if (at == std::string::npos) break;
    }
}

// Whether a file can be made there; the probe leaves nothing behind.
bool Writable(const std::string& directory) {
    const std::string probe = directory + "\\brenvik-log.probe";
    HANDLE file = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
    return true;
}

std::string WithoutTrailingSeparator(std::string directory) {
    while (directory.size() > 3 && (directory.back() == '\\' || directory.back() == '/')) directory.pop_back();
    return directory;
}

// HKLM\Software\Brenvik LogDirectory; a 32-bit module on 64-bit Windows
// reads it through WOW6432Node, where the installer writes it too.
std::string RegistryLogDirectory() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Brenvik", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return std::string();
    char value[261] = {};
    DWORD type = 0;
    DWORD size = sizeof value - 1;
    const LONG status =
        RegQueryValueExA(key, "LogDirectory", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ) return std::string();
    value[size < sizeof value ? size : sizeof value - 1] = '\0';
    return value;
}

}  // namespace

std::string LogDirectory() {
    std::string configured;
    const char* environment = getenv("BRENVIK_LOG_DIR");
    if (environment != nullptr && environment[0] != '\0') configured = environment;
    if (configured.empty()) configured = RegistryLogDirectory();
    if (!configured.empty()) {
        configured = WithoutTrailingSeparator(configured);
        MakeDirectories(configured);
        if (Writable(configured)) return configured;
    } else {
        const std::string module = ModuleDirectory();
        if (Writable(module)) return module;
    }
    const char* programData = getenv("ProgramData");
    const std::string fallback =
        std::string(programData != nullptr && programData[0] != '\0' ? programData : "C:\\ProgramData") +
        "\\Brenvik";
    MakeDirectories(fallback);
    return fallback;
}

// Programs on Windows get a real message box; the handler is not used.
void SetMessageHandler(MessageHandler /*handler*/) {}

}  // namespace brenvik
