// m301sim: a substitute Maria 301 MTM fiscal printer on a virtual serial line.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <pthread.h>

#include "brenvik_version.h"
#include "sim/m301sim.h"
#include "sim/text.h"

namespace {

const char kUsage[] = R"(Usage: m301sim (--link PATH | --device PATH) [options]

A substitute Maria 301 MTM fiscal printer. It answers the printer's wire
protocol on a pseudo-terminal (--link) or a real serial device (--device),
keeps checks, registers, counters and a fiscal memory, and prints to a
journal file.

The line:
  --link PATH          create a pseudo-terminal and link its slave at PATH
                       (a stale link is replaced); the link appears once the
                       printer answers and is removed on SIGTERM or SIGINT
  --device PATH        serve a real serial device instead (null-modem cable)
  --control PATH       Unix-domain socket for fault injection (see below)
  --journal FILE       append everything printed to FILE as UTF-8 text
  --state FILE         keep fiscal memory, counters, registers and settings in
                       FILE across restarts; a damaged FILE is refused
  --trace              log every command and reply to standard error
  --wire-speed         pace sent bytes as 115200 baud 8E2 would (12 bits each)
  --print-delay MS     wait MS milliseconds per printed line before answering
  --raw-lengths        send length bytes 0x11 and 0x13 as they come (by default
                       such a text gets one trailing blank, because the other
                       side's XON/XOFF line discipline would swallow the byte)

The printer (identity options apply to a new state file only):
  --serial TEXT        serial number, 10 characters      (4000012345)
  --fiscal-number TEXT fiscal number, 10 characters      (3000054321)
  --tax-number TEXT    tax payer number, 12 characters   (123456789012)
  --owner TEXT         owner, at most 36 characters      (ТОВ "Демо-Маркет")
  --firmware YYYYMMDD  firmware date; 20050208 is T3+    (20050208)
  --variant TEXT       printer variant, 4 characters; vTTs is the narrow one
                                                         (vMTM)
  --article-mode N     0, 1, or 2 for long article numbers (1)
  --fiscalized         fiscalized (default)
  --not-fiscalized     fiscal commands answer SOFTREGIST instead of DONE
  --tax N=RATE[:KIND]  program tax N (1-8, letters А-З); RATE like 20.00;
                       KIND 0 included (default), 1 on-sale (added on top),
                       2 sale-included; N=off unprograms it
                       (default: 1=20.00 2=7.00 3=0.00, 4 to 8 unprogrammed)
  --currency TEXT      national currency, 3 characters   (ГРН)
  --conf-length N      CONf reply length with its length byte: 153 or 165
  --key N              system key: 1 work, 2 X-report, 4 Z-report,
                       8 programming, 0 off              (1)
  --password TEXT      cashier password that UPAS must carry (default: any)
  -h, --help           this text
  --version            the version

Control socket: one command a line; the answer is OK, ERR reason, or for
"state" one line of JSON.
  next silent                the next command is not even heard: no answer
  next cut N                 the next reply stops after N bytes
  next cut-end N             the next reply lacks its last N bytes
  next split PARTS MS        the next reply in PARTS pieces, MS ms apart; the
                             first piece comes at once, the pauses inside the reply
  next delay MS              the next reply comes MS ms late (0 to 60000); the
                             command is carried out at once
  next noise                 junk bytes before the next reply
  next trailing N            N extra bytes after the READY block of the next reply
  next lose-end              the next block's end byte is lost: SOFTTXTOUT 2 s later
  next error WORD [WORD...]  the next command fails with these words, in order
  next done-and-error WORD   the next reply carries both DONE and WORD
  next babble                the next command is carried out, and instead of its
                             reply the printer talks without end (junk at line
                             speed), deaf, until "babble off"
  next babble after          the same after the whole reply: READY and more bytes
  target NAME|any            the pending "next" faults wait for a NAME command
                             (case matters: NREP, nrep); others pass untouched
  babble on|off              talk without end from now on (deaf meanwhile), or stop
  conf-length N              CONf replies of N characters from now on
  conf-no-end                the next CONf reply lacks its end byte
  handshake off|on           ignore wake-up bytes, or answer them again
  key 0|1|2|4|8              turn the system key
  paper out|in               take the paper out (SOFTPAPER) or put it back
  clear                      forget pending "next" faults
  state                      counters and registers as one line of JSON
The "next" faults add up and apply to the next command only (or, with
"target", to the next command of that name); "clear" forgets them.

Example:
  m301sim --link /tmp/x/com3 --control /tmp/x/ctl --journal /tmp/x/paper.txt
  echo 'next error SOFTPAPER' | socat - UNIX-CONNECT:/tmp/x/ctl
)";

int Usage(const char* problem) {
    std::fprintf(stderr, "m301sim: %s\nTry 'm301sim --help'.\n", problem);
    return 2;
}

bool SetExact(std::string& field, const char* value, size_t width, const char* what, std::string* error) {
    if (m301sim::Utf8Length(value) != width) {
        *error = std::string(what) + " must have " + std::to_string(width) + " characters";
        return false;
    }
    field = value;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    m301sim::Config config;
    m301sim::PtyPrinter::Options line;
    std::string journal, state;
    bool trace = false;
    std::string error;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char*& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        const char* v = nullptr;
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::puts("m301sim " BRENVIK_VERSION_STRING);
            return 0;
        } else if (arg == "--trace") {
            trace = true;
        } else if (arg == "--wire-speed") {
            line.wireSpeed = true;
        } else if (arg == "--raw-lengths") {
            config.guardFlowControl = false;
        } else if (arg == "--fiscalized") {
            config.fiscalized = true;
        } else if (arg == "--not-fiscalized") {
            config.fiscalized = false;
        } else if (!value(v)) {
            return Usage(("unknown option or missing value: " + arg).c_str());
        } else if (arg == "--link") {
            line.link = v;
        } else if (arg == "--device") {
            line.device = v;
        } else if (arg == "--control") {
            line.control = v;
        } else if (arg == "--journal") {
            journal = v;
        } else if (arg == "--state") {
            state = v;
        } else if (arg == "--print-delay") {
            char* end = nullptr;
            const long ms = std::strtol(v, &end, 10);
            if (*v == '\0' || *end || ms < 0 || ms > 60000) return Usage("--print-delay takes 0 to 60000");
            config.printDelayMs = static_cast<unsigned>(ms);
        } else if (arg == "--serial") {
            if (!SetExact(config.serialNumber, v, 10, "--serial", &error)) return Usage(error.c_str());
        } else if (arg == "--fiscal-number") {
            if (!SetExact(config.fiscalNumber, v, 10, "--fiscal-number", &error)) return Usage(error.c_str());
        } else if (arg == "--tax-number") {
            if (!SetExact(config.taxNumber, v, 12, "--tax-number", &error)) return Usage(error.c_str());
        } else if (arg == "--owner") {
            if (m301sim::Utf8Length(v) > 36) return Usage("--owner takes at most 36 characters");
            config.owner = v;
        } else if (arg == "--firmware") {
            if (std::strlen(v) != 8 || std::strspn(v, "0123456789") != 8) return Usage("--firmware takes YYYYMMDD");
            config.firmwareDate = v;
        } else if (arg == "--variant") {
            if (!SetExact(config.variant, v, 4, "--variant", &error)) return Usage(error.c_str());
        } else if (arg == "--currency") {
            if (!SetExact(config.currencyName, v, 3, "--currency", &error)) return Usage(error.c_str());
        } else if (arg == "--article-mode") {
            if (std::strlen(v) != 1 || v[0] < '0' || v[0] > '2') return Usage("--article-mode takes 0, 1 or 2");
            config.articleMode = v[0] - '0';
        } else if (arg == "--conf-length") {
            const int n = std::atoi(v);
            if (n < 5 || n > 252) return Usage("--conf-length takes 5 to 252 (153 or 165 are well-formed)");
            config.confLength = n;
        } else if (arg == "--key") {
            const std::string k = v;
            if (k != "0" && k != "1" && k != "2" && k != "4" && k != "8") return Usage("--key takes 0, 1, 2, 4 or 8");
            config.keyPosition = std::atoi(v);
        } else if (arg == "--password") {
            config.password = v;
        } else if (arg == "--tax") {
            const std::string t = v;
            const size_t eq = t.find('=');
            const int n = eq == 1 ? t[0] - '0' : 0;
            if (n < 1 || n > 8 || !m301sim::ParseTaxRate(t.substr(2), config.taxes[n - 1]))
                return Usage("--tax takes N=RATE[:KIND] with N 1 to 8, RATE like 20.00, KIND 0, 1 or 2, or N=off");
        } else {
            return Usage(("unknown option: " + arg).c_str());
        }
    }
    if (line.link.empty() == line.device.empty()) return Usage("give one of --link PATH or --device PATH");

    m301sim::Printer printer(config);
    if (trace) printer.SetTraceSink([](const std::string& s) { std::fprintf(stderr, "m301sim: %s\n", s.c_str()); });
    if (!journal.empty() && !printer.OpenJournal(journal, &error)) {
        std::fprintf(stderr, "m301sim: %s\n", error.c_str());
        return 1;
    }
    if (!state.empty()) {
        if (!printer.AttachStateFile(state, &error)) {
            std::fprintf(stderr, "m301sim: %s\n", error.c_str());
            return 2;
        }
        const m301sim::Config kept = printer.config();
        if (kept.serialNumber != config.serialNumber || kept.fiscalNumber != config.fiscalNumber)
            std::fprintf(stderr, "m301sim: the state file keeps the printer's identity (serial %s, fiscal number %s)\n",
                         kept.serialNumber.c_str(), kept.fiscalNumber.c_str());
    }

    // The serving thread must not take the signals: main waits for them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    m301sim::PtyPrinter server(printer, line);
    if (!server.Start(&error)) {
        std::fprintf(stderr, "m301sim: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "m301sim: printer ready on %s%s%s\n", server.LinePath().c_str(),
                 line.link.empty() ? "" : " linked at ", line.link.c_str());

    int sig = 0;
    sigwait(&stopSignals, &sig);
    server.Stop();
    std::fprintf(stderr, "m301sim: stopped\n");
    return 0;
}
