// The error box on Win32: a modal MessageBoxA.
#pragma once

#include "engine/diagnostics/message_dialog.h"

namespace brenvik {

class Win32MessageDialog final : public MessageDialog {
public:
    void Show(const char* text, const char* caption, uint32_t style) override;
};

}  // namespace brenvik
