#include "engine/diagnostics/message_dialog_posix.h"

#include <cstdio>

#include "engine/platform.h"

namespace brenvik {

namespace {

void WriteToStandardError(const char* text, const char* caption, uint32_t /*style*/) {
    // The texts are code page 1251 bytes; they go out unchanged.
    std::fprintf(stderr, "%s: %s\n", caption != nullptr ? caption : "", text != nullptr ? text : "");
    std::fflush(stderr);
}

MessageHandler g_handler = WriteToStandardError;

}  // namespace

void SetMessageHandler(MessageHandler handler) {
    g_handler = handler != nullptr ? handler : WriteToStandardError;
}

void PosixMessageDialog::Show(const char* text, const char* caption, uint32_t style) {
    g_handler(text != nullptr ? text : "", caption != nullptr ? caption : "", style);
}

}  // namespace brenvik
