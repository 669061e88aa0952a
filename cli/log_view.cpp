// See log_view.h. The log is code page 1251 text, the system's own format;
// it is turned into UTF-8 line by line on its way out.
#include "cli/log_view.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

#include "codepage/cp1251.h"

namespace brenvik::cli {

namespace {

const char kLogName[] = "Pelmora.log";
// A log is archived past 5000000 bytes; a log that could not be archived
// grows on, and its last lines are in its last bytes anyway.
constexpr long kTailWindow = 8L << 20;
constexpr auto kPoll = std::chrono::milliseconds(200);

void Show(const std::string& bytes) {
    if (bytes.empty()) return;
    const std::string text = brenvik::text::Cp1251ToUtf8(bytes);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

// Everything from the file's position to its end.
std::string ReadOn(std::FILE* file) {
    std::string bytes;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, n);
    std::clearerr(file);  // at the end now; more may come
    return bytes;
}

// The last `count` lines of the file, and the start of a line not ended
// yet after them; the file is left at its end.
struct TailText {
    std::string lines;
    std::string unended;
};
TailText Tail(std::FILE* file, size_t count) {
    std::fseek(file, 0, SEEK_END);
    const long size = std::ftell(file);
    const long start = size > kTailWindow ? size - kTailWindow : 0;
    std::fseek(file, start, SEEK_SET);
    std::string bytes = ReadOn(file);
    if (start > 0) bytes.erase(0, bytes.find('\n') + 1);  // a line cut by the window is no line
    const size_t ended = bytes.rfind('\n') + 1;          // 0 when no line is ended
    size_t from = ended;
    for (size_t seen = 0; seen < count && from > 0; ++seen) {
        const size_t feed = from >= 2 ? bytes.rfind('\n', from - 2) : std::string::npos;
        from = feed == std::string::npos ? 0 : feed + 1;
    }
    return {bytes.substr(from, ended - from), bytes.substr(ended)};
}

// Shows what is appended to the log at `path` until the tool is stopped.
// `file` is the log as already shown (or NULL); `pending` the start of a
// line not ended yet.
int Follow(const std::string& path, std::FILE* file, std::string pending) {
    bool told = false;
    for (;;) {
        if (file == nullptr) {
            file = OpenLogForReading(path);
            if (file == nullptr && !told) {
                std::cerr << "brenvik: waiting for " << path << std::endl;
                told = true;
            }
        }
        if (file != nullptr) {
            pending += ReadOn(file);
            const bool archived = !SameFile(file, path);
            // The archived log is read to its end first: the library writes
            // its last line before moving it aside.
            if (archived) pending += ReadOn(file);
            const size_t end = archived ? pending.size() : pending.rfind('\n') + 1;
            Show(pending.substr(0, end));
            if (archived && !pending.empty() && pending.back() != '\n') Show("\n");
            pending.erase(0, end);
            if (archived) {
                std::fclose(file);
                file = nullptr;
                continue;  // the new log at once
            }
        }
        std::this_thread::sleep_for(kPoll);
    }
}

}  // namespace

LogCommand::LogCommand(CLI::App& app) {
    command_ = app.add_subcommand("log", "Show the debug log Pelmora.log in UTF-8");
    command_->add_flag("-f,--follow", follow_, "Keep showing what is appended, also after the log is archived");
    command_->add_option("-n,--lines", lines_, "How many of the last lines to show (default 50)");
    command_->add_flag("--path", path_, "Only say where the log is");
    command_->footer(std::string("Where the log is, the first that applies:\n  --log-dir DIR\n") + kLogChoices +
                     "\nIt is kept in code page 1251, the system's own format; this shows it in UTF-8.\n"
                     "Past 5000000 bytes it is archived as DDMMYYYYhhmmss.log in the same directory.");
}

bool LogCommand::Chosen() const { return command_->parsed(); }

int LogCommand::Run(const std::string& logDir) const {
    const std::string directory = logDir.empty() ? LogDirectoryToRead() : logDir;
    if (directory.empty()) {
        std::cerr << "brenvik: no directory for the debug log is known here: give one with --log-dir or BRENVIK_LOG_DIR"
                  << std::endl;
        return 2;
    }
    const std::string path = InDirectory(directory, kLogName);
    if (path_) {
        std::cout << path << std::endl;
        return 0;
    }
    std::FILE* file = OpenLogForReading(path);
    if (file == nullptr && !follow_) {
        std::cerr << "brenvik: no debug log at " << path
                  << " (nothing was logged there yet; --log-dir or BRENVIK_LOG_DIR choose another directory)"
                  << std::endl;
        return 2;
    }
    std::string pending;
    if (file != nullptr) {
        TailText tail = Tail(file, lines_);
        Show(tail.lines);
        // A line still being written: shown whole once it ends, when following.
        if (follow_) {
            pending = tail.unended;
        } else if (!tail.unended.empty() && lines_ > 0) {
            Show(tail.unended + "\n");
        }
    }
    if (follow_) return Follow(path, file, pending);
    std::fclose(file);
    return 0;
}

}  // namespace brenvik::cli
