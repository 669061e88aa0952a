// The tool on POSIX: arguments and file names are UTF-8 bytes already.
#include <unistd.h>

#include "cli/console.h"

namespace brenvik::cli {

Console::Console(int argc, char** argv) : arguments_(argv, argv + argc) {
    for (const std::string& argument : arguments_) pointers_.push_back(argument.c_str());
}

Console::~Console() = default;

bool ErrorIsTerminal() { return isatty(STDERR_FILENO) != 0; }

std::FILE* OpenForReading(const std::string& path) { return std::fopen(path.c_str(), "rb"); }

const char* const kDeviceHelp = "Serial device of the printer, such as /dev/ttyUSB0";
const char* const kPortHelp = "Port number N instead: $BRENVIK_PORTS_DIR/comN or /dev/ttyS{N-1}";

}  // namespace brenvik::cli
