// Whatever the printer sends, in whatever pieces, the engine survives it:
// the bytes are the reply to one command, then to the handshake.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tests/support/engine_harness.h"

using namespace brenvik;
using namespace brenvik::test;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t flags = data[0];
    const size_t piece = data[1] % 64 + 1;
    const std::string reply(reinterpret_cast<const char*>(data + 2), size - 2);

    Harness h;
    h.engine->T3PlusFirmware = flags & 1;
    h.engine->LongArticles = (flags >> 1) & 1;
    h.engine->CheckDirection = (flags >> 2) & 1;
    h.engine->SetShowErrorMessages((flags >> 3) & 1);
    h.line.Open("fuzz");
    h.engine->Connected = 1;
    auto deliver = [&](ScriptedLine& l, const std::string&) {
        uint64_t at = 1;
        for (size_t i = 0; i < reply.size(); i += piece) l.Arrive(reply.substr(i, piece), at++);
    };
    h.line.script = deliver;
    h.engine->SendCommand((flags & 16) ? "CONf" : "FISC");
    h.engine->GetLastErrorMessage();
    h.engine->GetLastErrorCode();
    h.line.script = [&](ScriptedLine& l, const std::string& bytes) {
        if (bytes == "U" && l.writes.size() == 5) deliver(l, bytes);
    };
    h.line.writes.clear();
    h.engine->Handshake();
    return 0;
}
