// The native platform pieces on Win32.
#include <windows.h>

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

// Programs on Windows get a real message box; the handler is not used.
void SetMessageHandler(MessageHandler /*handler*/) {}

}  // namespace brenvik
