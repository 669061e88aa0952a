// Whatever the printer sends, in whatever pieces, the engine survives it:
// the bytes are the reply to one command, then to the handshake.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "tests/support/engine_harness.h"

using namespace brenvik;
using namespace brenvik::test;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t flags = data[0];
    const std::string reply(reinterpret_cast<const char*>(data + 2), size - 2);
    // Pieces of 1 to 64 bytes, but never more than 8 of them: each piece is
    // a wake-up of the engine, and a long reply cut into single bytes finds
    // nothing that a short one does not.
    const size_t piece = std::max<size_t>(data[1] % 64 + 1, (reply.size() + 7) / 8);

    // The pieces wired by hand: no scripted printer is needed, and the
    // engine lives on the stack, so a run costs few allocations.
    ScriptedLine line;
    MemoryLog log;
    FixedClock clock;
    RecordingDialog dialog;
    log.content.reserve(16384);
    PrinterEngine engine(ScriptedPlatform(line, log, clock, dialog));
    engine.T3PlusFirmware = flags & 1;
    engine.LongArticles = (flags >> 1) & 1;
    engine.CheckDirection = (flags >> 2) & 1;
    engine.SetShowErrorMessages((flags >> 3) & 1);
    line.Open("fuzz");
    engine.Connected = 1;
    auto deliver = [&](ScriptedLine& l) {
        uint64_t at = 1;
        for (size_t i = 0; i < reply.size(); i += piece) l.Arrive(reply.substr(i, piece), at++);
    };
    line.script = [&](ScriptedLine& l, const std::string&) { deliver(l); };
    engine.SendCommand((flags & 16) ? "CONf" : "FISC");
    engine.GetLastErrorMessage();
    engine.GetLastErrorCode();
    line.script = [&](ScriptedLine& l, const std::string& bytes) {
        if (bytes == "U" && l.writes.size() == 5) deliver(l);
    };
    line.writes.clear();
    engine.Handshake();
    return 0;
}

// Every run builds a fresh engine; a small quarantine keeps freed memory
// close at hand instead of faulting in new pages each time, while a use
// after free within a run is still caught.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=4"; }
