#include "engine/diagnostics/message_dialog_win32.h"

#include <windows.h>

namespace brenvik {

void Win32MessageDialog::Show(const char* text, const char* caption, uint32_t style) {
    // Owned by whatever window is in front, so the cashier sees it at once.
    MessageBoxA(GetForegroundWindow(), text != nullptr ? text : "", caption != nullptr ? caption : "",
                style);
}

}  // namespace brenvik
