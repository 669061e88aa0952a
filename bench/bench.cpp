// brenvik_bench: what the engine costs on top of the printer.
//
// Three ratios, each measured in this one run against the substitute printer
// on a pseudo-terminal:
//   1. a 20-line check through the engine at full speed, divided by the same
//      blocks exchanged by a minimal loop (write a block, read until READY);
//   2. the same check with the printer paced like a real line, divided by
//      the wire time of every byte exchanged (115200 baud, 12 bits a byte);
//   3. the engine's CPU time during a 6-second reply time-out, divided by the
//      wall time of that wait.
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/diagnostics/log_file_posix.h"
#include "engine/link/serial_line_posix.h"
#include "engine/platform.h"
#include "engine/printer_engine.h"
#include "sim/m301sim.h"

namespace {

constexpr int kLines = 20;
constexpr int kRounds = 11;
constexpr int kTries = 3;
constexpr double kBitsPerByte = 12.0;
constexpr double kBaud = 115200.0;

double Now(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The POSIX line with every block written kept and every byte counted.
// With `paceWrites` a block reaches the printer only after the time its bytes
// take on a real wire: a pseudo-terminal has no baud rate of its own, and the
// simulator's --wire-speed paces only what the printer sends.
class CountingLine : public brenvik::SerialLine {
public:
    std::vector<std::string> blocks;
    uint64_t bytesOut = 0, bytesIn = 0;
    bool paceWrites = false;

    void Reset() {
        blocks.clear();
        bytesOut = bytesIn = 0;
    }
    bool Open(const char* name) override { return line_.Open(name); }
    bool IsOpen() const override { return line_.IsOpen(); }
    bool SetQueueSizes(uint32_t in, uint32_t out) override { return line_.SetQueueSizes(in, out); }
    bool SetEventMask(uint32_t events) override { return line_.SetEventMask(events); }
    bool GetSettings(brenvik::LineSettings& s) override { return line_.GetSettings(s); }
    bool SetSettings(const brenvik::LineSettings& s) override { return line_.SetSettings(s); }
    bool SetTimeouts(const brenvik::LineTimeouts& t) override { return line_.SetTimeouts(t); }
    void Purge() override { line_.Purge(); }
    void SetDtr(bool raised) override { line_.SetDtr(raised); }
    uint32_t ClearErrors() override { return line_.ClearErrors(); }
    void ClearLineError() override { line_.ClearLineError(); }
    void Write(const uint8_t* data, uint32_t count) override {
        blocks.emplace_back(reinterpret_cast<const char*>(data), count);
        bytesOut += count;
        if (paceWrites) {
            const double seconds = count * kBitsPerByte / kBaud;
            timespec pause{0, static_cast<long>(seconds * 1e9)};
            while (nanosleep(&pause, &pause) != 0) {
            }
        }
        line_.Write(data, count);
    }
    brenvik::WaitStatus WaitEvent(uint32_t timeoutMs, uint32_t& events) override {
        return line_.WaitEvent(timeoutMs, events);
    }
    brenvik::WaitStatus Read(uint8_t* buffer, uint32_t count, uint32_t timeoutMs, uint32_t& got) override {
        brenvik::WaitStatus status = line_.Read(buffer, count, timeoutMs, got);
        bytesIn += got;
        return status;
    }
    void Sleep(uint32_t ms) override { line_.Sleep(ms); }
    uint64_t NowMs() override { return line_.NowMs(); }
    void Close() override { line_.Close(); }

private:
    brenvik::PosixSerialLine line_;
};

struct Bench {
    explicit Bench(const m301sim::Config& config = m301sim::Config()) : printer(config) {}
    std::string dir;
    m301sim::Printer printer;
    std::unique_ptr<m301sim::PtyPrinter> pty;
    CountingLine line;
    brenvik::PosixLogFile log;
    std::unique_ptr<brenvik::PrinterEngine> engine;

    bool StartPrinter(bool wireSpeed) {
        pty.reset();
        m301sim::PtyPrinter::Options options;
        options.link = dir + "/com3";
        options.wireSpeed = wireSpeed;
        pty = std::make_unique<m301sim::PtyPrinter>(printer, options);
        std::string error;
        if (!pty->Start(&error)) {
            std::fprintf(stderr, "brenvik_bench: the simulator did not start: %s\n", error.c_str());
            return false;
        }
        return true;
    }

    // An engine on the counting line, logging into `dir`.
    void MakeEngine() {
        brenvik::EnginePlatform platform;
        platform.line = &line;
        platform.log = &log;
        platform.clock = &brenvik::NativeClock();
        platform.dialog = &brenvik::NativeMessageDialog();
        platform.logDirectory = dir;
        engine = std::make_unique<brenvik::PrinterEngine>(platform);
        engine->SetShowErrorMessages(0);
    }

    bool Connect() {
        if (engine->Init(3, "Bench", "1111", 0, "") == 1) return true;
        std::fprintf(stderr, "brenvik_bench: Init failed, error %u\n", engine->ErrorNumber);
        return false;
    }

    // One check of kLines lines; the wall time, or a negative value when a
    // step failed.
    double Check() {
        line.Reset();
        const double start = Now(CLOCK_MONOTONIC);
        bool ok = engine->OpenCheck("1") == 1;
        for (int i = 0; i < kLines && ok; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "Goods %02d", i + 1);
            ok = engine->FiscalLine(name, 1 + i % 3, 1000 + 25 * i, 0, 1, 0, 100 + i) != 0;
        }
        ok = ok && engine->CloseCheck() != 0;
        const double elapsed = Now(CLOCK_MONOTONIC) - start;
        if (!ok) std::fprintf(stderr, "brenvik_bench: the check failed, error %u\n", engine->ErrorNumber);
        return ok ? elapsed : -1.0;
    }
};

// The minimal exchange: each block written whole, then read until the
// READY block has arrived.
double RawLoop(const std::string& path, const std::vector<std::string>& blocks) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) return -1.0;
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tio.c_cflag |= PARENB | CSTOPB | CREAD | CLOCAL;
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &tio);
    tcflush(fd, TCIOFLUSH);
    const std::string ready = std::string("\xFD") + "READY" + "\x06\xFE";
    const double start = Now(CLOCK_MONOTONIC);
    std::string reply;
    char buffer[512];
    for (const std::string& block : blocks) {
        if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
            close(fd);
            return -1.0;
        }
        reply.clear();
        while (reply.size() < ready.size() ||
               reply.compare(reply.size() - ready.size(), ready.size(), ready) != 0) {
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fd);
                return -1.0;
            }
            reply.append(buffer, static_cast<size_t>(n));
        }
    }
    const double elapsed = Now(CLOCK_MONOTONIC) - start;
    close(fd);
    return elapsed;
}

struct FullSpeed {
    double median = -1, engineBest = 1e9, rawBest = 1e9;
    size_t blocks = 0;
};

// The machine may be busy with other work, so engine and raw loop take
// turns: each round connects, runs a few checks, disconnects and replays
// the blocks raw; the best of each within a round gives that round's ratio,
// and the median of the rounds is reported.
FullSpeed RunFullSpeed(Bench& b, bool log) {
    FullSpeed result;
    std::vector<double> ratios;
    for (int round = 0; round < kRounds; ++round) {
        if (!b.Connect()) return result;
        b.engine->LogEnabled = log ? 1 : 0;
        double engineRound = 1e9;
        std::vector<std::string> blocks;
        for (int i = 0; i < kTries; ++i) {
            double t = b.Check();
            if (t < 0) return result;
            if (t < engineRound) {
                engineRound = t;
                blocks = b.line.blocks;
            }
        }
        b.engine->LogEnabled = 1;
        b.engine->Done();
        double rawRound = 1e9;
        for (int i = 0; i < kTries; ++i) {
            double t = RawLoop(b.pty->LinePath(), blocks);
            if (t < 0) {
                std::fprintf(stderr, "brenvik_bench: the raw loop failed\n");
                return result;
            }
            rawRound = std::min(rawRound, t);
        }
        ratios.push_back(engineRound / rawRound);
        result.engineBest = std::min(result.engineBest, engineRound);
        result.rawBest = std::min(result.rawBest, rawRound);
        result.blocks = blocks.size();
    }
    std::sort(ratios.begin(), ratios.end());
    result.median = ratios[ratios.size() / 2];
    return result;
}

void Print(const char* what, double measured, const char* relation, double target, const char* detail) {
    const bool met = relation[0] == '<' && relation[1] == '=' ? measured <= target : measured < target;
    std::printf("%-58s %8.4f   target %s %.2f   %s\n   %s\n", what, measured, relation, target,
                met ? "met" : "NOT MET", detail);
}

}  // namespace

int main() {
    char dirTemplate[] = "/tmp/brenvik-bench.XXXXXX";
    if (mkdtemp(dirTemplate) == nullptr) return 1;
    Bench b;
    b.dir = dirTemplate;
    b.printer.SetJournalSink([](const std::string&) {});
    setenv("BRENVIK_PORTS_DIR", b.dir.c_str(), 1);

    b.MakeEngine();

    std::printf("brenvik_bench: a %d-line check against m301sim on a pseudo-terminal\n\n", kLines);

    // 1. Full speed: the engine against the raw loop.
    if (!b.StartPrinter(false)) return 1;
    FullSpeed withLog = RunFullSpeed(b, true);
    if (withLog.median < 0) return 1;
    char detail[200];
    std::snprintf(detail, sizeof detail,
                  "median of %d rounds; best engine %.2f ms, best raw loop %.2f ms for the same %zu blocks",
                  kRounds, withLog.engineBest * 1e3, withLog.rawBest * 1e3, withLog.blocks);
    Print("1. engine / raw loop, full speed", withLog.median, "<=", 1.10, detail);
    // For the reader: how much of that is the debug log's one write per line.
    FullSpeed quiet = RunFullSpeed(b, false);
    if (quiet.median < 0) return 1;
    std::printf("   (the same with the debug log switched off: %.4f; best engine %.2f ms)\n",
                quiet.median, quiet.engineBest * 1e3);

    // 2. Paced like the wire: the engine against the wire time itself.
    if (!b.StartPrinter(true)) return 1;
    b.line.paceWrites = true;
    if (!b.Connect()) return 1;
    double pacedBest = 1e9, wire = 0;
    for (int round = 0; round < 3; ++round) {
        double t = b.Check();
        if (t < 0) return 1;
        if (t < pacedBest) {
            pacedBest = t;
            wire = static_cast<double>(b.line.bytesOut + b.line.bytesIn) * kBitsPerByte / kBaud;
        }
    }
    std::snprintf(detail, sizeof detail, "engine %.1f ms, wire time %.1f ms (%llu bytes out, %llu in)",
                  pacedBest * 1e3, wire * 1e3, static_cast<unsigned long long>(b.line.bytesOut),
                  static_cast<unsigned long long>(b.line.bytesIn));
    Print("2. engine / wire time, paced at 115200 baud", pacedBest / wire, "<=", 1.03, detail);

    // 3. A printer that stays silent: the engine waits out the reply
    // time-out and should sleep through it.
    b.printer.Control("next silent");
    const double wallStart = Now(CLOCK_MONOTONIC);
    const double cpuStart = Now(CLOCK_THREAD_CPUTIME_ID);
    b.engine->OpenCashBox();
    const double cpu = Now(CLOCK_THREAD_CPUTIME_ID) - cpuStart;
    const double wall = Now(CLOCK_MONOTONIC) - wallStart;
    std::snprintf(detail, sizeof detail, "CPU %.2f ms over %.2f s of waiting, error %u", cpu * 1e3, wall,
                  b.engine->ErrorNumber);
    Print("3. engine CPU / wall time during a reply time-out", cpu / wall, "<", 0.01, detail);

    b.engine->Done();
    b.pty.reset();

    // 4. Firmware other than T3+ keeps no check number to reconcile a lost
    // closing reply with, so the day registers are read before every COMP
    // (DayRegistersBeforeClose, on by default): its cost on a whole check.
    {
        m301sim::Config other;
        other.firmwareDate = "20040101";
        Bench o(other);
        o.dir = b.dir;
        o.printer.SetJournalSink([](const std::string&) {});
        if (!o.StartPrinter(false)) return 1;
        o.MakeEngine();
        if (!o.Connect()) return 1;
        double best[2] = {1e9, 1e9};
        for (int round = 0; round < kRounds; ++round) {
            for (int withRead = 0; withRead < 2; ++withRead) {
                o.engine->DayRegistersBeforeClose = static_cast<uint8_t>(withRead);
                const double t = o.Check();
                if (t < 0) return 1;
                best[withRead] = std::min(best[withRead], t);
            }
        }
        std::printf("%-58s %8.4f   (informational)\n   best check %.2f ms with the read, %.2f ms without\n",
                    "4. other firmware: day registers read before COMP", best[1] / best[0], best[1] * 1e3,
                    best[0] * 1e3);
        o.engine->Done();
        o.pty.reset();
    }
    unlink((b.dir + "/Pelmora.log").c_str());
    rmdir(b.dir.c_str());
    return 0;
}
