// The modal box that shows an error to the cashier. One back end per
// platform (message_dialog_win32.cpp, message_dialog_posix.cpp).
#pragma once

#include <cstdint>

namespace brenvik {

enum : uint32_t { kMessageIconInformation = 0x40 };  // MB_OK | MB_ICONINFORMATION

class MessageDialog {
public:
    virtual ~MessageDialog() = default;
    // Texts are code page 1251; returns when the user has closed the box.
    virtual void Show(const char* text, const char* caption, uint32_t style) = 0;
};

}  // namespace brenvik
