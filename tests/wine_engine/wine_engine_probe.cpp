// Runs the engine, or its Win32 serial line alone, on a COM port under Wine.
// The test driver plays the printer on the other end of the port.
//
//   wine_engine_probe PORT ok|silent|fault|line|files [DIR]
//
// Prints one "key=value" line per finding and "RESULT PASS" or
// "RESULT FAIL"; the exit code is the number of failed checks.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/diagnostics/log_file_win32.h"
#include "engine/link/serial_line_win32.h"
#include "engine/platform.h"
#include "engine/printer_engine.h"

namespace {

int g_failures = 0;

// Commands of the fault run: the unanswered one, then answered ones (each
// a few milliseconds; many, since a busy machine loses a wait's status
// only now and then).
constexpr int kFaultCommands = 30;

void Check(bool ok, const char* what) {
    std::printf("%s %s\n", ok ? "ok" : "FAILED", what);
    std::fflush(stdout);
    if (!ok) ++g_failures;
}

double ProcessCpuMs() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    auto ms = [](const FILETIME& t) {
        return ((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000.0;
    };
    return ms(kernel) + ms(user);
}

std::string PortName(int port) { return "\\\\.\\COM" + std::to_string(port); }

// The port is free again: nobody holds it without sharing.
bool PortCanBeReopened(int port) {
    brenvik::Win32SerialLine probe;
    const bool ok = probe.Open(PortName(port).c_str());
    probe.Close();
    return ok;
}

int RunEngine(int port, bool expectPrinter, const char* logDir) {
    brenvik::EnginePlatform platform = brenvik::NativePlatform();
    if (logDir != nullptr) platform.logDirectory = logDir;
    brenvik::PrinterEngine engine(platform);
    engine.SetShowErrorMessages(0);  // no window station to show a box on

    const ULONGLONG start = GetTickCount64();
    const int32_t result = engine.Init(port, "CASHIER", "0000", 0, "");
    const ULONGLONG took = GetTickCount64() - start;
    std::printf("init=%d error=%u connected=%u ms=%llu\n", result, engine.ErrorNumber, engine.Connected,
                static_cast<unsigned long long>(took));
    if (expectPrinter) {
        Check(result == 1, "Init succeeds against the printer");
        Check(engine.Connected == 1, "connected");
        // Init again: the port is closed, opened and configured anew.
        const int32_t again = engine.Init(port, "CASHIER", "0000", 0, "");
        std::printf("second init=%d error=%u\n", again, engine.ErrorNumber);
        Check(again == 1, "a second Init reconfigures the port and connects again");
    } else {
        Check(result == 0, "Init fails against a silent line");
        Check(engine.ErrorNumber == 7, "error 7");
        Check(took >= 7500 && took < 30000, "two handshakes with their DTR pulses");
    }
    std::printf("note: open while the engine holds the port %s\n",
                PortCanBeReopened(port) ? "allowed (Wine)" : "refused");
    Check(engine.Done() == 1, "Done returns 1");
    std::printf("done\n");
    std::fflush(stdout);
    // The printer side watches for the close; it must come now, not at exit.
    Sleep(1500);
    Check(PortCanBeReopened(port), "Done released the port");
    return g_failures;
}

// Each printer call on a thread of its own, which ends with the call (as the
// test utility's worker does): a comm-event wait left pending by a time-out
// belongs to a thread that is gone when the next call comes.
struct Call {
    brenvik::PrinterEngine* engine;
    uint32_t error;
};

DWORD WINAPI ReadNumbersOnThread(void* p) {
    Call& call = *static_cast<Call*>(p);
    call.error = call.engine->ReadDocumentNumbers();
    return 0;
}

uint32_t ReadNumbersOnNewThread(brenvik::PrinterEngine& engine) {
    Call call{&engine, 0xFFFFFFFFu};
    HANDLE thread = CreateThread(nullptr, 0, ReadNumbersOnThread, &call, 0, nullptr);
    if (thread == nullptr) return call.error;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return call.error;
}

// A reply that never comes, then the printer answers again: the line must
// hear it on the very next command, and on every one after it, not only
// after the port is reopened.
int RunFault(int port, const char* logDir) {
    brenvik::EnginePlatform platform = brenvik::NativePlatform();
    if (logDir != nullptr) platform.logDirectory = logDir;
    brenvik::PrinterEngine engine(platform);
    engine.SetShowErrorMessages(0);
    Check(engine.Init(port, "CASHIER", "0000", 0, "") == 1, "Init succeeds against the printer");
    engine.ReplySilenceMs = 2000;  // the silence only has to outlast one wait
    int heard = 0;
    for (int i = 0; i < kFaultCommands; ++i) {
        const ULONGLONG start = GetTickCount64();
        const uint32_t error = ReadNumbersOnNewThread(engine);
        if (error != (i == 0 ? 80u : 0u))
            std::printf("GLCN %d: error=%u ms=%llu\n", i + 1, error,
                        static_cast<unsigned long long>(GetTickCount64() - start));
        if (i == 0) Check(error == 80, "the unanswered command fails with error 80");
        if (i == 1) Check(error == 0, "the next command is heard");
        if (i > 0 && error == 0) ++heard;
    }
    Check(heard == kFaultCommands - 1, "and every one after it");
    std::printf("note: comm-event statuses left pending %u\n",
                static_cast<brenvik::Win32SerialLine&>(*platform.line).StuckStatuses());
    Check(engine.Done() == 1, "Done returns 1");
    return g_failures;
}

brenvik::LineSettings PrinterSettings() {
    brenvik::LineSettings s;
    brenvik::ApplyPrinterLineSettings(s, 115200);
    return s;
}

// Waits for RxChar and reads until `want` bytes are in or `ms` pass.
std::string Collect(brenvik::Win32SerialLine& line, size_t want, uint32_t ms) {
    std::string got;
    const ULONGLONG start = GetTickCount64();
    while (got.size() < want && GetTickCount64() - start < ms) {
        uint32_t events = 0;
        const brenvik::WaitStatus status = line.WaitEvent(ms, events);
        if (status != brenvik::WaitStatus::Signalled) {
            std::printf("collect: wait status %d error %lu\n", static_cast<int>(status),
                        static_cast<unsigned long>(line.LastError()));
            break;
        }
        if ((events & brenvik::kEventRxChar) == 0) continue;
        const uint32_t n = line.ClearErrors();
        if (n == 0) continue;
        uint8_t buffer[1024];
        uint32_t count = n > sizeof buffer ? sizeof buffer : n;
        uint32_t read = 0;
        line.Read(buffer, count, 3000, read);
        got.append(reinterpret_cast<char*>(buffer), read);
    }
    return got;
}

// Waits until a short wait times out: events owed from earlier writes are
// consumed first, so the last wait is left pending.
bool TimeOutOnce(brenvik::SerialLine& line) {
    for (int i = 0; i < 10; ++i) {
        uint32_t events = 0;
        if (line.WaitEvent(50, events) == brenvik::WaitStatus::TimedOut) return true;
    }
    return false;
}

void Send(brenvik::SerialLine& line, const char* text) {
    line.Write(reinterpret_cast<const uint8_t*>(text), static_cast<uint32_t>(std::strlen(text)));
}

int RunLine(int port) {
    brenvik::Win32SerialLine line;
    Check(line.Open(PortName(port).c_str()), "open");
    if (!line.IsOpen()) return ++g_failures;
    // Windows refuses a second open of a port opened without sharing; Wine
    // does not enforce that for serial devices, so it is only reported.
    brenvik::Win32SerialLine second;
    std::printf("note: second open %s\n", second.Open(PortName(port).c_str()) ? "allowed (Wine)" : "refused");
    second.Close();
    Check(line.SetQueueSizes(1024, 1024), "SetupComm");
    Check(line.SetEventMask(brenvik::kEventRxChar | brenvik::kEventTxEmpty), "SetCommMask");
    Check(line.SetSettings(PrinterSettings()), "SetCommState");
    brenvik::LineSettings back;
    Check(line.GetSettings(back), "GetCommState");
    std::printf("read back: baud=%u size=%u parity=%d stop=%d outX=%d inX=%d xon=%d xoff=%d dtr=%d\n", back.baudRate,
                back.byteSize, static_cast<int>(back.parity), static_cast<int>(back.stopBits), back.outX, back.inX,
                back.xonChar, back.xoffChar, static_cast<int>(back.dtrControl));
    // Parity does not survive on a pseudo-terminal, which Wine reads back.
    Check(back.baudRate == 115200 && back.byteSize == 8 && back.stopBits == brenvik::StopBits::Two && back.outX &&
              back.inX && back.xonChar == 0 && back.xoffChar == 0x13 && back.dtrControl == brenvik::DtrControl::Enable,
          "settings read back");
    brenvik::LineTimeouts t;
    t.readInterval = 25;
    t.readTotalConstant = 1000;
    Check(line.SetTimeouts(t), "SetCommTimeouts");
    line.Purge();
    line.SetDtr(true);

    // A silent line: the wait ends by its time-out, not by a stream of empty
    // wake-ups handed to the caller, and costs little CPU.
    uint32_t events = 0;
    double cpu0 = ProcessCpuMs();
    ULONGLONG start = GetTickCount64();
    const brenvik::WaitStatus silent = line.WaitEvent(300, events);
    ULONGLONG took = GetTickCount64() - start;
    double cpu = ProcessCpuMs() - cpu0;
    std::printf("silent wait status=%d events=%u error=%lu ms=%llu cpu=%.1f empty=%u\n", static_cast<int>(silent),
                events, static_cast<unsigned long>(line.LastError()), static_cast<unsigned long long>(took), cpu,
                line.EmptyWakeUps());
    Check(silent == brenvik::WaitStatus::TimedOut && events == 0, "silent wait times out");
    Check(took >= 290 && took < 2000, "silent wait lasts its time-out");
    Check(cpu < 150.0, "silent wait is cheap");

    // The peer answers PING with PONG and six more bytes.
    Send(line, "PING");
    const std::string pong = Collect(line, 10, 3000);
    Check(pong == "PONG123456", "write, RxChar, read");

    // A read asking for more than will come: the partial count after its time-out.
    Send(line, "MORE");
    start = GetTickCount64();
    uint8_t buffer[32] = {};
    uint32_t got = 0;
    const brenvik::WaitStatus partial = line.Read(buffer, 20, 1500, got);
    took = GetTickCount64() - start;
    std::printf("partial read status=%d error=%lu got=%u ms=%llu\n", static_cast<int>(partial),
                static_cast<unsigned long>(line.LastError()), got, static_cast<unsigned long long>(took));
    Check(partial == brenvik::WaitStatus::TimedOut && got == 5 && std::memcmp(buffer, "abcde", 5) == 0,
          "partial read");

    // A wait that timed out stays pending and is taken up by the next one.
    Check(TimeOutOnce(line), "short wait times out");
    Send(line, "LATE");
    const std::string late = Collect(line, 4, 3000);
    Check(late == "late", "the pending wait is reused");

    // Purge cancels a pending wait; the line keeps working after it.
    Check(TimeOutOnce(line), "another short wait");
    line.Purge();
    Send(line, "PING");
    Check(Collect(line, 10, 3000) == "PONG123456", "works after Purge");

    line.SetDtr(false);
    line.Close();
    Check(!line.IsOpen(), "closed");
    Check(PortCanBeReopened(port), "Close released the port");
    return g_failures;
}

std::string ReadAll(const std::string& path) {
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char chunk[4096];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
        std::fclose(f);
    }
    return text;
}

int RunFiles(const std::string& dir) {
    const std::string path = dir + "\\Pelmora.log";
    DeleteFileA(path.c_str());
    brenvik::Win32LogFile a, b;
    Check(a.Size() == 0xFFFFFFFFu, "size of a log that is not open");
    Check(!a.Open((dir + "\\missing\\Pelmora.log").c_str(), true), "a log in a missing directory does not open");
    a.Append("lost\n", 5);

    // Two writers sharing the log (as two processes with the server): every
    // line lands at the end, none overwrites another.
    Check(a.Open(path.c_str(), true), "open shared");
    Check(b.Open(path.c_str(), true), "second writer opens the shared log");
    Check(a.Size() == 0, "new log is empty");
    std::string expected;
    for (int i = 0; i < 200; ++i) {
        char line[64];
        int n = std::snprintf(line, sizeof line, "a %03d ....\n", i);
        a.Append(line, static_cast<size_t>(n));
        n = std::snprintf(line, sizeof line, "b %03d ....\n", i);
        b.Append(line, static_cast<size_t>(n));
    }
    const std::string text = ReadAll(path);
    Check(text.size() == 400 * 11, "every line of both writers is there");
    Check(text.find("a 199 ....\nb 199 ....\n") != std::string::npos, "lines in the order written");
    Check(a.Size() == 400 * 11 && b.Size() == 400 * 11, "both see the whole size");
    b.Close();
    a.Close();

    // After archiving the log is opened without write sharing.
    Check(a.Open(path.c_str(), false), "open unshared");
    Check(!b.Open(path.c_str(), true), "no second writer on the unshared log");
    a.Append("x\n", 2);
    a.Close();

    const std::string archive = dir + "\\01022010090507.log";
    DeleteFileA(archive.c_str());
    Check(a.Rename(path.c_str(), archive.c_str()), "rename to the archive");
    Check(a.Open(path.c_str(), false), "fresh log");
    a.Append("y\n", 2);
    a.Close();
    Check(!a.Rename(path.c_str(), archive.c_str()), "an existing archive is not replaced");
    Check(ReadAll(path) == "y\n", "the log stays after a failed rename");

    const brenvik::LocalTime now = brenvik::NativeClock().Now();
    SYSTEMTIME st;
    GetLocalTime(&st);
    Check(now.year == st.wYear && now.month == st.wMonth && now.day == st.wDay, "clock gives the local date");

    char exe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exe, sizeof exe);
    std::string exeDir(exe);
    exeDir.resize(exeDir.find_last_of('\\'));
    std::printf("module directory: %s\n", brenvik::ModuleDirectory().c_str());
    Check(brenvik::ModuleDirectory() == exeDir, "module directory is where the program lies");
    Check(brenvik::NativePathSeparator() == '\\', "path separator");
    const brenvik::EnginePlatform p = brenvik::NativePlatform();
    Check(p.line == &brenvik::NativeSerialLine() && p.log == &brenvik::NativeLogFile() && p.logDirectory == exeDir,
          "native platform wired together");
    DeleteFileA(path.c_str());
    DeleteFileA(archive.c_str());
    return g_failures;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PORT ok|silent|fault|line|files [DIR]\n", argv[0]);
        return 100;
    }
    const int port = std::atoi(argv[1]);
    const std::string mode = argv[2];
    const char* logDir = argc > 3 ? argv[3] : nullptr;
    int failures = 100;
    if (mode == "ok") {
        failures = RunEngine(port, true, logDir);
    } else if (mode == "silent") {
        failures = RunEngine(port, false, logDir);
    } else if (mode == "fault") {
        failures = RunFault(port, logDir);
    } else if (mode == "line") {
        failures = RunLine(port);
    } else if (mode == "files" && logDir != nullptr) {
        failures = RunFiles(logDir);
    }
    std::printf("RESULT %s\n", failures == 0 ? "PASS" : "FAIL");
    return failures;
}
