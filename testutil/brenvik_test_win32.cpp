// BrenvikTest: checks a Maria 301 MTM printer without writing code. A dialog
// that connects through the engine itself (not the COM server), shows the
// printer's state and runs the harmless operations: X-report, test check,
// cash in and out, clock from the PC; and shows the engine's debug log.
//
// The printer keeps a caller waiting for seconds (a report, a silent line:
// 6 s per wait), so every printer call runs on a worker thread and the
// window stays alive: it repaints, shows what it waits for, can be moved and
// closed. One job at a time: the buttons are disabled while it runs, so the
// engine, which takes no lock, never sees two threads. Any job can be
// cancelled: the engine's line is a CancellableLine, which closes the port
// on the worker's own thread at its next slice of waiting.
//
// Texts follow the system's user interface language (window_text.cpp); the
// engine's Russian messages stay as they are, with the meaning beside them
// from the error table of the manual (errors/meanings.h).
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "engine/fiscal/fiscal_helpers.h"
#include "engine/printer_engine.h"
#include "errors/meanings.h"
#include "resource.h"
#include "testutil/cancellable_line.h"
#include "testutil/panel_text.h"
#include "testutil/window_text.h"

namespace {

using brenvik::PrinterEngine;
using brenvik::testutil::Text;
namespace text = brenvik::testutil;

constexpr UINT kJobDone = WM_APP + 1;
constexpr UINT kCashierBytes = 10;  // what Init of the COM classes passes on
constexpr UINT kPasswordBytes = 10;
constexpr int kMaxPort = 64;
// The only rate: the printer's line is fixed at it, and Init asks for no other.
constexpr DWORD kBaudRate = 115200;
// A cancelled job ends within a slice of the line's waits; one that is
// stuck in the system longer than this is said to be so, and a window that
// is closed meanwhile ends the program without it.
constexpr UINT_PTR kStuckTimer = 1;
constexpr UINT kStuckMs = 2000;
constexpr wchar_t kSettingsKey[] = L"Software\\Brenvik\\BrenvikTest";
// The log viewer shows at most the log's tail of this size.
constexpr DWORD kLogTailBytes = 2u * 1024 * 1024;

enum class Op { Connect, Disconnect, Refresh, XReport, NullCheck, CashIn, CashOut, SetClock };

struct Job {
    explicit Job(Op o) : op(o) {}
    Op op;
    int port = 0;
    std::string cashier;   // code page 1251, as the engine takes it
    std::string password;
    int32_t amount = 0;    // kopecks
    SYSTEMTIME now{};
};

// The printer's state as the window shows it, copied on the worker thread.
struct Status {
    std::string serial, fiscal, clock, key, documents, taxes;
};

struct Outcome {
    explicit Outcome(Op o) : op(o) {}
    Op op;
    bool ok = false;
    bool connected = false;
    bool cancelled = false;
    uint32_t error = 0;
    std::wstring message;  // the engine's own text, from code page 1251
    std::string code;
    bool haveStatus = false;
    Status status;
};

brenvik::EnginePlatform g_platform;
brenvik::testutil::CancellableLine* g_line;
PrinterEngine* g_engine;
text::Language g_language = text::Language::English;
HWND g_dialog;
HWND g_logWindow;
HANDLE g_worker;
Op g_runningOp = Op::Connect;
int g_runningPort = 0;
std::wstring g_runningCashier;
bool g_busy;
bool g_connected;
bool g_cancelling;
bool g_closeWhenDone;
bool g_abandoned;  // closed while a job would not end: the process ends without it

std::wstring Wide(const std::string& s, UINT codePage)
{
    if (s.empty())
        return L"";
    const int n = MultiByteToWideChar(codePage, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(codePage, 0, s.data(), static_cast<int>(s.size()), &out[0], n);
    return out;
}

std::wstring Utf16(const std::string& utf8) { return Wide(utf8, CP_UTF8); }

std::string Narrow(const std::wstring& s, UINT codePage)
{
    if (s.empty())
        return "";
    const int n = WideCharToMultiByte(codePage, 0, s.data(), static_cast<int>(s.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(codePage, 0, s.data(), static_cast<int>(s.size()), &out[0], n, nullptr,
                        nullptr);
    return out;
}

std::wstring T(Text id) { return Utf16(text::TextOf(id, g_language)); }
std::string T8(Text id) { return text::TextOf(id, g_language); }

std::wstring ItemText(HWND window, int id)
{
    const int length = GetWindowTextLengthW(GetDlgItem(window, id));
    std::wstring buffer(static_cast<size_t>(length) + 1, L'\0');
    GetDlgItemTextW(window, id, &buffer[0], length + 1);
    buffer.resize(static_cast<size_t>(length));
    return buffer;
}

std::wstring ItemText(int id) { return ItemText(g_dialog, id); }

std::wstring Trimmed(const std::wstring& s)
{
    const size_t first = s.find_first_not_of(L" \t");
    return first == std::wstring::npos ? L"" : s.substr(first, s.find_last_not_of(L" \t") - first + 1);
}

std::wstring OpName(Op op)
{
    switch (op) {
    case Op::Connect: return T(Text::OpConnect);
    case Op::Disconnect: return T(Text::OpDisconnect);
    case Op::Refresh: return T(Text::OpRefresh);
    case Op::XReport: return T(Text::OpXReport);
    case Op::NullCheck: return T(Text::OpNullCheck);
    case Op::CashIn: return T(Text::OpCashIn);
    case Op::CashOut: return T(Text::OpCashOut);
    case Op::SetClock: return T(Text::OpSetClock);
    }
    return L"";
}

// ---- Settings: what answered last time, in the user's registry ----------

// BaudRate is written beside them for the day a printer offers a choice;
// with one rate there is nothing to read back.
struct Saved {
    std::wstring port, cashier;
};

Saved LoadSaved()
{
    Saved saved;
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return saved;
    auto string = [&](const wchar_t* name) {
        wchar_t value[64] = {};
        DWORD bytes = sizeof(value) - sizeof(wchar_t), type = 0;
        if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &bytes) != ERROR_SUCCESS ||
            type != REG_SZ)
            return std::wstring();
        value[bytes / sizeof(wchar_t)] = 0;
        return std::wstring(value);
    };
    saved.port = string(L"Port");
    saved.cashier = string(L"Cashier");
    RegCloseKey(key);
    return saved;
}

// The password is not kept: a shared till's registry is no place for it.
void SaveGood(int port, const std::wstring& cashier)
{
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return;
    auto string = [&](const wchar_t* name, const std::wstring& value) {
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    };
    string(L"Port", L"COM" + std::to_wstring(port));
    string(L"Cashier", cashier);
    const DWORD baud = kBaudRate;
    RegSetValueExW(key, L"BaudRate", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&baud), sizeof baud);
    RegCloseKey(key);
}

// ---- Worker side: the only code that touches the engine after start -------

void TakeError(const PrinterEngine& e, Outcome& out)
{
    out.error = e.ErrorNumber;
    out.message = Wide(e.LastErrorText, 1251);
    out.code = e.ErrorCode;
}

// Reads the status into `out`; when `report` is set, the first query that
// fails becomes the outcome (a later one that succeeds must not hide it).
void ReadStatus(PrinterEngine& e, Outcome& out, bool report)
{
    auto query = [&](auto&& call) {
        if (g_line->Cancelled())
            return;
        call();
        if (report && out.ok && !e.Succeeded()) {
            out.ok = false;
            TakeError(e, out);
        }
    };
    Status& s = out.status;
    query([&] { e.GetPrinterKeyPosition(); });  // CONf: numbers, clock, key
    s.serial = e.SerialNumber;
    s.fiscal = e.FiscalNumber;
    s.clock = text::PrinterClockText(e.PrinterDate, e.PrinterTime);
    s.key = e.KeyPosition[0] ? text::KeyPositionText(brenvik::fiscal::KeyLetter(e.KeyPosition[0]), g_language)
                             : "";
    query([&] { e.GetDocumentsInfo(); });  // GLCN
    if (e.LastCheckNumber[0])
        s.documents = T8(Text::LastCheck) + e.LastCheckNumber + "\n" + T8(Text::LastDocument) + e.LastDocNumber +
                      "\n" + T8(Text::LastZReport) + e.LastZReportNumber;
    query([&] { e.GetTaxesInfo(); });  // CNAL
    for (int slot = 0; slot < 8; ++slot) {
        const std::string line = text::TaxRecordText(slot, e.TaxRateTable[slot], g_language);
        if (!line.empty())
            s.taxes += (s.taxes.empty() ? "" : "\r\n") + line;
    }
    out.haveStatus = true;
    if (report && out.ok)
        TakeError(e, out);  // 0, or 35; not what an earlier operation left
}

void RunJob(const Job& job, Outcome& out)
{
    PrinterEngine& e = *g_engine;
    int32_t result = 0;
    switch (job.op) {
    case Op::Connect:
        result = e.Init(job.port, job.cashier.c_str(), job.password.c_str(), 0, "");
        break;
    case Op::Disconnect: result = e.Done(); break;
    case Op::Refresh: result = e.Connected ? 1 : e.BoolResult(); break;
    case Op::XReport: result = e.XReport(); break;
    case Op::NullCheck: result = e.NullCheck(); break;
    case Op::CashIn: result = e.MoveCash(1, job.amount); break;
    case Op::CashOut: result = e.MoveCash(0, job.amount); break;
    case Op::SetClock:
        result = e.SetInternalTime(job.now.wHour, job.now.wMinute, job.now.wSecond);
        break;
    }
    out.ok = result == 1;
    TakeError(e, out);
    // The counters and the clock move after an operation, and after an
    // error the user wants to see why (the key position, for one): show
    // them, but let the operation's own outcome stand.
    if (e.Connected && !g_line->Cancelled() && job.op != Op::Disconnect)
        ReadStatus(e, out, job.op == Op::Refresh);
    if (g_line->Cancelled()) {
        // The line closed itself; the engine is told so the usual way.
        e.Done();
        out.cancelled = true;
        out.ok = false;
    }
    out.connected = e.Connected != 0;
}

DWORD WINAPI Worker(LPVOID parameter)
{
    Job* job = static_cast<Job*>(parameter);
    auto* out = new Outcome(job->op);
    RunJob(*job, *out);
    delete job;
    PostMessageW(g_dialog, kJobDone, 0, reinterpret_cast<LPARAM>(out));
    return 0;
}

// ---- Window side -------------------------------------------------------

void AddHistory(const std::wstring& line)
{
    SYSTEMTIME t;
    GetLocalTime(&t);
    wchar_t stamp[16];
    std::swprintf(stamp, 16, L"%02u:%02u:%02u  ", t.wHour, t.wMinute, t.wSecond);
    HWND history = GetDlgItem(g_dialog, IDC_HISTORY);
    const int end = GetWindowTextLengthW(history);
    SendMessageW(history, EM_SETSEL, end, end);
    const std::wstring entry = (end ? L"\r\n" : L"") + std::wstring(stamp) + line;
    SendMessageW(history, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(entry.c_str()));
    SendMessageW(history, EM_SCROLLCARET, 0, 0);
}

void ShowResult(const std::wstring& line)
{
    SetDlgItemTextW(g_dialog, IDC_RESULT, line.c_str());
    AddHistory(line);
}

void UpdateButtons()
{
    const bool idle = !g_busy;
    for (int id : {IDC_PORT, IDC_CASHIER, IDC_PASSWORD, IDC_CONNECT})
        EnableWindow(GetDlgItem(g_dialog, id), idle && !g_connected);
    for (int id : {IDC_DISCONNECT, IDC_REFRESH, IDC_XREPORT, IDC_NULLCHECK, IDC_AMOUNT, IDC_CASH_IN,
                   IDC_CASH_OUT, IDC_SET_CLOCK})
        EnableWindow(GetDlgItem(g_dialog, id), idle && g_connected);
    // Enabled exactly while a job runs (the Wine test reads it so).
    EnableWindow(GetDlgItem(g_dialog, IDC_CANCEL_CALL), g_busy);
    EnableWindow(GetDlgItem(g_dialog, IDC_LOG_DIR), TRUE);
    EnableWindow(GetDlgItem(g_dialog, IDC_LOG_VIEW), TRUE);
}

void ShowStatus(const Status& s)
{
    auto field = [](int id, const std::string& value) {
        SetDlgItemTextW(g_dialog, id, value.empty() ? L"—" : Utf16(value).c_str());
    };
    field(IDC_SERIAL, s.serial);
    field(IDC_FISCAL, s.fiscal);
    field(IDC_KEY, s.key);
    field(IDC_DOCUMENTS, s.documents);
    field(IDC_CLOCK, s.clock);
    SetDlgItemTextW(g_dialog, IDC_TAXES, Utf16(s.taxes).c_str());
}

void Start(Job* job)
{
    g_busy = true;
    g_cancelling = false;
    g_runningOp = job->op;
    g_line->Rearm();
    UpdateButtons();
    SetDlgItemTextW(g_dialog, IDC_RESULT, (T(Text::Wait) + OpName(job->op) + L"…").c_str());
    SetCursor(LoadCursorW(nullptr, IDC_APPSTARTING));
    g_worker = CreateThread(nullptr, 0, Worker, job, 0, nullptr);
    if (!g_worker) {
        delete job;
        g_busy = false;
        UpdateButtons();
        ShowResult(T(Text::NoThread));
    }
}

// Stops the job's waiting: the line closes the port at its next slice.
void CancelJob()
{
    if (!g_busy || g_cancelling)
        return;
    g_cancelling = true;
    g_line->Cancel();
    SetDlgItemTextW(g_dialog, IDC_RESULT, (T(Text::Cancelling) + OpName(g_runningOp) + L"…").c_str());
    SetTimer(g_dialog, kStuckTimer, kStuckMs, nullptr);
}

// What the result line says of an error: the engine's number, its Russian
// message and word, the operation; the meaning in the window's language on
// a line of its own. Russian needs none: the message is the meaning.
std::wstring ErrorLines(const Outcome& out, std::wstring& advice)
{
    std::wstring line = T(Text::Error) + std::to_wstring(out.error) + L": " + out.message;
    if (!out.code.empty())
        line += L" [" + Utf16(out.code) + L"]";
    line += L" — " + OpName(out.op);
    if (g_language != text::Language::Russian) {
        const auto language = g_language == text::Language::Ukrainian ? brenvik::errors::Language::kUkrainian
                                                                       : brenvik::errors::Language::kEnglish;
        const std::string meaning = brenvik::errors::MeaningOf(out.error, language);
        if (!meaning.empty())
            line += L"\r\n" + Utf16(meaning);
        advice = Utf16(brenvik::errors::AdviceOf(out.error, language));
    }
    return line;
}

void Finish(Outcome* out)
{
    WaitForSingleObject(g_worker, INFINITE);
    CloseHandle(g_worker);
    g_worker = nullptr;
    KillTimer(g_dialog, kStuckTimer);
    g_busy = false;
    g_cancelling = false;
    g_connected = out->connected;
    if (out->haveStatus && g_connected)
        ShowStatus(out->status);
    else if (!g_connected)
        ShowStatus(Status());
    std::wstring line, advice;
    if (out->cancelled) {
        line = T(Text::Cancelled) + OpName(out->op) + T(Text::PortClosed);
    } else if (out->ok) {
        line = T(Text::Done) + OpName(out->op);
        if (out->error == brenvik::kErrNotFiscalized)  // success, worth saying
            line += L" (" + std::to_wstring(out->error) + L": " + out->message + L")";
        if (out->op == Op::Connect)
            SaveGood(g_runningPort, g_runningCashier);
    } else {
        line = ErrorLines(*out, advice);
    }
    const bool silent = !out->ok && !out->cancelled && out->error == brenvik::kErrTimeout;
    delete out;
    UpdateButtons();
    ShowResult(line);
    if (!advice.empty())
        AddHistory(advice);
    if (silent)
        AddHistory(T(Text::SilentPrinter));
    if (g_closeWhenDone)
        EndDialog(g_dialog, 0);
}

void ListPorts(const Saved& saved)
{
    std::set<int> ports;
    // Ports that Windows announces; Wine fills this from its dosdevices too.
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) ==
        ERROR_SUCCESS) {
        for (DWORD i = 0;; ++i) {
            wchar_t name[256], value[64];
            DWORD nameLength = 256, valueBytes = sizeof(value) - sizeof(wchar_t), type = 0;
            if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type,
                              reinterpret_cast<BYTE*>(value), &valueBytes) != ERROR_SUCCESS)
                break;
            value[valueBytes / sizeof(wchar_t)] = 0;
            if (type == REG_SZ)
                if (const int n = text::ParseComPort(Narrow(value, CP_UTF8)))
                    ports.insert(n);
        }
        RegCloseKey(key);
    }
    // Ports that only have a device name: virtual ports, and the links of
    // Wine's dosdevices directory (comN -> a pseudo-terminal), which Wine
    // announces nowhere. Opening without access rights reads and changes
    // nothing; a port held by another program answers "access denied".
    // Announced ports are not opened: a Bluetooth port would start to
    // connect and keep the window waiting.
    for (int n = 1; n <= kMaxPort; ++n) {
        if (ports.count(n) != 0)
            continue;
        const std::wstring device = L"\\\\.\\COM" + std::to_wstring(n);
        HANDLE h = CreateFileW(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        const DWORD error = h == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
            ports.insert(n);
    }
    HWND combo = GetDlgItem(g_dialog, IDC_PORT);
    SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    std::wstring names;
    for (int n : ports) {
        const std::wstring name = L"COM" + std::to_wstring(n);
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
        names += (names.empty() ? L"" : L", ") + name;
    }
    AddHistory(ports.empty() ? T(Text::NoPorts) : T(Text::Ports) + names);
    // Only a port that answered before is chosen for the user: an arbitrary
    // first one (COM1) is most often not the printer's and keeps them waiting.
    if (text::ParseComPort(Narrow(saved.port, CP_UTF8)) != 0) {
        SetWindowTextW(combo, saved.port.c_str());
        AddHistory(T(Text::LastGoodPort) + saved.port);
    }
}

void OnConnect()
{
    const int port = text::ParseComPort(Narrow(ItemText(IDC_PORT), CP_UTF8));
    const std::wstring cashier = Trimmed(ItemText(IDC_CASHIER));
    const std::wstring password = ItemText(IDC_PASSWORD);
    struct {
        bool wrong;
        int control;
        Text why;
    } const checks[] = {{port == 0, IDC_PORT, Text::ChoosePort},
                        {cashier.empty(), IDC_CASHIER, Text::NeedCashier},
                        {Trimmed(password).empty(), IDC_PASSWORD, Text::NeedPassword}};
    for (const auto& check : checks)
        if (check.wrong) {
            ShowResult(T(check.why));
            SetFocus(GetDlgItem(g_dialog, check.control));
            return;
        }
    auto* job = new Job(Op::Connect);
    job->port = port;
    job->cashier = Narrow(cashier, 1251);
    job->password = Narrow(password, 1251);
    g_runningPort = port;
    g_runningCashier = cashier;
    Start(job);
}

void OnCash(Op op)
{
    int32_t kopecks = 0;
    if (!text::ParseAmount(Narrow(ItemText(IDC_AMOUNT), CP_UTF8), kopecks) || kopecks == 0) {
        ShowResult(T(Text::AmountHelp));
        return;
    }
    auto* job = new Job(op);
    job->amount = kopecks;
    Start(job);
}

std::wstring LogDirectoryName() { return Wide(g_platform.logDirectory, CP_ACP); }

void OnLogDirectory()
{
    const std::wstring directory = LogDirectoryName();
    const auto result = reinterpret_cast<INT_PTR>(
        ShellExecuteW(g_dialog, L"open", directory.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    ShowResult((result > 32 ? T(Text::LogDirOpened) : T(Text::LogDirFailed)) + directory);
}

// ---- The log viewer -----------------------------------------------------

// The engine writes its log in code page 1251 whatever the system's code
// page: read as such, it shows on a western system too.
void LoadLog(HWND window)
{
    const std::wstring path = LogDirectoryName() + L"\\" + Wide(g_engine->LogFileName, CP_ACP);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        SetDlgItemTextW(window, IDC_LOG_STATUS, (T(Text::LogMissing) + path).c_str());
        SetDlgItemTextW(window, IDC_LOG_TEXT, L"");
        return;
    }
    LARGE_INTEGER size{};
    GetFileSizeEx(file, &size);
    const bool tail = size.QuadPart > kLogTailBytes;
    if (tail) {
        LARGE_INTEGER from;
        from.QuadPart = size.QuadPart - kLogTailBytes;
        SetFilePointerEx(file, from, nullptr, FILE_BEGIN);
    }
    std::string bytes(tail ? kLogTailBytes : static_cast<size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!bytes.empty())
        ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr);
    CloseHandle(file);
    bytes.resize(got);
    if (tail && bytes.find('\n') != std::string::npos)
        bytes.erase(0, bytes.find('\n') + 1);  // from a whole line on
    // The edit control breaks lines at CR LF only.
    std::string lines;
    lines.reserve(bytes.size() + bytes.size() / 16);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r'))
            lines += '\r';
        lines += bytes[i] == '\0' ? ' ' : bytes[i];
    }
    HWND edit = GetDlgItem(window, IDC_LOG_TEXT);
    SendMessageW(edit, EM_SETLIMITTEXT, 0, 0);
    SetWindowTextW(edit, Wide(lines, 1251).c_str());
    const int end = GetWindowTextLengthW(edit);
    SendMessageW(edit, EM_SETSEL, end, end);
    SendMessageW(edit, EM_SCROLLCARET, 0, 0);
    SetDlgItemTextW(window, IDC_LOG_STATUS, ((tail ? T(Text::LogTail) : L"") + path).c_str());
}

std::wstring Upper(std::wstring s)
{
    if (!s.empty())
        CharUpperBuffW(&s[0], static_cast<DWORD>(s.size()));
    return s;
}

// Finds the text after the selection, from the top again past the end;
// ignores case, in Cyrillic too.
void FindInLog(HWND window)
{
    const std::wstring wanted = ItemText(window, IDC_LOG_FIND_TEXT);
    if (wanted.empty())
        return;
    HWND edit = GetDlgItem(window, IDC_LOG_TEXT);
    const std::wstring all = Upper(ItemText(window, IDC_LOG_TEXT));
    DWORD start = 0, end = 0;
    SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    const std::wstring needle = Upper(wanted);
    size_t at = all.find(needle, end < all.size() ? end : 0);
    if (at == std::wstring::npos)
        at = all.find(needle);
    if (at == std::wstring::npos) {
        SetDlgItemTextW(window, IDC_LOG_STATUS, (T(Text::LogNotFound) + wanted).c_str());
        return;
    }
    SendMessageW(edit, EM_SETSEL, at, at + needle.size());
    SendMessageW(edit, EM_SCROLLCARET, 0, 0);
    const auto line = SendMessageW(edit, EM_LINEFROMCHAR, at, 0) + 1;
    SetDlgItemTextW(window, IDC_LOG_STATUS, (T(Text::LogLine) + std::to_wstring(line)).c_str());
}

void LayOutLog(HWND window)
{
    RECT client, edit;
    GetClientRect(window, &client);
    HWND text = GetDlgItem(window, IDC_LOG_TEXT);
    GetWindowRect(text, &edit);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&edit), 2);
    const int margin = edit.left;
    MoveWindow(text, margin, edit.top, client.right - 2 * margin, client.bottom - edit.top - margin, TRUE);
}

INT_PTR CALLBACK LogProc(HWND window, UINT message, WPARAM wparam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        SetWindowTextW(window, T(Text::LogCaption).c_str());
        SetDlgItemTextW(window, IDC_LOG_FIND_LABEL, T(Text::LogFind).c_str());
        SetDlgItemTextW(window, IDC_LOG_FIND, T(Text::LogFindNext).c_str());
        SetDlgItemTextW(window, IDC_LOG_RELOAD, T(Text::LogReload).c_str());
        SendDlgItemMessageW(window, IDC_LOG_TEXT, WM_SETFONT,
                            reinterpret_cast<WPARAM>(GetStockObject(ANSI_FIXED_FONT)), FALSE);
        LoadLog(window);
        LayOutLog(window);
        return TRUE;
    case WM_SIZE:
        LayOutLog(window);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case IDOK:  // Enter in the search field
        case IDC_LOG_FIND: FindInLog(window); break;
        case IDC_LOG_RELOAD: LoadLog(window); break;
        case IDCANCEL:
            DestroyWindow(window);
            g_logWindow = nullptr;
            break;
        default: break;
        }
        return TRUE;
    default:
        return FALSE;
    }
}

// The modal loop of the main window knows nothing of the log viewer: its
// keys (Enter to search, Tab, Escape) are handed to it here, from the
// filter every dialog message passes.
LRESULT CALLBACK LogKeys(int code, WPARAM wparam, LPARAM lparam)
{
    static bool inside;  // IsDialogMessage passes the filter again
    auto* msg = reinterpret_cast<MSG*>(lparam);
    if (code >= 0 && !inside && g_logWindow && (msg->hwnd == g_logWindow || IsChild(g_logWindow, msg->hwnd))) {
        inside = true;
        const BOOL taken = IsDialogMessageW(g_logWindow, msg);
        inside = false;
        if (taken)
            return TRUE;
    }
    return CallNextHookEx(nullptr, code, wparam, lparam);
}

void OnLogView()
{
    if (g_logWindow) {
        LoadLog(g_logWindow);
        SetForegroundWindow(g_logWindow);
        return;
    }
    // Modeless and unowned: it can stay open beside the main window, and
    // the main window closes whatever it shows.
    g_logWindow = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_LOG), nullptr, LogProc, 0);
    if (g_logWindow) {
        SendMessageW(g_logWindow, WM_SETICON, ICON_BIG, SendMessageW(g_dialog, WM_GETICON, ICON_BIG, 0));
        ShowWindow(g_logWindow, SW_SHOW);
    }
}

// ---- The main window ----------------------------------------------------

void SetTexts(HWND dialog)
{
    SetWindowTextW(dialog, T(Text::Caption).c_str());
    static const struct {
        int control;
        Text text;
    } kTexts[] = {
        {IDC_LABEL_CONNECTION, Text::GroupConnection}, {IDC_LABEL_PORT, Text::Port},
        {IDC_LABEL_CASHIER, Text::Cashier},            {IDC_LABEL_PASSWORD, Text::Password},
        {IDC_LABEL_BAUD, Text::Baud},                  {IDC_BAUD_NOTE, Text::BaudOnlyOne},
        {IDC_CONNECT, Text::Connect},                  {IDC_DISCONNECT, Text::Disconnect},
        {IDC_CANCEL_CALL, Text::Cancel},               {IDC_LABEL_STATUS, Text::GroupStatus},
        {IDC_LABEL_SERIAL, Text::Serial},              {IDC_LABEL_FISCAL, Text::Fiscal},
        {IDC_LABEL_KEY, Text::Key},                    {IDC_LABEL_DOCUMENTS, Text::Documents},
        {IDC_LABEL_CLOCK, Text::Clock},                {IDC_LABEL_TAXES, Text::Taxes},
        {IDC_REFRESH, Text::Refresh},                  {IDC_LABEL_ACTIONS, Text::GroupActions},
        {IDC_XREPORT, Text::XReport},                  {IDC_NULLCHECK, Text::NullCheck},
        {IDC_SET_CLOCK, Text::SetClock},               {IDC_LOG_VIEW, Text::LogView},
        {IDC_LOG_DIR, Text::LogDirectory},             {IDC_LABEL_AMOUNT, Text::Amount},
        {IDC_CASH_IN, Text::CashIn},                   {IDC_CASH_OUT, Text::CashOut},
    };
    for (const auto& t : kTexts)
        SetDlgItemTextW(dialog, t.control, T(t.text).c_str());
}

void OnCommand(int id)
{
    if (id == IDC_CANCEL_CALL) {
        CancelJob();
        return;
    }
    if (id == IDC_LOG_VIEW) {
        OnLogView();
        return;
    }
    if (g_busy)
        return;
    switch (id) {
    case IDC_CONNECT: OnConnect(); break;
    case IDC_DISCONNECT: Start(new Job(Op::Disconnect)); break;
    case IDC_REFRESH: Start(new Job(Op::Refresh)); break;
    case IDC_XREPORT: Start(new Job(Op::XReport)); break;
    case IDC_NULLCHECK: Start(new Job(Op::NullCheck)); break;
    case IDC_CASH_IN: OnCash(Op::CashIn); break;
    case IDC_CASH_OUT: OnCash(Op::CashOut); break;
    case IDC_SET_CLOCK: {
        auto* job = new Job(Op::SetClock);
        GetLocalTime(&job->now);
        Start(job);
        break;
    }
    case IDC_LOG_DIR: OnLogDirectory(); break;
    default: break;
    }
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_INITDIALOG: {
        g_dialog = dialog;
        HINSTANCE instance = GetModuleHandleW(nullptr);
        SendMessageW(dialog, WM_SETICON, ICON_BIG,
                     reinterpret_cast<LPARAM>(LoadIconW(instance, MAKEINTRESOURCEW(IDI_BRENVIK_TEST))));
        SendMessageW(dialog, WM_SETICON, ICON_SMALL,
                     reinterpret_cast<LPARAM>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_BRENVIK_TEST),
                                                         IMAGE_ICON, 16, 16, 0)));
        SetTexts(dialog);
        SendDlgItemMessageW(dialog, IDC_CASHIER, EM_LIMITTEXT, kCashierBytes, 0);
        SendDlgItemMessageW(dialog, IDC_PASSWORD, EM_LIMITTEXT, kPasswordBytes, 0);
        SetDlgItemTextW(dialog, IDC_AMOUNT, L"100,00");
        // One rate, shown as the choice it would be, and disabled.
        SendDlgItemMessageW(dialog, IDC_BAUD, CB_ADDSTRING, 0,
                            reinterpret_cast<LPARAM>(std::to_wstring(kBaudRate).c_str()));
        SendDlgItemMessageW(dialog, IDC_BAUD, CB_SETCURSEL, 0, 0);
        EnableWindow(GetDlgItem(dialog, IDC_BAUD), FALSE);
        const Saved saved = LoadSaved();
        SetDlgItemTextW(dialog, IDC_CASHIER, saved.cashier.c_str());
        ListPorts(saved);
        UpdateButtons();
        return TRUE;
    }
    case WM_SETCURSOR:
        if (g_busy) {
            // Working in the background: the window still takes clicks.
            SetCursor(LoadCursorW(nullptr, IDC_APPSTARTING));
            SetWindowLongPtrW(dialog, DWLP_MSGRESULT, TRUE);
            return TRUE;
        }
        return FALSE;
    case WM_COMMAND:
        if (HIWORD(wparam) == BN_CLICKED && LOWORD(wparam) != IDCANCEL)
            OnCommand(LOWORD(wparam));
        if (LOWORD(wparam) == IDCANCEL) {  // Alt+F4, the close box, Escape
            if (g_busy) {
                g_closeWhenDone = true;
                CancelJob();
                SetTimer(dialog, kStuckTimer, kStuckMs, nullptr);  // from now, if cancelled before
            } else {
                EndDialog(dialog, 0);
            }
        }
        return TRUE;
    case WM_TIMER:
        if (wparam == kStuckTimer && g_busy) {
            KillTimer(dialog, kStuckTimer);
            // Not back within many slices: stuck in a synchronous system
            // call (a driver that hangs in SetCommState). Ask it to leave.
            CancelSynchronousIo(g_worker);
            if (g_closeWhenDone) {
                g_abandoned = true;
                EndDialog(dialog, 0);
            } else {
                AddHistory(T(Text::StillWaiting));
            }
        }
        return TRUE;
    case kJobDone:
        Finish(reinterpret_cast<Outcome*>(lparam));
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    g_language = text::LanguageOfPrimaryId(PRIMARYLANGID(GetUserDefaultUILanguage()));
    g_platform = brenvik::NativePlatform();
    brenvik::testutil::CancellableLine line(*g_platform.line);
    g_line = &line;
    g_platform.line = &line;
    PrinterEngine engine(g_platform);
    // Errors are shown in the window, in words the engine gives, not in
    // message boxes of the worker thread.
    engine.SetShowErrorMessages(0);
    g_engine = &engine;
    HHOOK keys = SetWindowsHookExW(WH_MSGFILTER, LogKeys, nullptr, GetCurrentThreadId());
    DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, DialogProc, 0);
    if (g_logWindow)
        DestroyWindow(g_logWindow);
    if (keys)
        UnhookWindowsHookEx(keys);
    if (g_abandoned)
        ExitProcess(0);  // the worker still holds the engine: nothing here may be torn down
    if (g_connected)
        engine.Done();
    return 0;
}
