// KorvellOLE: the tray control centre. A hidden window owns an icon in the
// notification area; the icon's menu shows the information box or ends the
// program. It neither loads the server nor talks to the printer.
#include <windows.h>
#include <shellapi.h>

#include "resource.h"

namespace {

// The icon's callback message.
constexpr UINT kTrayCallback = WM_USER + 20;  // 1044
constexpr int kTextLength = 100;

// Tooltip, code page 1251: "Керування ЕККР Марія 301-МТМ" (28 characters).
constexpr char kTooltip[] =
    "\xCA\xE5\xF0\xF3\xE2\xE0\xED\xED\xFF\x20\xC5\xCA\xCA\xD0\x20\xCC\xE0\xF0\xB3\xFF"
    "\x20\x33\x30\x31\x2D\xCC\xD2\xCC";
static_assert(sizeof(kTooltip) - 1 == 28, "tooltip is 28 characters");

HINSTANCE g_instance;
char g_title[kTextLength];
char g_window_class[kTextLength];
HMENU g_menu;
POINT g_click;
NOTIFYICONDATAA g_notify;

// The first, shortest form of the record: the callback, the icon and a
// 64-byte tip. Its size is the offset of the end of szTip, which is 88 in a
// 32-bit program; a 64-bit program's pointers make it 104 there, and a
// fixed 88 would cut the record short in the middle of the tip.
constexpr DWORD kNotifyRecordSize = NOTIFYICONDATAA_V1_SIZE;
static_assert(sizeof(void*) != 4 || kNotifyRecordSize == 88, "shortest record is 88 bytes");

void AddTrayIcon(HWND window)
{
    g_notify.cbSize = kNotifyRecordSize;
    g_notify.hWnd = window;
    g_notify.uID = 0;
    g_notify.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    g_notify.uCallbackMessage = kTrayCallback;
    g_notify.hIcon = LoadIconA(g_instance, MAKEINTRESOURCEA(IDI_KORVELL));
    Shell_NotifyIconA(NIM_ADD, &g_notify);
}

void ShowTrayMenu(HWND window)
{
    // The shell's icon belongs to another process: without the foreground
    // the menu would not close when the user clicks elsewhere.
    SetForegroundWindow(window);
    GetCursorPos(&g_click);
    SetForegroundWindow(window);
    TrackPopupMenu(GetSubMenu(g_menu, 0), TPM_RIGHTALIGN, g_click.x, g_click.y, 0, window,
                   nullptr);
}

INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wparam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wparam));
            return TRUE;
        }
        break;
    default:
        break;
    }
    return FALSE;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_CREATE:
        g_menu = LoadMenuA(g_instance, MAKEINTRESOURCEA(IDM_TRAY));
        AddTrayIcon(window);
        return 0;
    case kTrayCallback:
        if (lparam == WM_LBUTTONUP || lparam == WM_RBUTTONUP)
            ShowTrayMenu(window);
        return 0;
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case IDM_ABOUT:
            DialogBoxParamA(g_instance, MAKEINTRESOURCEA(IDD_ABOUTBOX), window, AboutProc, 0);
            return 0;
        case IDM_EXIT:
            DestroyWindow(window);
            return 0;
        default:
            return DefWindowProcA(window, message, wparam, lparam);
        }
    case WM_PAINT: {
        PAINTSTRUCT paint;
        BeginPaint(window, &paint);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_DESTROY:
        // The icon is left to the shell, which drops it once it finds the
        // owner gone.
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wparam, lparam);
    }
}

ATOM RegisterWindowClass()
{
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = g_instance;
    wc.hIcon = LoadIconA(g_instance, MAKEINTRESOURCEA(IDI_KORVELL));
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = g_window_class;
    wc.hIconSm = wc.hIcon;
    return RegisterClassExA(&wc);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    g_instance = instance;
    LoadStringA(instance, IDS_APP_TITLE, g_title, kTextLength);
    LoadStringA(instance, IDC_KORVELL, g_window_class, kTextLength);
    RegisterWindowClass();

    lstrcpynA(g_notify.szTip, kTooltip, sizeof(g_notify.szTip));
    HWND window = CreateWindowExA(0, g_window_class, g_title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  0, CW_USEDEFAULT, 0, nullptr, nullptr, instance, nullptr);
    if (!window)
        return 0;
    // Never shown: the window only receives the icon's and the menu's messages.
    UpdateWindow(window);

    MSG msg{};
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return static_cast<int>(msg.wParam);
}
