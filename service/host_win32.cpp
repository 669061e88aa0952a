#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>

#include "brenvik_version.h"
#include "service/host.h"
#include "service/install_win32.h"
#include "service/support_win32.h"

namespace brenvikd {
namespace {

// What the Service Control Manager is told a stop may take before the
// service itself says more.
constexpr DWORD kStopHintMs = 8000;

// One host per process: the console's Ctrl+C handler and the Service
// Control Manager's handler reach it through this.
class WindowsHost;
WindowsHost* g_host = nullptr;

class WindowsHost : public Host {
public:
    explicit WindowsHost(bool service) : service_(service), stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        g_host = this;
    }
    ~WindowsHost() override {
        g_host = nullptr;
        CloseHandle(stop_);
    }
    WindowsHost(const WindowsHost&) = delete;
    WindowsHost& operator=(const WindowsHost&) = delete;

    bool WaitForStop() override {
        WaitForSingleObject(stop_, INFINITE);
        return !released_;
    }
    void Release() override {
        released_ = true;
        SetEvent(stop_);
    }
    void AskStop() { SetEvent(stop_); }
    void Running() override { Report(SERVICE_RUNNING, 0, 0); }
    void Stopping(int ms) override { Report(SERVICE_STOP_PENDING, 0, static_cast<DWORD>(ms)); }
    void Error(const std::string& text) override {
        fprintf(stderr, "brenvikd: %s\n", text.c_str());
        fflush(stderr);
        if (service_) ReportServiceError(text);
    }
    [[noreturn]] void Exit(int status) override {
        fflush(stderr);
        Report(SERVICE_STOPPED, static_cast<DWORD>(status), 0);
        _exit(status);
    }

    void Attach(SERVICE_STATUS_HANDLE handle) { handle_ = handle; }
    // The state as the Service Control Manager sees it; nothing outside it.
    void Report(DWORD state, DWORD exitCode, DWORD waitHintMs) {
        if (!handle_) return;
        std::lock_guard<std::mutex> lock(mutex_);
        SERVICE_STATUS status{};
        status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        status.dwCurrentState = state;
        status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
        if (exitCode != 0) {
            status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
            status.dwServiceSpecificExitCode = exitCode;
        }
        bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
        status.dwCheckPoint = pending ? ++checkPoint_ : 0;
        status.dwWaitHint = pending ? std::max(waitHintMs, kStopHintMs) : 0;
        SetServiceStatus(handle_, &status);
    }

private:
    const bool service_;
    HANDLE stop_;
    std::atomic<bool> released_{false};
    SERVICE_STATUS_HANDLE handle_ = nullptr;
    std::mutex mutex_;
    DWORD checkPoint_ = 0;
};

// --- under the Service Control Manager ---

const Body* g_body = nullptr;
std::vector<std::string> g_options;
int g_status = 0;

std::vector<char*> Argv(std::vector<std::string>& options) {
    static char name[] = "brenvikd";
    std::vector<char*> argv{name};
    for (std::string& option : options) argv.push_back(option.data());
    return argv;
}

DWORD WINAPI ServiceControl(DWORD control, DWORD, void*, void* context) {
    auto* host = static_cast<WindowsHost*>(context);
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        // As SIGTERM on Linux: the current receipt finishes or is left to
        // the next start's reconciliation, and the ledger closes.
        host->Report(SERVICE_STOP_PENDING, 0, kStopHintMs);
        host->AskStop();
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// A service has no console: standard error goes to brenvikd.log beside the
// ledger. (Wine's C runtime does not reopen a stream that never had a
// descriptor, so under Wine the lines are lost; the Event Log entries stay.)
void LogToFile() {
    std::wstring path = win32::Wide(win32::PrivateDirectory() + "\\brenvikd.log");
    if (_wfreopen(path.c_str(), L"a", stderr)) setvbuf(stderr, nullptr, _IONBF, 0);
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
    WindowsHost host(true);
    SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExW(win32::kServiceName, ServiceControl, &host);
    if (!handle) {
        g_status = 1;
        return;
    }
    host.Attach(handle);
    host.Report(SERVICE_START_PENDING, 0, 30000);
    LogToFile();
    Config config = DefaultConfig();
    std::string error;
    std::vector<char*> argv = Argv(g_options);
    int status = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), &config, &error);
    if (status >= 0) {
        host.Error(error.empty() ? "the command line was not understood" : error);
        g_status = status == 0 ? 2 : status;
    } else {
        g_status = (*g_body)(host, config);
    }
    host.Report(SERVICE_STOPPED, static_cast<DWORD>(g_status), 0);
}

int RunService(const Body& body, std::vector<std::string> options) {
    g_body = &body;
    g_options = std::move(options);
    wchar_t name[] = L"brenvikd";
    SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
        DWORD code = GetLastError();
        fprintf(stderr, "brenvikd: --service is how the Service Control Manager starts brenvikd: %s. Start it with "
                "`net start brenvikd`, or run brenvikd without --service in a console\n",
                win32::ErrorText(code).c_str());
        return 1;
    }
    return g_status;
}

// --- in a console ---

HANDLE g_finished = nullptr;

BOOL WINAPI ConsoleControl(DWORD type) {
    if (!g_host) return FALSE;
    g_host->AskStop();
    // Closing the window ends the process once this returns: give the stop
    // its few seconds first.
    if (type == CTRL_CLOSE_EVENT && g_finished) WaitForSingleObject(g_finished, 4500);
    return TRUE;
}

const char kServiceHelp[] =
    "\nAs a Windows service (an administrator's console):\n"
    "  --install-service [OPTIONS]  register the service brenvikd (automatic start), write the OPTIONS to\n"
    "                               %ProgramData%\\Brenvik\\brenvikd.json (kept when none are given) and\n"
    "                               make the token brenvikd.token there; then `net start brenvikd`\n"
    "  --uninstall-service          stop and remove the service; %ProgramData%\\Brenvik stays\n";

bool Take(std::vector<std::string>& options, const char* flag) {
    auto found = std::find(options.begin(), options.end(), flag);
    if (found == options.end()) return false;
    options.erase(found);
    return true;
}

}  // namespace

int RunHost(int, char**, const Body& body) {
    std::vector<std::string> options = win32::Arguments();
    if (!options.empty()) options.erase(options.begin());
    if (Take(options, "--install-service")) return InstallService(options);
    if (Take(options, "--uninstall-service")) return UninstallService(options);
    if (Take(options, "--service")) return RunService(body, options);

    SetConsoleOutputCP(CP_UTF8);
    Config config = DefaultConfig();
    std::string error;
    std::vector<char*> argv = Argv(options);
    int status = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), &config, &error);
    // --help (not --version) also tells how to run it as a service.
    if (status == 0 && error.rfind("brenvikd " BRENVIK_VERSION_STRING, 0) != 0) error += kServiceHelp;
    if (status >= 0) return PrintParseResult(status, error);
    // The usual place of the ledger and the logs, for a console run too.
    CreateDirectoryW(win32::Wide(win32::DataDirectory()).c_str(), nullptr);
    CreateDirectoryW(win32::Wide(win32::PrivateDirectory()).c_str(), nullptr);
    WindowsHost host(false);
    g_finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(ConsoleControl, TRUE);
    status = body(host, config);
    SetEvent(g_finished);
    return status;
}

}  // namespace brenvikd
