// testutil_probe: drives a running BrenvikTest from inside the same Wine
// prefix, by window messages only, and writes what it sees to a file as one
// UTF-8 JSON object (a file, so that no console code page touches the texts).
//   testutil_probe OUT dump [ID]         every control of the window holding
//                                        control ID (default: the main one)
//   testutil_probe OUT press ID          clicks button ID (posted), then waits until idle
//   testutil_probe OUT click ID          clicks button ID and dumps once a job runs
//   testutil_probe OUT idle              waits until no job runs
//   testutil_probe OUT cancel            clicks Cancel and waits until idle
//   testutil_probe OUT set ID HEX        sets the text of control ID (HEX: UTF-8 bytes)
//   testutil_probe OUT key ID VK         presses key VK (decimal) in control ID
//   testutil_probe OUT close [ID]        asks the window to close
//   testutil_probe OUT open N            opens COMN as the engine does ("opened")
// A job runs while the Cancel button is enabled, in any language.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr int kResultId = 1030;  // marks the main window
constexpr int kCancelId = 1006;
constexpr DWORD kFindMs = 20000;
// A job may meet a silent printer (6 s per reply) on a loaded machine.
constexpr DWORD kIdleMs = 60000;

std::string Utf8(const std::wstring& text)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    out.resize(std::char_traits<char>::length(out.c_str()));
    return out;
}

std::string Quoted(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof(buf), "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// Another process's control: WM_GETTEXT is marshalled, and answered even
// while the program waits for the printer, unless its window hangs.
bool ControlText(HWND control, std::wstring& text)
{
    wchar_t buffer[4096] = {};
    DWORD_PTR copied = 0;
    const bool answered = SendMessageTimeoutW(control, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buffer),
                                              SMTO_ABORTIFHUNG, 2000, &copied) != 0;
    buffer[4095] = 0;
    text = buffer;
    return answered;
}

struct Search {
    int control;
    HWND found;
};

BOOL CALLBACK Holding(HWND window, LPARAM param)
{
    auto* search = reinterpret_cast<Search*>(param);
    wchar_t name[16] = {};
    GetClassNameW(window, name, 16);
    // Visible only once all its controls exist and WM_INITDIALOG has run.
    if (wcscmp(name, L"#32770") == 0 && IsWindowVisible(window) && GetDlgItem(window, search->control)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// The dialog that holds control `control`, whatever its caption's language.
HWND FindDialog(int control)
{
    const DWORD start = GetTickCount();
    for (;;) {
        Search search{control, nullptr};
        EnumWindows(Holding, reinterpret_cast<LPARAM>(&search));
        if (search.found || GetTickCount() - start > kFindMs)
            return search.found;
        Sleep(100);
    }
}

bool Busy(HWND dialog, bool& answered)
{
    std::wstring result;
    answered = ControlText(GetDlgItem(dialog, kResultId), result);
    return IsWindowEnabled(GetDlgItem(dialog, kCancelId)) != FALSE;
}

struct Dump {
    HWND dialog;
    std::string json;
    bool allAnswered = true;
};

BOOL CALLBACK AddControl(HWND control, LPARAM param)
{
    auto* dump = reinterpret_cast<Dump*>(param);
    const int id = GetDlgCtrlID(control);
    // Direct children only: a combo box's edit field carries the box's number.
    if (id <= 0 || id == 0xffff || GetParent(control) != dump->dialog)
        return TRUE;
    std::wstring text;
    if (!ControlText(control, text))
        dump->allAnswered = false;
    dump->json += (dump->json.empty() ? "" : ",") + std::string("\"") + std::to_string(id) +
                  "\":{\"text\":" + Quoted(Utf8(text)) +
                  ",\"enabled\":" + (IsWindowEnabled(control) ? "true" : "false") + "}";
    return TRUE;
}

std::string Describe(HWND dialog, DWORD waitedMs, const std::string& extra)
{
    if (!dialog)
        return "{\"found\":false" + extra + "}";
    Dump dump{dialog, "", true};
    EnumChildWindows(dialog, AddControl, reinterpret_cast<LPARAM>(&dump));
    bool answered = true;
    const bool busy = Busy(dialog, answered);
    std::wstring caption;
    ControlText(dialog, caption);
    return "{\"found\":true,\"caption\":" + Quoted(Utf8(caption)) + ",\"busy\":" +
           (busy ? "true" : "false") + ",\"answered\":" +
           (dump.allAnswered && answered ? "true" : "false") +
           ",\"waited_ms\":" + std::to_string(waitedMs) + extra + ",\"controls\":{" + dump.json + "}}";
}

// Waits until the dialog is busy (want) or idle again.
DWORD WaitBusy(HWND dialog, bool want)
{
    const DWORD start = GetTickCount();
    for (;;) {
        bool answered = true;
        const bool busy = Busy(dialog, answered);
        if (busy == want || GetTickCount() - start > kIdleMs || !IsWindow(dialog))
            return GetTickCount() - start;
        Sleep(50);
    }
}

std::wstring FromHex(const char* hex)
{
    std::string bytes;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        bytes += static_cast<char>(std::strtol(std::string(hex + i, 2).c_str(), nullptr, 16));
    const int n = MultiByteToWideChar(CP_UTF8, 0, bytes.c_str(), -1, nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n : 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.c_str(), -1, &out[0], n);
    out.resize(wcslen(out.c_str()));
    return out;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: testutil_probe OUT dump [ID]|press ID|click ID|idle|cancel|set ID HEX|"
                             "key ID VK|close [ID]|open N\n");
        return 2;
    }
    const std::string command = argv[2];
    const int id = argc > 3 ? std::atoi(argv[3]) : 0;
    std::string extra;
    if (command == "open") {
        // As the engine opens a port: exclusively.
        const std::wstring device = L"\\\\.\\COM" + std::to_wstring(id);
        HANDLE port = CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr);
        extra = ",\"opened\":" + std::string(port != INVALID_HANDLE_VALUE ? "true" : "false") +
                ",\"error\":" + std::to_string(port != INVALID_HANDLE_VALUE ? 0 : GetLastError());
        if (port != INVALID_HANDLE_VALUE)
            CloseHandle(port);
    }
    const bool main = id == 0 || command == "open" || command == "idle" || command == "cancel";
    HWND dialog = FindDialog(main ? kResultId : id);
    const bool isMain = dialog && GetDlgItem(dialog, kResultId);
    DWORD waited = 0;
    if (dialog) {
        if (command == "press" || command == "click") {
            // Posted, as a click is: the button's handler starts the job and returns.
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
            Sleep(200);
            if (isMain)
                waited = WaitBusy(dialog, command == "click");
        } else if (command == "cancel") {
            const DWORD start = GetTickCount();
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(kCancelId, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(dialog, kCancelId)));
            WaitBusy(dialog, false);
            waited = GetTickCount() - start;
        } else if (command == "idle") {
            waited = WaitBusy(dialog, false);
        } else if (command == "set" && argc > 4) {
            const std::wstring value = FromHex(argv[4]);
            SendMessageTimeoutW(GetDlgItem(dialog, id), WM_SETTEXT, 0,
                                reinterpret_cast<LPARAM>(value.c_str()), SMTO_ABORTIFHUNG, 2000, nullptr);
        } else if (command == "key" && argc > 4) {
            // Posted as the keyboard's are, so the program's message loop sees them.
            HWND control = GetDlgItem(dialog, id);
            const auto key = static_cast<WPARAM>(std::atoi(argv[4]));
            PostMessageW(control, WM_KEYDOWN, key, 1);
            PostMessageW(control, WM_KEYUP, key, 1 | 0xC0000000);
            Sleep(300);
        } else if (command == "close") {
            PostMessageW(dialog, WM_CLOSE, 0, 0);
        }
    }
    const std::string json = Describe(command == "close" ? nullptr : dialog, waited, extra);
    FILE* out = std::fopen(argv[1], "wb");
    if (!out)
        return 1;
    std::fputs(json.c_str(), out);
    std::fclose(out);
    return dialog ? 0 : 1;
}
