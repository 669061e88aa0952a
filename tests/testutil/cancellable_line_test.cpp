// BrenvikTest's Cancel: an engine on a CancellableLine that is cancelled
// while it waits on a silent printer returns within a slice, with the port
// closed and DTR dropped, and connects again once re-armed. On the
// scripted line, whose clock is virtual.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>

#include "testutil/cancellable_line.h"
#include "tests/support/engine_harness.h"

namespace {

using brenvik::PrinterEngine;
using brenvik::testutil::CancellableLine;
using namespace brenvik::test;

constexpr uint32_t kSliceMs = 50;

struct Cancellable {
    Harness h;
    CancellableLine line{h.line, kSliceMs};
    std::unique_ptr<PrinterEngine> engine;
    uint32_t longestWait = 0;
    uint64_t cancelAt = UINT64_MAX;
    size_t writesAtCancel = 0;

    Cancellable()
    {
        engine.reset(new PrinterEngine(ScriptedPlatform(line, h.log, h.clock, h.dialog)));
        h.line.onWait = [this](uint32_t timeoutMs) {
            longestWait = std::max(longestWait, timeoutMs);
            if (h.line.now >= cancelAt && !line.Cancelled()) {
                line.Cancel();
                writesAtCancel = h.line.writes.size();
            }
        };
    }
    int32_t Init() { return engine->Init(3, "Ivanov", "1234", 0, ""); }
};

TEST(CancellableLine, CancelEndsTheCallAtOnceAndClosesThePort)
{
    const struct {
        const char* what;
        bool connectFirst;
        std::function<int32_t(Cancellable&)> call;
        uint64_t uncancelledMs;  // what the call waits without Cancel, at least
    } cases[] = {
        // Two silent handshakes with a three-second DTR pulse each.
        {"connecting to a silent port", false, [](Cancellable& c) { return c.Init(); }, 8000},
        // A report whose reply never comes: six seconds of silence, and more
        // to reconcile it.
        {"an X-report the printer does not answer", true, [](Cancellable& c) { return c.engine->XReport(); }, 6000},
    };
    for (const auto& c : cases) {
        Cancellable t;
        if (c.connectFirst) {
            ASSERT_EQ(t.Init(), 1) << c.what;
            t.h.printer.silent = true;
        } else {
            t.h.printer.handshakeSilent = true;
        }
        const uint64_t started = t.h.line.now;
        t.cancelAt = started + 300;
        EXPECT_EQ(c.call(t), 0) << c.what;
        EXPECT_TRUE(t.line.Cancelled()) << c.what;
        EXPECT_LE(t.h.line.now - started, 300 + 2 * kSliceMs) << c.what << ": not cut short; uncancelled "
                                                              << c.uncancelledMs << " ms";
        EXPECT_LE(t.longestWait, kSliceMs) << c.what << ": a wait longer than a slice cannot be cut short";
        EXPECT_FALSE(t.h.line.IsOpen()) << c.what;
        ASSERT_FALSE(t.h.line.dtr.empty());
        EXPECT_FALSE(t.h.line.dtr.back().second) << c.what << ": DTR stays raised";
        EXPECT_EQ(t.h.line.writes.size(), t.writesAtCancel) << c.what << ": sent after the cancel";

        // Re-armed, the same engine connects again on the same port.
        t.line.Rearm();
        t.h.printer.silent = t.h.printer.handshakeSilent = false;
        t.cancelAt = UINT64_MAX;
        EXPECT_EQ(t.Init(), 1) << c.what;
        EXPECT_TRUE(t.h.line.IsOpen()) << c.what;
    }
}

// Slices must lose nothing: a printer slower than many slices is still heard.
TEST(CancellableLine, SlicedWaitsStillHearASlowPrinter)
{
    Cancellable t;
    t.h.printer.delayMs = 700;
    EXPECT_EQ(t.Init(), 1);
    EXPECT_EQ(t.engine->XReport(), 1);
    EXPECT_FALSE(t.line.Cancelled());
}

}  // namespace
