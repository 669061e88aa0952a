// What the command-line tool needs from the system it runs on: its
// arguments and files in UTF-8, a console that shows UTF-8, and whether
// standard error is a terminal.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace brenvik::cli {

// Set up once at the start of main; puts the console back as it was when
// it goes out of scope.
class Console {
public:
    Console(int argc, char** argv);
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // The arguments as UTF-8, whatever code page the system uses.
    int Argc() const { return static_cast<int>(pointers_.size()); }
    const char* const* Argv() const { return pointers_.data(); }

private:
    std::vector<std::string> arguments_;
    std::vector<const char*> pointers_;
    unsigned int savedOutputCodePage_ = 0;
};

// Whether standard error is a terminal (progress goes only there).
bool ErrorIsTerminal();

// Opens a file named in UTF-8 for reading in binary mode; NULL on failure.
std::FILE* OpenForReading(const std::string& path);

// How the --device and --port options name ports on this system.
extern const char* const kDeviceHelp;
extern const char* const kPortHelp;

}  // namespace brenvik::cli
