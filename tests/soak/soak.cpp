// make soak: many checks through the real engine against an m301sim program
// on a pseudo-terminal. Every 1,000 checks it prints the memory of both
// processes, the debug log and its archives, and the engine's totals beside
// the printer's; it ends with status 1 when they ever part ways, a check
// fails or the log grows past its archiving limit.
//
//   brenvik_soak [--checks N] [--dir DIR]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/faults/sim_process.h"

namespace {

// Resident memory of a process in KiB, from /proc.
long RssKiB(const std::string& pid) {
    std::ifstream status("/proc/" + pid + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// The debug log's size and how many archives lie beside it.
void LogFiles(const std::string& dir, long long& logBytes, int& archives) {
    logBytes = -1;
    archives = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name == "Pelmora.log") logBytes = static_cast<long long>(entry.file_size());
        // DDMMYYYYhhmmss.log, perhaps with a suffix when two come in one second.
        else if (name.size() >= 18 && name.compare(name.size() - 4, 4, ".log") == 0 &&
                 name.find_first_not_of("0123456789") == 14)
            ++archives;
    }
}

}  // namespace

int main(int argc, char** argv) {
    long checks = 10000;
    std::string dir = SOAK_DIR;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--checks") == 0) checks = std::atol(argv[i + 1]);
        if (std::strcmp(argv[i], "--dir") == 0) dir = argv[i + 1];
    }
    std::error_code err;
    std::filesystem::remove_all(dir, err);
    std::filesystem::create_directories(dir + "/line", err);

    simproc::Launcher launcher;
    simproc::SimProcess sim(launcher, M301SIM_PROGRAM, dir + "/line", {"--tax", "4=2.00:1"});
    if (!sim.Ready()) {
        std::fprintf(stderr, "soak: m301sim did not start\n");
        return 2;
    }
    simproc::Engine e(dir);
    if (e->InitDevice(sim.Link().c_str(), "Soak", "0000") != 1) {
        std::fprintf(stderr, "soak: Init failed: error %u\n", e->ErrorNumber);
        return 2;
    }
    std::printf("soak: %ld checks, engine log in %s\n", checks, dir.c_str());
    std::printf("%8s %9s %9s %11s %8s %14s %14s %9s %9s\n", "checks", "rss KiB", "sim KiB", "log bytes", "archives",
                "engine total", "printer total", "eng last", "prn last");

    const auto start = std::chrono::steady_clock::now();
    long long engineTotal = 0;  // what the engine reported as closed, in kopecks
    long failures = 0, disagreements = 0, oversizedLogs = 0;
    for (long n = 1; n <= checks; ++n) {
        bool ok = e->OpenCheck("1") == 1;
        // A bread, weighed cheese, and goods with an on-sale tax; now and
        // then a discount, a cancelled line and the other closing call.
        ok = ok && e->FiscalLine("Хліб житній", 1 + n % 3, 1850, 0, 1, 0, 0) > 0;
        ok = ok && e->FiscalLine("Сир твердий", 250 + static_cast<int32_t>(n % 700), 32000, 1, 2, 0, 0) > 0;
        if (n % 10 == 0)
            ok = ok && e->FiscalLineEx("Кава мелена", 1, 21900, 0, 4, 0, 0, 0, "Знижка", 2190) > 0;
        else
            ok = ok && e->FiscalLine("Кава мелена", 1, 21900, 0, 4, 0, 0) > 0;
        if (n % 7 == 0) ok = ok && e->FiscalLine("Цукор", 1, 2500, 0, 1, 0, 0) > 0 && e->Storn() == 1;
        const int32_t total = n % 2 ? e->CloseCheck() : e->CloseCheckEx(100000, 0, 0, 0);
        ok = ok && total > 0;
        engineTotal += total;
        if (!ok) {
            ++failures;
            std::printf("soak: check %ld failed: error %u %s\n", n, e->ErrorNumber, e->ErrorCode);
            e->AbortCheck();
        }
        if (n % 1000 != 0 && n != checks) continue;
        const std::string state = sim.Control("state");
        const long long printerTotal = simproc::StateNumber(state, "day_sales");
        const long long printerLast = simproc::StateNumber(state, "last_check_number");
        const long long engineLast = e->LastClosedCheck();
        long long logBytes = 0;
        int archives = 0;
        LogFiles(dir, logBytes, archives);
        // The log is archived at the first exchange past its limit: it may
        // pass the limit by one exchange's lines, never by more.
        const bool oversized = logBytes > brenvik::kLogArchiveSize + 100000;
        const bool differ = engineTotal != printerTotal || engineLast != printerLast;
        std::printf("%8ld %9ld %9ld %11lld %8d %14lld %14lld %9lld %9lld%s%s\n", n, RssKiB("self"),
                    RssKiB(std::to_string(sim.Pid())), logBytes, archives, engineTotal, printerTotal, engineLast,
                    printerLast, differ ? "  DIFFER" : "", oversized ? "  LOG NOT ARCHIVED" : "");
        std::fflush(stdout);
        disagreements += differ ? 1 : 0;
        oversizedLogs += oversized ? 1 : 0;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("soak: %ld checks in %.0f s (%.1f ms a check), %ld failed, %ld reports with the totals apart, "
                "%ld with the log past its limit\n",
                checks, seconds, 1000 * seconds / static_cast<double>(checks), failures, disagreements, oversizedLogs);
    return failures == 0 && disagreements == 0 && oversizedLogs == 0 ? 0 : 1;
}
