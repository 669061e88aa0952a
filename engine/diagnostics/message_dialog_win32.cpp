#include "engine/diagnostics/message_dialog_win32.h"

#include <windows.h>

#include <string>

namespace brenvik {

namespace {

// The engine's texts are code page 1251 whatever the system's ANSI code
// page is; converted here they read right on every Windows.
std::wstring FromCp1251(const char* text) {
    if (text == nullptr || *text == '\0') return std::wstring();
    const int n = MultiByteToWideChar(1251, 0, text, -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(1251, 0, text, -1, &wide[0], n);
    wide.resize(static_cast<size_t>(n - 1));
    return wide;
}

}  // namespace

void Win32MessageDialog::Show(const char* text, const char* caption, uint32_t style) {
    // Owned by whatever window is in front, so the cashier sees it at once.
    const std::wstring wideText = FromCp1251(text);
    const std::wstring wideCaption = FromCp1251(caption);
    MessageBoxW(GetForegroundWindow(), wideText.c_str(), wideCaption.c_str(), style);
}

}  // namespace brenvik
