// The error box on POSIX: hands the message to the program's handler
// (SetMessageHandler); by default it goes to standard error.
#pragma once

#include "engine/diagnostics/message_dialog.h"

namespace brenvik {

class PosixMessageDialog final : public MessageDialog {
public:
    void Show(const char* text, const char* caption, uint32_t style) override;
};

}  // namespace brenvik
