// tray_probe: looks at a running KorvellOLE from inside the same Wine prefix
// and prints what it finds as one JSON object per call, texts as \u escapes
// so that the console code page cannot spoil them.
//   tray_probe window                 the main window
//   tray_probe send  LPARAM           icon callback, synchronous (must not open a menu)
//   tray_probe post  LPARAM           icon callback, posted; waits for the menu
//   tray_probe menu | nomenu          waits for the popup menu to be shown | gone
//   tray_probe dialog | nodialog      waits for the information box to be shown | gone
//   tray_probe tooltip                waits for a visible tooltip window
//   tray_probe resources EXE          the program's strings, menu, dialog font and icons
// Wine keeps a menu's items in the owning process, so the items of the
// shown menu are checked on the screen and in the program's resources.
#include <windows.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr UINT kTrayCallback = WM_USER + 20;
constexpr DWORD kWaitMs = 10000;

std::string Json(const wchar_t* text)
{
    std::string out = "\"";
    for (; *text; ++text) {
        char buf[8];
        if (*text >= 0x20 && *text < 0x7f && *text != L'"' && *text != L'\\')
            out += static_cast<char>(*text);
        else {
            std::snprintf(buf, sizeof(buf), "\\u%04x", static_cast<unsigned>(*text));
            out += buf;
        }
    }
    return out + "\"";
}

std::string WindowText(HWND window)
{
    wchar_t text[512] = {};
    // Another process's window: WM_GETTEXT is marshalled, GetWindowText is not.
    SendMessageTimeoutW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text),
                        SMTO_ABORTIFHUNG, 2000, nullptr);
    text[511] = 0;
    return Json(text);
}

std::string Rect(const RECT& r)
{
    char buf[96];
    std::snprintf(buf, sizeof(buf), "[%ld,%ld,%ld,%ld]", r.left, r.top, r.right, r.bottom);
    return buf;
}

HWND MainWindow() { return FindWindowA("KORVELLPRINTERSERVER", nullptr); }

struct Search {
    const char* window_class;
    DWORD pid;
    HWND found;
};

BOOL CALLBACK FindVisible(HWND window, LPARAM param)
{
    auto* s = reinterpret_cast<Search*>(param);
    char name[64] = {};
    DWORD pid = 0;
    GetClassNameA(window, name, sizeof(name));
    GetWindowThreadProcessId(window, &pid);
    if (std::strcmp(name, s->window_class) == 0 && IsWindowVisible(window) &&
        (s->pid == 0 || pid == s->pid)) {
        s->found = window;
        return FALSE;
    }
    return TRUE;
}

// A visible top-level window of the given class, belonging to the tray
// program (pid) or to anyone (pid 0).
HWND FindShown(const char* window_class, DWORD pid)
{
    Search s{window_class, pid, nullptr};
    EnumWindows(FindVisible, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

DWORD TrayPid(HWND main)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(main, &pid);
    return pid;
}

// Waits until a window of the class is shown (want) or no longer shown.
HWND WaitShown(const char* window_class, DWORD pid, bool want)
{
    const DWORD start = GetTickCount();
    for (;;) {
        HWND w = FindShown(window_class, pid);
        if ((w != nullptr) == want || GetTickCount() - start > kWaitMs)
            return w;
        Sleep(50);
    }
}

std::string MainFields(HWND main)
{
    char buf[160];
    std::snprintf(buf, sizeof(buf),
                  "\"main\":%s,\"main_visible\":%s,\"main_style_visible\":%s,\"main_enabled\":%s",
                  main ? "true" : "false", main && IsWindowVisible(main) ? "true" : "false",
                  main && (GetWindowLongA(main, GWL_STYLE) & WS_VISIBLE) ? "true" : "false",
                  main && IsWindowEnabled(main) ? "true" : "false");
    return buf;
}

int Window()
{
    HWND main = MainWindow();
    std::string out = "{" + MainFields(main);
    if (main) {
        out += ",\"title\":" + WindowText(main);
        char cls[64] = {};
        GetClassNameA(main, cls, sizeof(cls));
        out += ",\"class\":\"" + std::string(cls) + "\"";
        out += ",\"pid\":" + std::to_string(TrayPid(main));
        out += ",\"style\":" + std::to_string(GetWindowLongA(main, GWL_STYLE));
    }
    std::printf("%s}\n", out.c_str());
    return main ? 0 : 1;
}

std::string MenuFields(HWND menu)
{
    std::string out = "\"menu\":" + std::string(menu ? "true" : "false");
    if (!menu)
        return out;
    RECT r;
    GetWindowRect(menu, &r);
    out += ",\"menu_rect\":" + Rect(r);
    POINT cursor;
    GetCursorPos(&cursor);
    out += ",\"cursor\":[" + std::to_string(cursor.x) + "," + std::to_string(cursor.y) + "]";
    return out;
}

int Callback(LPARAM notification, bool synchronous)
{
    HWND main = MainWindow();
    if (!main) {
        std::printf("{%s}\n", MainFields(main).c_str());
        return 1;
    }
    const DWORD pid = TrayPid(main);
    std::string out = "{" + MainFields(main);
    if (synchronous) {
        // A handler that opened the menu would sit in it and time out here.
        DWORD_PTR result = 0;
        const DWORD start = GetTickCount();
        LRESULT sent = SendMessageTimeoutA(main, kTrayCallback, 0, notification,
                                           SMTO_ABORTIFHUNG, 3000, &result);
        out += ",\"returned\":" + std::string(sent ? "true" : "false");
        out += ",\"ms\":" + std::to_string(GetTickCount() - start);
        Sleep(300);
        out += "," + MenuFields(FindShown("#32768", pid));
    } else {
        PostMessageA(main, kTrayCallback, 0, notification);
        out += "," + MenuFields(WaitShown("#32768", pid, true));
    }
    std::printf("%s}\n", out.c_str());
    return 0;
}

int Menu(bool want)
{
    HWND main = MainWindow();
    HWND menu = WaitShown("#32768", main ? TrayPid(main) : 0, want);
    std::printf("{%s,%s}\n", MainFields(main).c_str(), MenuFields(menu).c_str());
    return (menu != nullptr) == want ? 0 : 1;
}

BOOL CALLBACK AddChild(HWND child, LPARAM param)
{
    auto* out = reinterpret_cast<std::string*>(param);
    char cls[64] = {};
    GetClassNameA(child, cls, sizeof(cls));
    RECT r;
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
    if (out->back() != '[')
        *out += ",";
    *out += "{\"id\":" + std::to_string(static_cast<short>(GetDlgCtrlID(child))) +
            ",\"class\":\"" + cls + "\",\"text\":" + WindowText(child) +
            ",\"style\":" + std::to_string(GetWindowLongA(child, GWL_STYLE)) +
            ",\"rect\":" + Rect(r) + "}";
    return TRUE;
}

// The middle of the box's close box, found by asking the box itself where
// each point of its caption row lands.
std::string CloseBox(HWND dialog)
{
    RECT r;
    GetWindowRect(dialog, &r);
    LONG left = LONG_MAX, right = LONG_MIN, top = LONG_MAX, bottom = LONG_MIN;
    for (LONG y = r.top; y < r.top + 40; ++y)
        for (LONG x = r.right - 60; x < r.right; ++x) {
            DWORD_PTR hit = 0;
            SendMessageTimeoutA(dialog, WM_NCHITTEST, 0, MAKELPARAM(x, y), SMTO_ABORTIFHUNG,
                                2000, &hit);
            if (hit == HTCLOSE) {
                left = x < left ? x : left;
                right = x > right ? x : right;
                top = y < top ? y : top;
                bottom = y > bottom ? y : bottom;
            }
        }
    if (left > right)
        return "null";
    return "[" + std::to_string((left + right) / 2) + "," + std::to_string((top + bottom) / 2) + "]";
}

int Dialog(bool want)
{
    HWND main = MainWindow();
    HWND dialog = WaitShown("#32770", main ? TrayPid(main) : 0, want);
    std::string out = "{" + MainFields(main) + ",\"dialog\":" + (dialog ? "true" : "false");
    if (dialog) {
        RECT window, client;
        GetWindowRect(dialog, &window);
        GetClientRect(dialog, &client);
        out += ",\"caption\":" + WindowText(dialog);
        out += ",\"style\":" + std::to_string(GetWindowLongA(dialog, GWL_STYLE));
        out += ",\"foreground\":" +
               std::string(GetForegroundWindow() == dialog ? "true" : "false");
        out += ",\"owned_by_main\":" +
               std::string(GetWindow(dialog, GW_OWNER) == main ? "true" : "false");
        POINT origin{0, 0};
        ClientToScreen(dialog, &origin);
        out += ",\"rect\":" + Rect(window) + ",\"client\":" + Rect(client);
        out += ",\"client_origin\":[" + std::to_string(origin.x) + "," +
               std::to_string(origin.y) + "]";
        out += ",\"close_box\":" + CloseBox(dialog);
        std::string children = "[";
        EnumChildWindows(dialog, AddChild, reinterpret_cast<LPARAM>(&children));
        out += ",\"controls\":" + children + "]";
    }
    std::printf("%s}\n", out.c_str());
    return (dialog != nullptr) == want ? 0 : 1;
}

int Tooltip()
{
    HWND tip = WaitShown("tooltips_class32", 0, true);
    RECT r{};
    if (tip)
        GetWindowRect(tip, &r);
    // The shell's tooltip answers WM_GETTEXT with the tip it shows.
    std::printf("{\"tooltip\":%s,\"rect\":%s,\"text\":%s}\n", tip ? "true" : "false",
                Rect(r).c_str(), tip ? WindowText(tip).c_str() : "null");
    return tip ? 0 : 1;
}

std::string MenuItems(HMENU menu)
{
    std::string out = "[";
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
        wchar_t text[128] = {};
        MENUITEMINFOW info{};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_ID | MIIM_FTYPE | MIIM_STRING;
        info.dwTypeData = text;
        info.cch = 127;
        GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &info);
        out += std::string(i ? "," : "") + "[" + std::to_string(info.wID) + "," +
               ((info.fType & MFT_SEPARATOR) ? std::string("null") : Json(text)) + "]";
    }
    return out + "]";
}

// Font of an extended dialog template: point size, weight, italic, charset
// and typeface follow the header, menu, class and caption.
std::string DialogFont(const WORD* t, DWORD size)
{
    const WORD* end = t + size / 2;
    if (size < 26 || t[0] != 1 || t[1] != 0xFFFF)
        return "null";
    const DWORD style = t[6] | (static_cast<DWORD>(t[7]) << 16);
    const WORD* p = t + 13;  // past signature, help id, styles, count and geometry
    for (int field = 0; field < 3 && p < end; ++field) {  // menu, class, caption
        if (*p == 0xFFFF)
            p += 2;
        else {
            while (p < end && *p)
                ++p;
            ++p;
        }
    }
    if (!(style & DS_SETFONT) || p + 3 >= end)
        return "null";
    wchar_t face[64] = {};
    for (int i = 0; i < 63 && p + 3 + i < end && p[3 + i]; ++i)
        face[i] = static_cast<wchar_t>(p[3 + i]);
    return "{\"points\":" + std::to_string(p[0]) + ",\"charset\":" + std::to_string(p[2] >> 8) +
           ",\"face\":" + Json(face) + ",\"x\":" + std::to_string(static_cast<short>(t[9])) +
           ",\"y\":" + std::to_string(static_cast<short>(t[10])) +
           ",\"cx\":" + std::to_string(static_cast<short>(t[11])) +
           ",\"cy\":" + std::to_string(static_cast<short>(t[12])) +
           ",\"style\":" + std::to_string(style) + "}";
}

int Resources(const char* path)
{
    HMODULE module = LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) {
        std::printf("{\"loaded\":false}\n");
        return 1;
    }
    std::string out = "{\"loaded\":true";
    for (UINT id : {103u, 109u}) {
        wchar_t text[128] = {};
        LoadStringW(module, id, text, 128);
        out += ",\"string" + std::to_string(id) + "\":" + Json(text);
    }
    HMENU menu = LoadMenuW(module, MAKEINTRESOURCEW(131));
    out += ",\"menu\":" + (menu ? MenuItems(GetSubMenu(menu, 0)) : std::string("null"));
    HRSRC dialog = FindResourceExW(module, MAKEINTRESOURCEW(5), MAKEINTRESOURCEW(103),
                                   MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT));
    out += ",\"dialog_russian\":" +
           (dialog ? DialogFont(static_cast<const WORD*>(LockResource(LoadResource(module, dialog))),
                                SizeofResource(module, dialog))
                   : std::string("null"));
    out += ",\"icon_sizes\":[";
    HRSRC group = FindResourceW(module, MAKEINTRESOURCEW(139), MAKEINTRESOURCEW(14));
    if (group) {
        const BYTE* dir = static_cast<const BYTE*>(LockResource(LoadResource(module, group)));
        const DWORD bytes = SizeofResource(module, group);
        const WORD count = bytes >= 6 ? static_cast<WORD>(dir[4] | (dir[5] << 8)) : 0;
        for (WORD i = 0; i < count && 6u + 14u * (i + 1u) <= bytes; ++i) {
            const int width = dir[6 + 14 * i] ? dir[6 + 14 * i] : 256;
            out += std::string(i ? "," : "") + std::to_string(width);
        }
    }
    std::printf("%s]}\n", out.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string command = argc > 1 ? argv[1] : "";
    const LPARAM notification = argc > 2 ? std::strtol(argv[2], nullptr, 0) : 0;
    if (command == "window")
        return Window();
    if (command == "send" || command == "post")
        return Callback(notification, command == "send");
    if (command == "menu" || command == "nomenu")
        return Menu(command == "menu");
    if (command == "dialog" || command == "nodialog")
        return Dialog(command == "dialog");
    if (command == "tooltip")
        return Tooltip();
    if (command == "resources" && argc > 2)
        return Resources(argv[2]);
    std::fprintf(stderr, "usage: tray_probe window|send N|post N|menu|nomenu|dialog|nodialog|tooltip|resources EXE\n");
    return 2;
}
