// brenvik log: the debug log Pelmora.log in UTF-8, its last lines and, with
// --follow, what is appended, across the log's archiving. The log is found
// where the library puts it; the system's side is in a back end,
// log_view_posix.cpp and log_view_win32.cpp.
#pragma once

#include <cstdio>
#include <string>

namespace CLI {
class App;
}

namespace brenvik::cli {

// The "log" subcommand, added to the tool at construction.
class LogCommand {
public:
    explicit LogCommand(CLI::App& app);
    // Whether the command line chose it.
    bool Chosen() const;
    // Shows the log of `logDir` ("": where the library puts it); with
    // --follow until the tool is stopped. Gives the exit code.
    int Run(const std::string& logDir) const;

private:
    CLI::App* command_;
    bool follow_ = false;
    size_t lines_ = 50;
    bool path_ = false;
};

// ---- The back end --------------------------------------------------------

// The directory whose Pelmora.log the library of this user's programs
// writes (the service's too, when this user may read it); "" when there is
// none. LogChoices says where it is looked for, for the help.
std::string LogDirectoryToRead();
extern const char* const kLogChoices;
// `name` in `directory`, with this system's separator.
std::string InDirectory(const std::string& directory, const std::string& name);
// Opens the log for reading without keeping the library from renaming it
// when it archives it; NULL when it cannot be opened.
std::FILE* OpenLogForReading(const std::string& path);
// Whether `path` still names the file `file` is open on (false once the
// log was archived and a new one begun, or while there is none).
bool SameFile(std::FILE* file, const std::string& path);

}  // namespace brenvik::cli
