// BrenvikTest: checks a Maria 301 MTM printer without writing code. A dialog
// that connects through the engine itself (not the COM server), shows the
// printer's state and runs the harmless operations: X-report, test check,
// cash in and out, clock from the PC.
//
// The printer keeps a caller waiting for seconds (a report, a silent line:
// 6 s per wait), so every printer call runs on a worker thread and the
// window stays alive: it repaints, shows what it waits for and can be moved.
// One job at a time: the buttons are disabled while it runs, so the engine,
// which takes no lock, never sees two threads.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <set>
#include <string>

#include "engine/fiscal/fiscal_helpers.h"
#include "engine/printer_engine.h"
#include "resource.h"
#include "testutil/panel_text.h"

namespace {

using brenvik::PrinterEngine;
namespace text = brenvik::testutil;

constexpr UINT kJobDone = WM_APP + 1;
constexpr UINT kCashierBytes = 10;  // what Init of the COM classes passes on
constexpr UINT kPasswordBytes = 10;
constexpr int kMaxPort = 64;

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
    uint32_t error = 0;
    std::wstring message;  // the engine's own text, from code page 1251
    std::string code;
    bool haveStatus = false;
    Status status;
};

brenvik::EnginePlatform g_platform;
PrinterEngine* g_engine;
HWND g_dialog;
HANDLE g_worker;
bool g_busy;
bool g_connected;
bool g_closeWhenDone;

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

std::wstring ItemText(int id)
{
    wchar_t buffer[256] = {};
    GetDlgItemTextW(g_dialog, id, buffer, 256);
    return buffer;
}

const wchar_t* OpName(Op op)
{
    switch (op) {
    case Op::Connect: return L"під'єднання";
    case Op::Disconnect: return L"від'єднання";
    case Op::Refresh: return L"читання стану";
    case Op::XReport: return L"X-звіт";
    case Op::NullCheck: return L"тестовий чек";
    case Op::CashIn: return L"внесення";
    case Op::CashOut: return L"видача";
    case Op::SetClock: return L"встановлення годинника";
    }
    return L"";
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
    s.key = e.KeyPosition[0] ? text::KeyPositionText(brenvik::fiscal::KeyLetter(e.KeyPosition[0])) : "";
    query([&] { e.GetDocumentsInfo(); });  // GLCN
    if (e.LastCheckNumber[0])
        s.documents = std::string("чек ") + e.LastCheckNumber + "\nдокумент " + e.LastDocNumber +
                      "\nZ-звіт " + e.LastZReportNumber;
    query([&] { e.GetTaxesInfo(); });  // CNAL
    for (int slot = 0; slot < 8; ++slot) {
        const std::string line = text::TaxRecordText(slot, e.TaxRateTable[slot]);
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
    out.connected = e.Connected != 0;
    // After an operation the counters and the clock have moved: show them,
    // but let the operation's own outcome stand.
    if (out.connected && (out.ok || job.op == Op::Refresh))
        ReadStatus(e, out, job.op == Op::Refresh);
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
    EnableWindow(GetDlgItem(g_dialog, IDC_LOG_DIR), TRUE);
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
    UpdateButtons();
    SetDlgItemTextW(g_dialog, IDC_RESULT, (std::wstring(L"Зачекайте: ") + OpName(job->op) + L"…").c_str());
    SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    g_worker = CreateThread(nullptr, 0, Worker, job, 0, nullptr);
    if (!g_worker) {
        delete job;
        g_busy = false;
        UpdateButtons();
        ShowResult(L"Не вдалося запустити потік для роботи з принтером.");
    }
}

void Finish(Outcome* out)
{
    WaitForSingleObject(g_worker, INFINITE);
    CloseHandle(g_worker);
    g_worker = nullptr;
    g_busy = false;
    g_connected = out->connected;
    if (out->haveStatus)
        ShowStatus(out->status);
    else if (!g_connected)
        ShowStatus(Status());
    std::wstring line;
    if (out->ok) {
        line = std::wstring(L"Готово: ") + OpName(out->op);
        if (out->error == brenvik::kErrNotFiscalized)  // success, worth saying
            line += L" (" + std::to_wstring(out->error) + L": " + out->message + L")";
    } else {
        line = std::wstring(L"Помилка ") + std::to_wstring(out->error) + L": " + out->message;
        if (!out->code.empty())
            line += L" [" + Utf16(out->code) + L"]";
        line += std::wstring(L" — ") + OpName(out->op);
    }
    const bool silent = !out->ok && out->error == brenvik::kErrTimeout;
    delete out;
    UpdateButtons();
    ShowResult(line);
    if (silent)
        AddHistory(L"Принтер не відповів: перевірте живлення, папір і кабель. Якщо не "
                   L"відповідає й далі, натисніть «Від'єднати» і «Під'єднати».");
    if (g_closeWhenDone)
        EndDialog(g_dialog, 0);
}

void ListPorts()
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
    if (!ports.empty())
        SendMessageW(combo, CB_SETCURSEL, 0, 0);
    AddHistory(ports.empty() ? L"COM-портів не знайдено: введіть номер порту."
                             : L"COM-порти: " + names);
}

void OnConnect()
{
    const int port = text::ParseComPort(Narrow(ItemText(IDC_PORT), CP_UTF8));
    if (port == 0) {
        ShowResult(L"Оберіть COM-порт або введіть його номер.");
        return;
    }
    auto* job = new Job(Op::Connect);
    job->port = port;
    job->cashier = Narrow(ItemText(IDC_CASHIER), 1251);
    job->password = Narrow(ItemText(IDC_PASSWORD), 1251);
    Start(job);
}

void OnCash(Op op)
{
    int32_t kopecks = 0;
    if (!text::ParseAmount(Narrow(ItemText(IDC_AMOUNT), CP_UTF8), kopecks) || kopecks == 0) {
        ShowResult(L"Сума: гривні й копійки, наприклад 100 або 12,50.");
        return;
    }
    auto* job = new Job(op);
    job->amount = kopecks;
    Start(job);
}

void OnLogDirectory()
{
    const std::wstring directory = Wide(g_platform.logDirectory, CP_ACP);
    const auto result = reinterpret_cast<INT_PTR>(
        ShellExecuteW(g_dialog, L"open", directory.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    ShowResult((result > 32 ? L"Тека журналу: " : L"Не вдалося відкрити теку журналу: ") + directory);
}

void OnCommand(int id)
{
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
        SendDlgItemMessageW(dialog, IDC_CASHIER, EM_LIMITTEXT, kCashierBytes, 0);
        SendDlgItemMessageW(dialog, IDC_PASSWORD, EM_LIMITTEXT, kPasswordBytes, 0);
        SetDlgItemTextW(dialog, IDC_AMOUNT, L"100,00");
        ListPorts();
        UpdateButtons();
        return TRUE;
    }
    case WM_SETCURSOR:
        if (g_busy) {
            SetCursor(LoadCursorW(nullptr, IDC_WAIT));
            SetWindowLongPtrW(dialog, DWLP_MSGRESULT, TRUE);
            return TRUE;
        }
        return FALSE;
    case WM_COMMAND:
        if (HIWORD(wparam) == BN_CLICKED)
            OnCommand(LOWORD(wparam));
        if (LOWORD(wparam) == IDCANCEL) {
            // A printer call cannot be cut short: close once it has returned.
            if (g_busy)
                g_closeWhenDone = true;
            else
                EndDialog(dialog, 0);
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
    g_platform = brenvik::NativePlatform();
    PrinterEngine engine(g_platform);
    // Errors are shown in the window, in words the engine gives, not in
    // message boxes of the worker thread.
    engine.SetShowErrorMessages(0);
    g_engine = &engine;
    DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, DialogProc, 0);
    if (g_connected)
        engine.Done();
    return 0;
}
