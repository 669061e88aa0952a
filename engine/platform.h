// The platform pieces an engine is built with, and the native ones.
#pragma once

#include <memory>
#include <string>

#include "engine/diagnostics/log_file.h"
#include "engine/diagnostics/message_dialog.h"
#include "engine/link/serial_line.h"

namespace brenvik {

struct EnginePlatform {
    SerialLine* line = nullptr;
    LogFile* log = nullptr;
    Clock* clock = nullptr;
    MessageDialog* dialog = nullptr;
    std::string logDirectory;  // without a trailing separator
    char pathSeparator = '/';
};

// The real pieces of the platform this binary is built for. Each lives
// for the whole process.
SerialLine& NativeSerialLine();
LogFile& NativeLogFile();
Clock& NativeClock();
MessageDialog& NativeMessageDialog();
// Directory of the module (DLL, shared object or program) that holds the engine.
std::string ModuleDirectory();
char NativePathSeparator();
// The debug log's directory (without a trailing separator): BRENVIK_LOG_DIR,
// else on Windows the registry value HKLM\Software\Brenvik LogDirectory
// (REG_SZ), else the module's directory; when that directory cannot be
// written, %ProgramData%\Brenvik. On POSIX never the module's directory:
// BRENVIK_LOG_DIR, else /var/log/brenvik when writable (the service's),
// else $XDG_STATE_HOME/brenvik (~/.local/state/brenvik), created as needed;
// when none can be written, standard error says so once. A directory a
// caller puts in EnginePlatform::logDirectory wins over all of these.
std::string LogDirectory();
EnginePlatform NativePlatform();

// A fresh set of native pieces, owned by the caller, for a program that
// drives several printers at once: each engine gets its own line, log file
// and clock. The dialog is left to the caller.
struct OwnedNativePieces {
    std::unique_ptr<SerialLine> line;
    std::unique_ptr<LogFile> log;
    std::unique_ptr<Clock> clock;
};
OwnedNativePieces NewNativePieces();

// POSIX only: the handler the native message dialog calls; the default
// writes caption and text to standard error. Replaceable by programs.
using MessageHandler = void (*)(const char* text, const char* caption, uint32_t style);
void SetMessageHandler(MessageHandler handler);

}  // namespace brenvik
