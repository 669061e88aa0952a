// The POSIX log file, clock, message handler and module directory.
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "engine/diagnostics/log_file_posix.h"
#include "engine/diagnostics/message_dialog_posix.h"
#include "engine/platform.h"

namespace brenvik {
namespace {

class TempDir {
public:
    TempDir() {
        char dirTemplate[] = "/tmp/brenvik-log-XXXXXX";
        if (mkdtemp(dirTemplate) != nullptr) path_ = dirTemplate;
    }
    ~TempDir() {
        for (const std::string& name : created_) unlink((path_ + "/" + name).c_str());
        rmdir(path_.c_str());
    }
    std::string File(const std::string& name) {
        created_.insert(name);
        return path_ + "/" + name;
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::set<std::string> created_;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(LogFilePosix, AppendsAcrossOpensAndReportsSize) {
    TempDir dir;
    const std::string path = dir.File("Pelmora.log");
    PosixLogFile log;
    EXPECT_EQ(0xFFFFFFFFu, log.Size());  // not open
    ASSERT_TRUE(log.Open(path.c_str(), true));
    EXPECT_EQ(0u, log.Size());
    log.Append("one\n", 4);
    log.Close();
    ASSERT_TRUE(log.Open(path.c_str(), false));
    EXPECT_EQ(4u, log.Size());
    log.Append("two\n", 4);
    EXPECT_EQ(8u, log.Size());
    log.Close();
    EXPECT_EQ("one\ntwo\n", ReadFile(path));
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0u, st.st_mode & 0133u);  // 0644 at most: no execute, no write for others
}

TEST(LogFilePosix, UnopenableLogFailsQuietly) {
    PosixLogFile log;
    EXPECT_FALSE(log.Open("/nonexistent-dir/Pelmora.log", true));
    EXPECT_EQ(0xFFFFFFFFu, log.Size());
    log.Append("lost\n", 5);  // no effect, no crash
    log.Close();
    EXPECT_FALSE(log.Rename("/nonexistent-dir/a", "/nonexistent-dir/b"));
}

// Two writers on one log (two processes with the same server) must not
// overwrite each other's lines, as a seek to the end followed by a write
// could.
TEST(LogFilePosix, TwoProcessesAppendingKeepEveryLine) {
    TempDir dir;
    const std::string path = dir.File("Pelmora.log");
    const int kLines = 2000;
    PosixLogFile parentLog;
    ASSERT_TRUE(parentLog.Open(path.c_str(), true));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        PosixLogFile childLog;
        if (!childLog.Open(path.c_str(), true)) _exit(1);
        for (int i = 0; i < kLines; ++i) {
            char line[64];
            const int n = std::snprintf(line, sizeof line, "child %05d ................\n", i);
            childLog.Append(line, static_cast<size_t>(n));
        }
        _exit(0);
    }
    for (int i = 0; i < kLines; ++i) {
        char line[64];
        const int n = std::snprintf(line, sizeof line, "parent %05d ...............\n", i);
        parentLog.Append(line, static_cast<size_t>(n));
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    parentLog.Close();

    std::istringstream in(ReadFile(path));
    std::set<std::string> lines;
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        ++count;
        lines.insert(line);
    }
    EXPECT_EQ(2 * kLines, count);
    EXPECT_EQ(static_cast<size_t>(2 * kLines), lines.size());
    EXPECT_EQ(1u, lines.count("child 01999 ................"));
    EXPECT_EQ(1u, lines.count("parent 01999 ..............."));
}

TEST(LogFilePosix, RenameNeverReplacesAnExistingArchive) {
    TempDir dir;
    const std::string log = dir.File("Pelmora.log");
    const std::string archive = dir.File("01022010090507.log");
    std::ofstream(log) << "current\n";
    ASSERT_TRUE(PosixLogFile().Rename(log.c_str(), archive.c_str()));
    EXPECT_EQ("current\n", ReadFile(archive));
    std::ofstream(log) << "second run, same second\n";
    // As MoveFile: the target exists, the rename fails and the log stays.
    EXPECT_FALSE(PosixLogFile().Rename(log.c_str(), archive.c_str()));
    EXPECT_EQ("current\n", ReadFile(archive));
    EXPECT_EQ("second run, same second\n", ReadFile(log));
}

TEST(ClockPosix, MatchesTheLocalTime) {
    const time_t before = time(nullptr);
    const LocalTime now = PosixClock().Now();
    struct tm parts;
    localtime_r(&before, &parts);
    EXPECT_EQ(parts.tm_year + 1900, now.year);
    EXPECT_EQ(parts.tm_mon + 1, now.month);
    EXPECT_EQ(parts.tm_mday, now.day);
    EXPECT_GE(now.hour, 0);
    EXPECT_LE(now.hour, 23);
    EXPECT_LE(now.second, 60);
}

struct Shown {
    std::string text, caption;
    uint32_t style = 0;
    int count = 0;
} g_shown;

void Record(const char* text, const char* caption, uint32_t style) {
    g_shown.text = text;
    g_shown.caption = caption;
    g_shown.style = style;
    ++g_shown.count;
}

TEST(MessageDialogPosix, GoesToTheProgramsHandler) {
    SetMessageHandler(Record);
    g_shown = Shown();
    NativeMessageDialog().Show("\xCE\xF8\xE8\xE1\xEA\xE0\n\xCA\xEE\xE4: 7", "caption", kMessageIconInformation);
    EXPECT_EQ(1, g_shown.count);
    EXPECT_EQ("\xCE\xF8\xE8\xE1\xEA\xE0\n\xCA\xEE\xE4: 7", g_shown.text);  // bytes unchanged
    EXPECT_EQ("caption", g_shown.caption);
    EXPECT_EQ(0x40u, g_shown.style);
    NativeMessageDialog().Show(nullptr, nullptr, 0);
    EXPECT_EQ(2, g_shown.count);
    EXPECT_EQ("", g_shown.text);

    // Back to the default: standard error, not our handler.
    SetMessageHandler(nullptr);
    testing::internal::CaptureStderr();
    NativeMessageDialog().Show("text", "caption", 0x40);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(2, g_shown.count);
    EXPECT_NE(std::string::npos, err.find("caption"));
    EXPECT_NE(std::string::npos, err.find("text"));
}

TEST(PlatformPosix, ModuleDirectoryIsWhereThisProgramLies) {
    char exe[PATH_MAX] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    std::string expected(exe);
    expected.resize(expected.find_last_of('/'));
    EXPECT_EQ(expected, ModuleDirectory());

    const EnginePlatform p = NativePlatform();
    EXPECT_EQ(&NativeSerialLine(), p.line);
    EXPECT_EQ(&NativeLogFile(), p.log);
    EXPECT_EQ(&NativeClock(), p.clock);
    EXPECT_EQ(&NativeMessageDialog(), p.dialog);
    EXPECT_EQ(LogDirectory(), p.logDirectory);
    EXPECT_EQ('/', p.pathSeparator);
    EXPECT_EQ('/', NativePathSeparator());
}

TEST(PlatformPosix, LogDirectoryFromTheEnvironmentThenTheStateDirectoryNeverBesideTheModule) {
    if (access("/var/log/brenvik", W_OK) == 0) GTEST_SKIP() << "/var/log/brenvik is writable here and comes first";
    TempDir base;
    const std::string made = base.path() + "/logs/shop";
    const std::string state = base.path() + "/state";
    const std::string home = base.path() + "/home";
    const struct {
        const char* what;
        std::string configured;  // BRENVIK_LOG_DIR, "" unset
        std::string stateHome;   // XDG_STATE_HOME, "" unset
        std::string expected;
    } cases[] = {
        {"configured, created on demand", made + "/", state, made},
        {"configured but not writable", "/proc/brenvik-logs", state, state + "/brenvik"},
        {"not configured: the state directory", "", state, state + "/brenvik"},
        {"a relative state directory is no state directory", "", "relative/state", home + "/.local/state/brenvik"},
        {"no state directory: the one in HOME", "", "", home + "/.local/state/brenvik"},
    };
    ASSERT_EQ(0, setenv("HOME", home.c_str(), 1));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(0, setenv("BRENVIK_LOG_DIR", c.configured.c_str(), 1));
        ASSERT_EQ(0, setenv("XDG_STATE_HOME", c.stateHome.c_str(), 1));
        EXPECT_EQ(c.expected, LogDirectory());
        EXPECT_EQ(0, access(c.expected.c_str(), W_OK));
        EXPECT_EQ(c.expected, NativePlatform().logDirectory);
        EXPECT_NE(ModuleDirectory(), LogDirectory());
    }
    unsetenv("BRENVIK_LOG_DIR");
    unsetenv("XDG_STATE_HOME");
    for (const std::string& d : {made, base.path() + "/logs", state + "/brenvik", state, home + "/.local/state/brenvik",
                                 home + "/.local/state", home + "/.local", home})
        rmdir(d.c_str());
}

TEST(PlatformPosix, NoWritableLogDirectoryIsToldOnceOnStandardError) {
    if (access("/var/log/brenvik", W_OK) == 0) GTEST_SKIP() << "/var/log/brenvik is writable here";
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: the warning is once per process
    EXPECT_EXIT(
        {
            setenv("BRENVIK_LOG_DIR", "/proc/brenvik-logs", 1);
            setenv("XDG_STATE_HOME", "/proc/brenvik-state", 1);
            testing::internal::CaptureStderr();
            const std::string first = LogDirectory();
            LogDirectory();
            const std::string told = testing::internal::GetCapturedStderr();
            const size_t at = told.find("Pelmora.log is not kept");
            const bool once = at != std::string::npos && told.find("not kept", at + 24) == std::string::npos;
            std::fprintf(stderr, "%s|%s|%s", first.c_str(), once ? "once" : "not once", told.c_str());
            std::exit(0);
        },
        testing::ExitedWithCode(0),
        "/proc/brenvik-logs\\|once\\|.*/proc/brenvik-logs, /var/log/brenvik, "
        "/proc/brenvik-state/brenvik.*BRENVIK_LOG_DIR");
}

}  // namespace
}  // namespace brenvik
