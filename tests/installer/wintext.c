/* wintext: what a person sees in the dialogs on screen, for the installer's
 * page tests; and a button pressed for them.
 *
 *   wintext            each visible dialog's title, then "class|text" of
 *                      each visible control in it, in UTF-8
 *   wintext press ID   WM_COMMAND ID (1 Next, 2 Cancel, 6 Yes) to the
 *                      visible dialog that has a button with that ID
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

static void put(const wchar_t *text)
{
    char buffer[8192];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof buffer, NULL, NULL);
    DWORD written;
    if (n > 1)
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), buffer, (DWORD)(n - 1), &written, NULL);
}

static BOOL CALLBACK control(HWND hwnd, LPARAM unused)
{
    wchar_t cls[64], text[4096];
    (void)unused;
    if (!IsWindowVisible(hwnd))
        return TRUE;
    GetClassNameW(hwnd, cls, 64);
    text[0] = 0;
    SendMessageTimeoutW(hwnd, WM_GETTEXT, 4096, (LPARAM)text, SMTO_ABORTIFHUNG, 2000, NULL);
    put(L"  ");
    put(cls);
    put(L"|");
    put(text);
    put(L"\n");
    return TRUE;
}

static BOOL CALLBACK dialog(HWND hwnd, LPARAM press)
{
    wchar_t cls[64], title[512];
    if (!IsWindowVisible(hwnd))
        return TRUE;
    GetClassNameW(hwnd, cls, 64);
    if (lstrcmpW(cls, L"#32770") != 0)
        return TRUE;
    if (press) {
        HWND button = GetDlgItem(hwnd, (int)press);
        if (button && IsWindowVisible(button) && IsWindowEnabled(button)) {
            PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(press, BN_CLICKED), (LPARAM)button);
            put(L"pressed\n");
            return FALSE;
        }
        return TRUE;
    }
    GetWindowTextW(hwnd, title, 512);
    put(L"window|");
    put(title);
    put(L"\n");
    EnumChildWindows(hwnd, control, 0);
    return TRUE;
}

int main(int argc, char **argv)
{
    LPARAM press = argc > 2 && lstrcmpA(argv[1], "press") == 0 ? (LPARAM)atoi(argv[2]) : 0;
    EnumWindows(dialog, press);
    return 0;
}
