#include "service/install_win32.h"

#include <aclapi.h>
#include <bcrypt.h>
#include <sddl.h>

#include <cstdio>

#include "service/config.h"
#include "service/support_win32.h"
// The message table's ids (windmc, from messages.mc).
#include "messages.h"

namespace brenvikd {
namespace {

using win32::Wide;

constexpr const wchar_t* kDisplayName = L"Brenvik HTTP service for fiscal printers";
constexpr const wchar_t* kDescription =
    L"Prints receipts on Maria 301 MTM fiscal printers for web and other point-of-sale programs over HTTP on "
    L"this computer (http://127.0.0.1:8123/), each exactly once. Settings, ledger and token: "
    L"%ProgramData%\\Brenvik.";
constexpr const wchar_t* kEventSourceKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\brenvikd";

// The token is a secret: SYSTEM (the service) reads it, administrators
// manage it, nobody else sees it. The private folder holds the ledger's
// receipts: the same two only, inherited by what is made in it. The
// settings are no secret but steer a program that runs as SYSTEM: users
// read them, only administrators change them. %ProgramData%\Brenvik itself
// keeps what the installer gave it (users write the COM server's log there).
constexpr const wchar_t* kTokenAcl = L"D:P(A;;FR;;;SY)(A;;FA;;;BA)";
constexpr const wchar_t* kPrivateAcl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr const wchar_t* kConfigAcl = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;BU)";

int Fail(const std::string& text, int status = 1) {
    fprintf(stderr, "brenvikd: %s\n", text.c_str());
    return status;
}

std::string LastError() { return win32::ErrorText(GetLastError()); }

bool Exists(const std::string& path) { return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring ProgramPath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// Security attributes from an SDDL text; the descriptor is freed by the caller (LocalFree).
bool Descriptor(const wchar_t* sddl, PSECURITY_DESCRIPTOR* descriptor) {
    return ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, descriptor, nullptr) != 0;
}

// Gives an existing file or folder the access list `sddl`, protected from
// what its folder would pass down.
bool Protect(const std::string& target, const wchar_t* sddl, std::string* error) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!Descriptor(sddl, &descriptor)) {
        *error = "cannot build the access list of " + target + ": " + LastError();
        return false;
    }
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    std::wstring path = Wide(target);
    DWORD rc = SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT,
                                     DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                     nullptr, dacl, nullptr);
    LocalFree(descriptor);
    if (rc != ERROR_SUCCESS) {
        *error = "cannot set the access list of " + target + ": " + win32::ErrorText(rc);
        return false;
    }
    return true;
}

void ProtectOrWarn(const std::string& target, const wchar_t* sddl) {
    std::string error;
    if (!Protect(target, sddl, &error)) fprintf(stderr, "brenvikd: warning: %s\n", error.c_str());
}

bool MakeDataDirectory(const std::string& dir, std::string* error) {
    if (CreateDirectoryW(Wide(dir).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) return true;
    *error = "cannot make " + dir + ": " + LastError();
    return false;
}

bool MakePrivateDirectory(const std::string& dir, std::string* error) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!Descriptor(kPrivateAcl, &descriptor)) {
        *error = "cannot build the access list of " + dir + ": " + LastError();
        return false;
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    const bool ok = CreateDirectoryW(Wide(dir).c_str(), &attributes) || GetLastError() == ERROR_ALREADY_EXISTS;
    LocalFree(descriptor);
    if (!ok) {
        *error = "cannot make " + dir + ": " + LastError();
        return false;
    }
    // One made earlier (by a console run, say) gets the same access list.
    ProtectOrWarn(dir, kPrivateAcl);
    return true;
}

// 32 bytes of the system's random generator, as 64 hexadecimal digits.
bool MakeToken(const std::string& path, std::string* error) {
    // Kept over a reinstall, so that clients keep working; its access list
    // is made right again.
    if (Exists(path)) {
        ProtectOrWarn(path, kTokenAcl);
        return true;
    }
    unsigned char random[32];
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, random, sizeof random, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
        *error = "the system's random generator failed";
        return false;
    }
    std::string token;
    for (unsigned char byte : random) {
        const char digits[] = "0123456789abcdef";
        token += digits[byte >> 4];
        token += digits[byte & 15];
    }
    token += "\r\n";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!Descriptor(kTokenAcl, &descriptor)) {
        *error = "cannot build the token's access list: " + LastError();
        return false;
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    LocalFree(descriptor);
    if (file == INVALID_HANDLE_VALUE) {
        *error = "cannot make the token " + path + ": " + LastError();
        return false;
    }
    DWORD written = 0;
    bool ok = WriteFile(file, token.data(), static_cast<DWORD>(token.size()), &written, nullptr) &&
              written == token.size() && FlushFileBuffers(file);
    if (!ok) *error = "cannot write the token " + path + ": " + LastError();
    CloseHandle(file);
    if (!ok) DeleteFileW(Wide(path).c_str());
    return ok;
}

// Whole or not at all: a half-written configuration would stop the service.
bool WriteConfig(const std::string& path, const std::string& text, std::string* error) {
    const std::string temporary = path + ".new";
    HANDLE file = CreateFileW(Wide(temporary).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    DWORD written = 0;
    bool ok = file != INVALID_HANDLE_VALUE &&
              WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
              written == text.size() && FlushFileBuffers(file);
    if (!ok) *error = "cannot write " + temporary + ": " + LastError();
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (ok && !MoveFileExW(Wide(temporary).c_str(), Wide(path).c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        *error = "cannot replace " + path + ": " + LastError();
        ok = false;
    }
    if (!ok) DeleteFileW(Wide(temporary).c_str());
    return ok;
}

std::vector<char*> Argv(std::vector<std::string>& options) {
    static char name[] = "brenvikd";
    std::vector<char*> argv{name};
    for (std::string& option : options) argv.push_back(option.data());
    return argv;
}

// Created, or brought up to date when it is there (a new version installed
// over an old one runs from the new place).
bool Register(SC_HANDLE manager, const std::wstring& program, std::string* error) {
    std::wstring command = L"\"" + program + L"\" --service";
    SC_HANDLE service = CreateServiceW(manager, win32::kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                       command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!service && GetLastError() == ERROR_SERVICE_EXISTS) {
        service = OpenServiceW(manager, win32::kServiceName, SERVICE_ALL_ACCESS);
        if (service && !ChangeServiceConfigW(service, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                             SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr,
                                             nullptr, nullptr, kDisplayName)) {
            *error = "cannot update the service brenvikd: " + LastError();
            CloseServiceHandle(service);
            return false;
        }
    }
    if (!service) {
        *error = "cannot register the service brenvikd: " + LastError();
        return false;
    }
    SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(kDescription)};
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description)) {
        fprintf(stderr, "brenvikd: warning: the service's description was not set: %s\n", LastError().c_str());
    }
    // Restarted 5 s, 10 s and 60 s after a failure, counted afresh each day;
    // a stop with an error status counts as a failure too.
    SC_ACTION actions[] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 10000}, {SC_ACTION_RESTART, 60000}};
    SERVICE_FAILURE_ACTIONSW failure{86400, nullptr, nullptr, 3, actions};
    SERVICE_FAILURE_ACTIONS_FLAG nonCrash{TRUE};
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure) ||
        !ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &nonCrash)) {
        fprintf(stderr, "brenvikd: warning: restarting on failure was not set: %s\n", LastError().c_str());
    }
    CloseServiceHandle(service);
    return true;
}

// The Event Viewer finds the entries' texts in this program's message table.
bool RegisterEventSource(const std::wstring& program, std::string* error) {
    HKEY key = nullptr;
    LSTATUS rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                                 nullptr);
    if (rc != ERROR_SUCCESS) {
        *error = "cannot register the Event Log source brenvikd: " + win32::ErrorText(static_cast<DWORD>(rc));
        return false;
    }
    DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    rc = RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(program.c_str()),
                        static_cast<DWORD>((program.size() + 1) * sizeof(wchar_t)));
    if (rc == ERROR_SUCCESS) {
        rc = RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                            sizeof types);
    }
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        *error = "cannot register the Event Log source brenvikd: " + win32::ErrorText(static_cast<DWORD>(rc));
        return false;
    }
    return true;
}

}  // namespace

int InstallService(const std::vector<std::string>& given) {
    std::vector<std::string> options = given;
    for (const std::string& option : options) {
        if (option == "--simulate") return Fail("--simulate cannot run as a service: give --printer ID=COMn", 2);
    }
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        bool denied = GetLastError() == ERROR_ACCESS_DENIED;
        return Fail("cannot reach the Service Control Manager: " + LastError() +
                    (denied ? "; installing a service needs an administrator's console" : ""));
    }
    const std::string dir = win32::DataDirectory();
    const std::string configPath = dir + "\\brenvikd.json";
    const std::string tokenPath = dir + "\\brenvikd.token";
    std::string error;
    int status = -1;
    Config config = DefaultConfig();
    config.defaultConfigFile.clear();  // the options alone make the new file
    if (!options.empty()) {
        std::vector<char*> argv = Argv(options);
        status = ParseOptions(static_cast<int>(argv.size()), argv.data(), &config, &error);
        if (config.tokenFile.empty()) config.tokenFile = tokenPath;
    } else if (!Exists(configPath)) {
        status = 2;
        error = "no configuration in " + configPath + " yet: give the printer, e.g. --install-service --printer main=COM3";
    }
    if (status >= 0) {
        CloseServiceHandle(manager);
        return PrintParseResult(status, error);
    }
    if (!MakeDataDirectory(dir, &error) || !MakePrivateDirectory(win32::PrivateDirectory(), &error) ||
        !MakeToken(tokenPath, &error)) {
        CloseServiceHandle(manager);
        return Fail(error);
    }
    // Checked as the service will read it, token included.
    if (!options.empty()) {
        Config checked = config;
        if (!FinishConfig(&checked, &error)) {
            CloseServiceHandle(manager);
            return Fail(error, 2);
        }
        if (!WriteConfig(configPath, ConfigJson(config), &error)) {
            CloseServiceHandle(manager);
            return Fail(error);
        }
    } else {
        Config kept = DefaultConfig();
        std::vector<std::string> none;
        std::vector<char*> argv = Argv(none);
        if (ParseCommandLine(static_cast<int>(argv.size()), argv.data(), &kept, &error) >= 0) {
            CloseServiceHandle(manager);
            return Fail("the configuration " + configPath + " cannot be used: " + error, 2);
        }
    }
    ProtectOrWarn(configPath, kConfigAcl);
    const std::wstring program = ProgramPath();
    bool ok = Register(manager, program, &error) && RegisterEventSource(program, &error);
    CloseServiceHandle(manager);
    if (!ok) return Fail(error);
    printf("brenvikd: the service brenvikd is installed (automatic start, restarted on failure)\n"
           "  configuration %s%s\n  token         %s\n  start it with `net start brenvikd`\n",
           configPath.c_str(), options.empty() ? " (kept)" : "", tokenPath.c_str());
    return 0;
}

int UninstallService(const std::vector<std::string>& options) {
    if (!options.empty()) return Fail("--uninstall-service takes no options, not '" + options.front() + "'", 2);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return Fail("cannot reach the Service Control Manager: " + LastError());
    SC_HANDLE service = OpenServiceW(manager, win32::kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
    int status = 0;
    if (!service) {
        if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
            printf("brenvikd: the service brenvikd is not installed\n");
        } else {
            status = Fail("cannot open the service brenvikd: " + LastError());
        }
    } else {
        SERVICE_STATUS state{};
        if (ControlService(service, SERVICE_CONTROL_STOP, &state)) {
            // Its own stop takes a few seconds at most; then it is removed anyway.
            for (int i = 0; i < 150 && state.dwCurrentState != SERVICE_STOPPED; ++i) {
                Sleep(200);
                if (!QueryServiceStatus(service, &state)) break;
            }
        }
        if (!DeleteService(service) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
            status = Fail("cannot remove the service brenvikd: " + LastError());
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    LSTATUS rc = RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKey);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
        status = Fail("cannot remove the Event Log source brenvikd: " + win32::ErrorText(static_cast<DWORD>(rc)));
    }
    if (status == 0) {
        printf("brenvikd: the service brenvikd is removed; %s (ledger, configuration, token) stays\n",
               win32::DataDirectory().c_str());
    }
    return status;
}

void ReportServiceError(const std::string& text) {
    HANDLE source = RegisterEventSourceW(nullptr, win32::kServiceName);
    if (!source) return;
    std::wstring wide = Wide(text);
    const wchar_t* strings[] = {wide.c_str()};
    ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, MSG_SERVICE_FAILED, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(source);
}

}  // namespace brenvikd
