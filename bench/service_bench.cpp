// brenvikd_bench: what the network service costs on top of the printer.
//
// Four figures, each measured in this one run against substitute printers
// on pseudo-terminals and brenvikd as its own process:
//   1. a 20-line receipt through HTTP with the printer paced like a real
//      line, divided by the wire time of every byte exchanged (115200 baud,
//      12 bits a byte);
//   2. 8 clients posting receipts to one printer at once: receipts a second,
//      divided by the printer-bound rate (the same receipts one after
//      another through the C API, no service); every receipt printed once;
//   3. the 99th percentile of GET .../status while 2 runs;
//   4. brenvikd's resident memory, idle, with 4 printers;
//   5. a receipt with 300,000 older ones in the ledger, divided by the same
//      with an empty ledger: finding unfinished receipts must not grow
//      with the ledger.
#include <brenvik/brenvik.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>


using nlohmann::json;

namespace {

constexpr double kBitsPerByte = 12.0;
constexpr double kBaud = 115200.0;

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string Receipt(const std::string& id, int lines) {
    json items = json::array();
    for (int i = 0; i < lines; ++i) {
        items.push_back({{"name", "Bench item " + std::to_string(i + 1)}, {"quantity", 1},
                         {"price", std::to_string(100 + i) + ".25"}, {"tax", 1 + i % 2}});
    }
    return json{{"requestId", id}, {"type", "sale"}, {"items", items}}.dump();
}

// m301sim as its own process on a pseudo-terminal; its --trace log tells
// the bytes on the wire: "<- TEXT" is a command (text and three framing
// bytes), "-> N bytes" a reply.
struct Line {
    pid_t pid = -1;
    std::string link, trace;

    Line(const std::string& dir, const std::string& name, bool wireSpeed) {
        link = dir + "/" + name;
        trace = dir + "/" + name + ".trace";
        pid = fork();
        if (pid == 0) {
            for (int fd = 3; fd < 1024; ++fd) close(fd);
            if (!freopen(trace.c_str(), "w", stderr)) _exit(126);
            if (wireSpeed) {
                execl(M301SIM_PROGRAM, M301SIM_PROGRAM, "--link", link.c_str(), "--trace", "--wire-speed", nullptr);
            } else {
                execl(M301SIM_PROGRAM, M301SIM_PROGRAM, "--link", link.c_str(), nullptr);
            }
            _exit(127);
        }
        for (int i = 0; i < 200 && access(link.c_str(), F_OK) != 0; ++i) usleep(25000);
        if (access(link.c_str(), F_OK) != 0) {
            fprintf(stderr, "the simulator did not come up on %s\n", link.c_str());
            exit(1);
        }
    }
    ~Line() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    long Bytes() const {
        std::ifstream in(trace);
        std::string line;
        long bytes = 0;
        const std::string command = "m301sim: <- ", reply = "m301sim: -> ";
        while (std::getline(in, line)) {
            if (line.rfind(command, 0) == 0) {
                for (size_t i = command.size(); i < line.size(); ++i)
                    bytes += (static_cast<unsigned char>(line[i]) & 0xC0) != 0x80;
                bytes += 3;
            } else if (line.rfind(reply, 0) == 0) {
                bytes += atol(line.c_str() + reply.size());
            }
        }
        return bytes;
    }
};

// A port nobody listens on: bound, read and closed again.
int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        perror("free port");
        exit(1);
    }
    close(fd);
    return ntohs(address.sin_port);
}

// brenvikd as a child process.
struct Daemon {
    pid_t pid = -1;
    int port = 0;

    Daemon(const std::string& dir, const std::vector<std::string>& printers) {
        port = FreePort();
        std::vector<std::string> args = {BRENVIKD_PROGRAM, "--listen", "127.0.0.1:" + std::to_string(port),
                                         "--ledger", dir + "/ledger.db", "--log-dir", dir, "--queue", "64"};
        for (const std::string& p : printers) {
            args.push_back("--printer");
            args.push_back(p);
        }
        pid = fork();
        if (pid == 0) {
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            // Nothing of the bench (the simulators' pseudo-terminals) leaks into the service.
            for (int fd = 3; fd < 1024; ++fd) close(fd);
            if (!freopen((dir + "/brenvikd.out").c_str(), "w", stderr)) _exit(126);
            execv(argv[0], argv.data());
            _exit(127);
        }
        httplib::Client client("127.0.0.1", port);
        for (int i = 0; i < 600; ++i) {
            auto res = client.Get("/printers");
            if (res && res->status == 200) {
                json list = json::parse(res->body)["printers"];
                if (std::all_of(list.begin(), list.end(), [](const json& p) { return p["connection"] == "online"; }))
                    return;
            }
            usleep(50000);
        }
        fprintf(stderr, "brenvikd did not come up (see %s/brenvikd.out)\n", dir.c_str());
        exit(1);
    }
    ~Daemon() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    long RssKb() const {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string key;
        while (status >> key) {
            if (key == "VmRSS:") {
                long kb = 0;
                status >> kb;
                return kb;
            }
            status.ignore(1 << 12, '\n');
        }
        return -1;
    }
};

// Median seconds of `count` one-line receipts, one after another.
double ReceiptSeconds(const Daemon& daemon, const std::string& prefix, int count) {
    httplib::Client client("127.0.0.1", daemon.port);
    client.set_read_timeout(120, 0);
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        double start = Now();
        auto res = client.Post("/printers/main/receipt", Receipt(prefix + std::to_string(i), 1), "application/json");
        if (!res || res->status != 200) {
            fprintf(stderr, "receipt %s%d failed\n", prefix.c_str(), i);
            exit(1);
        }
        times.push_back(Now() - start);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// Older receipts, finished, as a long-running service would have them.
void FillLedger(const std::string& path, int rows) {
    sqlite3* db = nullptr;
    sqlite3_stmt* insert = nullptr;
    bool ok = sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
              sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK &&
              sqlite3_prepare_v2(db,
                                 "INSERT INTO receipts (request_id, printer, body, state, check_number, answer,"
                                 " http_status, created_ms, updated_ms)"
                                 " VALUES (?, 'main', ?, 'closed', ?, ?, 200, ?, ?)",
                                 -1, &insert, nullptr) == SQLITE_OK;
    const std::string body = Receipt("old", 1), answer = R"({"state":"closed","checkNumber":1})";
    for (int i = 0; ok && i < rows; ++i) {
        std::string id = "old-" + std::to_string(i);
        sqlite3_bind_text(insert, 1, id.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 2, body.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int(insert, 3, i + 1);
        sqlite3_bind_text(insert, 4, answer.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int64(insert, 5, 1700000000000LL + i);
        sqlite3_bind_int64(insert, 6, 1700000000000LL + i);
        ok = sqlite3_step(insert) == SQLITE_DONE && sqlite3_reset(insert) == SQLITE_OK;
    }
    sqlite3_finalize(insert);
    ok = ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok) {
        fprintf(stderr, "cannot fill %s: %s\n", path.c_str(), sqlite3_errmsg(db));
        exit(1);
    }
    sqlite3_close(db);
}

// The same receipt straight through the C API: what the printer allows.
double DirectSeconds(const std::string& link, int lines, int rounds) {
    brenvik_printer* printer = nullptr;
    if (brenvik_open_device(link.c_str(), "Bench", "0000", &printer) != BRENVIK_OK) {
        fprintf(stderr, "cannot open %s\n", link.c_str());
        exit(1);
    }
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        brenvik_receipt_result result{};
        result.size = sizeof result;
        std::string receipt = Receipt("direct-" + std::to_string(i), lines);
        double start = Now();
        if (brenvik_receipt_print(printer, receipt.c_str(), nullptr, nullptr, &result) != BRENVIK_OK) {
            fprintf(stderr, "direct receipt failed: %s\n", result.message);
            exit(1);
        }
        times.push_back(Now() - start);
    }
    brenvik_close(printer);
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main() {
    char pattern[] = "/tmp/brenvikd-bench.XXXXXX";
    std::string dir = mkdtemp(pattern);
    signal(SIGPIPE, SIG_IGN);
    bool ok = true;

    // 1. One 20-line receipt through HTTP at wire speed.
    double ratio1 = 0, direct20 = 0, http20 = 0;
    {
        {
            Line baseline(dir, "com1", true);
            direct20 = DirectSeconds(dir + "/com1", 20, 3);
        }
        Line line(dir, "com2", true);
        Daemon daemon(dir + "", {"main=" + dir + "/com2"});
        httplib::Client client("127.0.0.1", daemon.port);
        client.set_read_timeout(120, 0);
        std::vector<double> ratios, times;
        for (int i = 0; i < 5; ++i) {
            long before = line.Bytes();
            double start = Now();
            auto res = client.Post("/printers/main/receipt", Receipt("one-" + std::to_string(i), 20), "application/json");
            double took = Now() - start;
            if (!res || res->status != 200) {
                fprintf(stderr, "receipt %d failed after %.1f s: %s\n", i, Now() - start,
                    res ? res->body.c_str() : httplib::to_string(res.error()).c_str());
                return 1;
            }
            usleep(100000);  // the trace of the last reply reaches the file
            double wire = static_cast<double>(line.Bytes() - before) * kBitsPerByte / kBaud;
            ratios.push_back(took / wire);
            times.push_back(took);
        }
        std::sort(ratios.begin(), ratios.end());
        std::sort(times.begin(), times.end());
        ratio1 = ratios[ratios.size() / 2];
        http20 = times[times.size() / 2];
    }

    // 2 and 3. Eight clients on one printer, /status polled meanwhile.
    const int clients = 8, perClient = 4, lines = 10;
    double ratio2 = 0, p99 = 0;
    long printedOnce = 0;
    {
        double direct = 0;
        {
            Line baseline(dir, "com3", true);
            direct = DirectSeconds(dir + "/com3", lines, 5);
        }
        Line line(dir, "com4", true);
        Daemon daemon(dir, {"main=" + dir + "/com4"});
        httplib::Client probe("127.0.0.1", daemon.port);
        auto Checks = [&] {
            auto res = probe.Get("/printers/main/documents/documents");
            return res && res->status == 200 ? json::parse(res->body)["lastCheckNumber"].get<long>() : -1L;
        };
        long before = Checks();
        std::atomic<bool> done{false};
        std::vector<double> latencies;
        std::thread poller([&] {
            httplib::Client client("127.0.0.1", daemon.port);
            while (!done) {
                double start = Now();
                auto res = client.Get("/printers/main/status");
                if (res && res->status == 200) latencies.push_back(Now() - start);
                usleep(10000);
            }
        });
        std::mutex mutex;
        std::set<long> numbers;
        int failures = 0;
        double start = Now();
        std::vector<std::thread> threads;
        for (int c = 0; c < clients; ++c) {
            threads.emplace_back([&, c] {
                httplib::Client client("127.0.0.1", daemon.port);
                client.set_read_timeout(120, 0);
                for (int i = 0; i < perClient; ++i) {
                    auto res = client.Post("/printers/main/receipt",
                                           Receipt("c" + std::to_string(c) + "-" + std::to_string(i), lines),
                                           "application/json");
                    std::lock_guard<std::mutex> lock(mutex);
                    if (res && res->status == 200) {
                        numbers.insert(json::parse(res->body)["checkNumber"].get<long>());
                    } else {
                        ++failures;
                    }
                }
            });
        }
        for (auto& t : threads) t.join();
        double elapsed = Now() - start;
        done = true;
        poller.join();
        long printed = Checks() - before;
        const long total = clients * perClient;
        printedOnce = (failures == 0 && static_cast<long>(numbers.size()) == total && printed == total) ? total : -1;
        ratio2 = (total / elapsed) / (1.0 / direct);
        std::sort(latencies.begin(), latencies.end());
        p99 = latencies.empty() ? 1e9 : latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
        fprintf(stdout, "   (%ld receipts of %d lines in %.2f s; alone through the C API %.3f s each; "
                "%zu status calls)\n", total, lines, elapsed, direct, latencies.size());
    }

    // 4. Idle memory with four printers.
    long rssKb = 0;
    {
        std::vector<std::unique_ptr<Line>> lines4;
        std::vector<std::string> printers;
        for (int i = 0; i < 4; ++i) {
            lines4.push_back(std::make_unique<Line>(dir, "idle" + std::to_string(i), false));
            printers.push_back("p" + std::to_string(i) + "=" + dir + "/idle" + std::to_string(i));
        }
        Daemon daemon(dir, printers);
        sleep(3);
        rssKb = daemon.RssKb();
    }

    // 5. A long ledger against an empty one, on a printer without pacing.
    double empty = 0, full = 0;
    {
        Line line(dir, "long", false);
        std::string ledgers = dir + "/ledgers";
        mkdir(ledgers.c_str(), 0700);
        {
            Daemon daemon(ledgers, {"main=" + dir + "/long"});
            empty = ReceiptSeconds(daemon, "empty-", 100);
        }
        FillLedger(ledgers + "/ledger.db", 300000);
        Daemon daemon(ledgers, {"main=" + dir + "/long"});
        full = ReceiptSeconds(daemon, "full-", 100);
    }

    // The simulator paces only what it sends, so the commands cost less than
    // their wire time: the same receipt through the C API alone shows it.
    printf("1. 20-line receipt through HTTP / wire time of its bytes at 115200 baud: %.3f (target <= 1.05); "
           "%.3f s, through the C API alone %.3f s: %.3f\n", ratio1, http20, direct20, http20 / direct20);
    printf("2. 8 clients on one printer / printer-bound rate: %.3f (target >= 0.95), every receipt once: %s\n",
           ratio2, printedOnce > 0 ? "yes" : "NO");
    printf("3. GET /status p99 while printing: %.1f ms (target <= 50)\n", p99 * 1000);
    printf("4. idle RSS with 4 printers: %.1f MB (target <= 20)\n", rssKb / 1024.0);
    printf("5. a receipt with 300000 older ones in the ledger / with none: %.2f (target <= 1.2); %.2f ms, %.2f ms\n",
           full / empty, full * 1000, empty * 1000);
    ok = printedOnce > 0;
    std::string cleanup = "rm -rf " + dir;
    if (system(cleanup.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());
    return ok ? 0 : 1;
}
