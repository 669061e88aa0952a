// The tool on Windows: main() gets its arguments in the ANSI code page,
// which cannot hold every name a receipt or a path may carry, so they are
// read again as UTF-16 and turned into UTF-8; the console is switched to
// UTF-8 for as long as the tool runs.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>

#include "cli/console.h"
#include "cli/wide_text_win32.h"

namespace brenvik::cli {

Console::Console(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide != nullptr && count == argc) {
        for (int i = 0; i < count; ++i) arguments_.push_back(Utf8(wide[i]));
    } else {
        arguments_.assign(argv, argv + argc);  // cannot happen; the ANSI ones are better than none
    }
    if (wide != nullptr) LocalFree(wide);
    for (const std::string& argument : arguments_) pointers_.push_back(argument.c_str());

    // Without a console (output to a file or a pipe) the bytes go as they are.
    savedOutputCodePage_ = GetConsoleOutputCP();
    if (savedOutputCodePage_ != 0) SetConsoleOutputCP(CP_UTF8);
    // A receipt read from standard input keeps its bytes, as on POSIX.
    _setmode(_fileno(stdin), _O_BINARY);
}

Console::~Console() {
    std::fflush(stdout);
    std::fflush(stderr);
    if (savedOutputCodePage_ != 0) SetConsoleOutputCP(savedOutputCodePage_);
}

bool ErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

std::FILE* OpenForReading(const std::string& path) { return _wfopen(Utf16(path).c_str(), L"rb"); }

const char* const kDeviceHelp = "Serial port of the printer, such as COM3 or \\\\.\\COM12";
const char* const kPortHelp = "Port number N instead: COMN";

}  // namespace brenvik::cli
