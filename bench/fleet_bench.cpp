// brenvikd_fleet_bench: one brenvikd driving a shop's worth of printers.
//
// 64 m301sim processes paced at wire speed on pseudo-terminals, one
// brenvikd with all 64, measured in this one run:
//   1. 64 clients, each printing 10-line receipts on its own printer for a
//      fixed time: receipts a second, divided by 64 times what one client
//      gets from one printer through the same service meanwhile idle;
//   2. the service's CPU seconds per receipt (utime + stime);
//   3. its resident memory idle with 64 printers, and the most under load;
//   4. the 99th percentile of GET /printers/ID/status while all print;
//   5. idle memory per printer: (64 printers - 4 printers) / 60.
// Every receipt is checked to have printed once: the printers' own check
// counters moved by exactly the receipts answered 200. Beside 1, what this
// machine allows at all: the same 64 printers driven straight through the
// C API by 64 threads, no service; the simulators and the engines' line
// handling share the cores with the service, so on a small machine 1 is
// bound by them as much as by the service.
//
// FLEET_PRINTERS and FLEET_SECONDS change the size and the time, for a
// quick look; BRENVIKD and M301SIM run other builds of the programs; the
// files go to TMPDIR (/tmp).
#include <brenvik/brenvik.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using nlohmann::json;

namespace {

constexpr int kLines = 10;

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int EnvInt(const char* name, int fallback) {
    const char* text = getenv(name);
    return text && atoi(text) > 0 ? atoi(text) : fallback;
}

std::string Program(const char* env, const char* built) {
    const char* text = getenv(env);
    return text && *text ? text : built;
}

std::string Receipt(const std::string& id) {
    json items = json::array();
    for (int i = 0; i < kLines; ++i) {
        items.push_back({{"name", "Fleet item " + std::to_string(i + 1)}, {"quantity", 1},
                         {"price", std::to_string(100 + i) + ".25"}, {"tax", 1 + i % 2}});
    }
    return json{{"requestId", id}, {"type", "sale"}, {"items", items}}.dump();
}

// Every child still running: a failed run leaves no simulator behind.
std::set<pid_t> gChildren;

void KillChildren() {
    for (pid_t pid : gChildren) kill(pid, SIGTERM);
    for (pid_t pid : gChildren) waitpid(pid, nullptr, 0);
    gChildren.clear();
}

void Ended(pid_t pid) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    gChildren.erase(pid);
}

void CloseInherited() {
    for (int fd = 3; fd < 1024; ++fd) close(fd);
}

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

// The simulators, started together: each needs a moment to set up its line.
struct Printers {
    std::vector<pid_t> pids;
    std::vector<std::string> links;

    Printers(const std::string& dir, int count) {
        const std::string sim = Program("M301SIM", M301SIM_PROGRAM);
        for (int i = 0; i < count; ++i) {
            const std::string link = dir + "/p" + std::to_string(i);
            pid_t pid = fork();
            if (pid == 0) {
                CloseInherited();
                if (!freopen("/dev/null", "w", stderr)) _exit(126);
                execl(sim.c_str(), sim.c_str(), "--link", link.c_str(), "--wire-speed", nullptr);
                _exit(127);
            }
            gChildren.insert(pid);
            pids.push_back(pid);
            links.push_back(link);
        }
        for (const std::string& link : links) {
            for (int i = 0; i < 400 && access(link.c_str(), F_OK) != 0; ++i) usleep(25000);
            if (access(link.c_str(), F_OK) != 0) {
                fprintf(stderr, "the simulator did not come up on %s\n", link.c_str());
                exit(1);
            }
        }
    }
    ~Printers() {
        for (pid_t pid : pids) kill(pid, SIGTERM);
        for (pid_t pid : pids) Ended(pid);
    }
    // utime + stime of them all, in seconds.
    double CpuSeconds() const;
};

double ProcessCpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(in, text);
    // The name may hold spaces: the fields start after its closing ')'.
    size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double Printers::CpuSeconds() const {
    double total = 0;
    for (pid_t pid : pids) total += ProcessCpuSeconds(pid);
    return total;
}

// The machine's busy share between two readings of /proc/stat.
struct MachineCpu {
    unsigned long long busy = 0, all = 0;
    static MachineCpu Read() {
        std::ifstream in("/proc/stat");
        std::string cpu;
        in >> cpu;
        MachineCpu m;
        unsigned long long value;
        for (int i = 0; i < 8 && in >> value; ++i) {
            m.all += value;
            if (i != 3 && i != 4) m.busy += value;  // idle and iowait
        }
        return m;
    }
};

// brenvikd as a child process, serving the printers p0..p(count-1).
struct Daemon {
    pid_t pid = -1;
    int port = 0;

    Daemon(const std::string& dir, const std::string& ledger, const Printers& printers, int count) {
        port = FreePort();
        std::vector<std::string> args = {Program("BRENVIKD", BRENVIKD_PROGRAM), "--listen",
                                         "127.0.0.1:" + std::to_string(port), "--ledger", dir + "/" + ledger,
                                         "--log-dir", dir + "/logs",
                                         // Every till of the bench is 127.0.0.1: a shop's have addresses of their own.
                                         "--client-connections", "256"};
        for (int i = 0; i < count; ++i) {
            args.push_back("--printer");
            args.push_back("p" + std::to_string(i) + "=" + printers.links[static_cast<size_t>(i)]);
        }
        const std::string out = dir + "/" + ledger + ".out";
        pid = fork();
        if (pid == 0) {
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            CloseInherited();
            if (!freopen(out.c_str(), "w", stderr)) _exit(126);
            execv(argv[0], argv.data());
            _exit(127);
        }
        gChildren.insert(pid);
        httplib::Client client("127.0.0.1", port);
        for (int i = 0; i < 1200; ++i) {
            auto res = client.Get("/printers");
            if (res && res->status == 200) {
                json list = json::parse(res->body)["printers"];
                if (static_cast<int>(list.size()) == count &&
                    std::all_of(list.begin(), list.end(), [](const json& p) { return p["connection"] == "online"; }))
                    return;
            }
            usleep(50000);
        }
        fprintf(stderr, "brenvikd did not bring its %d printers online (see %s)\n", count, out.c_str());
        exit(1);
    }
    ~Daemon() { Ended(pid); }
    long StatusKb(const char* key) const {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string word;
        while (status >> word) {
            if (word == key) {
                long value = 0;
                status >> value;
                return value;
            }
            status.ignore(1 << 12, '\n');
        }
        return -1;
    }
    long RssKb() const { return StatusKb("VmRSS:"); }
    long Threads() const { return StatusKb("Threads:"); }
    double CpuSeconds() const { return ProcessCpuSeconds(pid); }
};

long LastCheckNumber(int port, int printer) {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(60, 0);
    auto res = client.Get("/printers/p" + std::to_string(printer) + "/documents/documents");
    if (!res || res->status != 200) return -1;
    return json::parse(res->body)["lastCheckNumber"].get<long>();
}

// Clients on printers [0, count), each printing one receipt after another
// until `seconds` have passed.
struct Load {
    long receipts = 0;
    long failures = 0;
    double elapsed = 0;
    bool once = true;  // every printer's counter moved by its receipts, numbers unique
};

// The same without the service: a thread per printer on the C API.
Load RunDirect(const std::string& dir, const Printers& printers, int count, double seconds) {
    std::atomic<long> receipts{0}, failures{0};
    const double start = Now(), stop = start + seconds;
    std::vector<std::thread> threads;
    for (int p = 0; p < count; ++p) {
        threads.emplace_back([&, p] {
            brenvik_printer* printer = nullptr;
            const std::string logs = dir + "/logs/direct-p" + std::to_string(p);
            mkdir(logs.c_str(), 0700);
            if (brenvik_create(&printer) != BRENVIK_OK || brenvik_set_log_directory(printer, logs.c_str()) != BRENVIK_OK ||
                brenvik_connect_device(printer, printers.links[static_cast<size_t>(p)].c_str(), "Bench", "0000") !=
                    BRENVIK_OK) {
                ++failures;
                brenvik_close(printer);
                return;
            }
            for (int i = 0; Now() < stop; ++i) {
                brenvik_receipt_result result{};
                result.size = sizeof result;
                const std::string receipt = Receipt("direct-" + std::to_string(p) + "-" + std::to_string(i));
                if (brenvik_receipt_print(printer, receipt.c_str(), nullptr, nullptr, &result) == BRENVIK_OK) {
                    ++receipts;
                } else {
                    ++failures;
                    usleep(100000);
                }
            }
            brenvik_close(printer);
        });
    }
    for (auto& t : threads) t.join();
    Load load;
    load.elapsed = Now() - start;
    load.receipts = receipts;
    load.failures = failures;
    return load;
}

Load RunLoad(const Daemon& daemon, int count, double seconds, const std::string& tag) {
    std::vector<long> before(static_cast<size_t>(count));
    for (int p = 0; p < count; ++p) before[static_cast<size_t>(p)] = LastCheckNumber(daemon.port, p);
    std::mutex mutex;
    std::vector<std::set<long>> numbers(static_cast<size_t>(count));
    Load load;
    const double start = Now(), stop = start + seconds;
    std::vector<std::thread> clients;
    for (int p = 0; p < count; ++p) {
        clients.emplace_back([&, p] {
            httplib::Client client("127.0.0.1", daemon.port);
            client.set_read_timeout(120, 0);
            client.set_keep_alive(true);  // a till keeps its connection
            const std::string route = "/printers/p" + std::to_string(p) + "/receipt";
            for (int i = 0; Now() < stop; ++i) {
                auto res = client.Post(route, Receipt(tag + "-" + std::to_string(p) + "-" + std::to_string(i)),
                                       "application/json");
                std::lock_guard<std::mutex> lock(mutex);
                if (res && res->status == 200) {
                    ++load.receipts;
                    if (!numbers[static_cast<size_t>(p)].insert(json::parse(res->body)["checkNumber"].get<long>())
                             .second)
                        load.once = false;
                } else {
                    usleep(100000);  // not a loop of refusals
                    ++load.failures;
                    if (load.failures <= 3)
                        fprintf(stderr, "receipt on p%d failed: %s\n", p,
                                res ? (std::to_string(res->status) + " " + res->body).c_str()
                                    : httplib::to_string(res.error()).c_str());
                }
            }
        });
    }
    for (auto& t : clients) t.join();
    load.elapsed = Now() - start;
    for (int p = 0; p < count; ++p) {
        const long moved = LastCheckNumber(daemon.port, p) - before[static_cast<size_t>(p)];
        if (before[static_cast<size_t>(p)] < 0 || moved != static_cast<long>(numbers[static_cast<size_t>(p)].size()))
            load.once = false;
    }
    return load;
}

double Percentile(std::vector<double> values, double share) {
    if (values.empty()) return 1e9;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(static_cast<double>(values.size()) * share))];
}

void Print(const char* what, double measured, const char* relation, double target, const char* detail) {
    const bool met = relation[0] == '<' ? measured <= target : measured >= target;
    printf("%-58s %8.3f   target %s %.2f   %s\n   %s\n", what, measured, relation, target, met ? "PASS" : "MISS",
           detail);
}

}  // namespace

int main() {
    const int count = EnvInt("FLEET_PRINTERS", 64);
    const int seconds = EnvInt("FLEET_SECONDS", 20);
    const int few = std::min(4, count);
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/brenvikd-fleet.XXXXXX";
    std::string dir = mkdtemp(pattern.data());
    signal(SIGPIPE, SIG_IGN);
    atexit(KillChildren);
    mkdir((dir + "/logs").c_str(), 0700);

    printf("brenvikd_fleet_bench: %d m301sim at wire speed, %d-line receipts, %d s per run\n\n", count, kLines,
           seconds);
    fflush(stdout);
    Printers printers(dir, count);

    // Idle with a few printers, then with all of them: the status refresh
    // has run a few times before memory is read.
    long fewKb = 0;
    {
        Daemon daemon(dir, "few.db", printers, few);
        sleep(5);
        fewKb = daemon.RssKb();
    }
    // What the machine allows without the service.
    const double benchCpuBefore = ProcessCpuSeconds(getpid());
    Load direct = RunDirect(dir, printers, count, seconds);
    const double directCpu = ProcessCpuSeconds(getpid()) - benchCpuBefore;
    const double directRate = static_cast<double>(direct.receipts) / direct.elapsed;

    Daemon daemon(dir, "fleet.db", printers, count);
    const double idleCpuBefore = daemon.CpuSeconds();
    sleep(5);
    const double idleCpu = (daemon.CpuSeconds() - idleCpuBefore) / 5;
    const long idleKb = daemon.RssKb();
    const long idleThreads = daemon.Threads();

    // One client on one printer, the others idle.
    Load single = RunLoad(daemon, 1, seconds, "single");
    const double singleRate = static_cast<double>(single.receipts) / single.elapsed;

    // All of them, with /status polled meanwhile and memory watched.
    std::atomic<bool> done{false};
    std::vector<double> latencies;
    long loadKb = 0, loadThreads = 0;
    std::thread poller([&] {
        httplib::Client client("127.0.0.1", daemon.port);
        for (int i = 0; !done; ++i) {
            const double start = Now();
            auto res = client.Get("/printers/p" + std::to_string(i % count) + "/status");
            if (res && res->status == 200) latencies.push_back(Now() - start);
            loadKb = std::max(loadKb, daemon.RssKb());
            loadThreads = std::max(loadThreads, daemon.Threads());
            usleep(10000);
        }
    });
    const double cpuBefore = daemon.CpuSeconds(), simBefore = printers.CpuSeconds();
    const MachineCpu machineBefore = MachineCpu::Read();
    Load fleet = RunLoad(daemon, count, seconds, "fleet");
    const double cpu = daemon.CpuSeconds() - cpuBefore, simCpu = printers.CpuSeconds() - simBefore;
    const MachineCpu machineAfter = MachineCpu::Read();
    done = true;
    poller.join();
    const double fleetRate = static_cast<double>(fleet.receipts) / fleet.elapsed;
    const double machineBusy = static_cast<double>(machineAfter.busy - machineBefore.busy) /
                               static_cast<double>(std::max(1ULL, machineAfter.all - machineBefore.all));

    char detail[300];
    snprintf(detail, sizeof detail,
             "%.1f receipts/s from %d printers (%ld in %.1f s); one printer alone %.2f/s (%ld in %.1f s)",
             fleetRate, count, fleet.receipts, fleet.elapsed, singleRate, single.receipts, single.elapsed);
    Print("1. receipts/s of all / (printers x one alone)", fleetRate / (count * singleRate), ">=", 0.95, detail);
    printf("   without the service, %d threads on the C API: %.1f receipts/s (%ld failed), %.2f CPU ms each; the "
           "service reaches %.2f of that\n",
           count, directRate, direct.failures, directCpu / std::max(1L, direct.receipts) * 1e3,
           fleetRate / directRate);
    snprintf(detail, sizeof detail,
             "%.2f CPU s over %.1f s; the simulators %.2f CPU s; the machine (%ld cores) %.0f%% busy",
             cpu, fleet.elapsed, simCpu, sysconf(_SC_NPROCESSORS_ONLN), machineBusy * 100);
    printf("%-58s %8.3f   (informational)\n   %s\n", "2. brenvikd CPU ms per receipt", cpu / fleet.receipts * 1e3,
           detail);
    snprintf(detail, sizeof detail,
             "idle %.1f MB with %ld threads, %.1f%% of a core (status refreshes); under load at most %.1f MB, "
             "%ld threads",
             idleKb / 1024.0, idleThreads, idleCpu * 100, loadKb / 1024.0, loadThreads);
    printf("%-58s %8.1f   (informational)\n   %s\n", "3. brenvikd RSS, MB, idle with all printers", idleKb / 1024.0,
           detail);
    snprintf(detail, sizeof detail, "%zu status calls; median %.1f ms", latencies.size(),
             Percentile(latencies, 0.5) * 1e3);
    Print("4. GET /status p99 while all print, ms", Percentile(latencies, 0.99) * 1e3, "<=", 50, detail);
    snprintf(detail, sizeof detail, "idle %.1f MB with %d printers, %.1f MB with %d", fewKb / 1024.0, few,
             idleKb / 1024.0, count);
    Print("5. idle RSS per printer, MB", static_cast<double>(idleKb - fewKb) / 1024.0 / std::max(1, count - few),
          "<=", 1.0, detail);
    const bool once = single.once && fleet.once && single.failures == 0 && fleet.failures == 0;
    printf("6. every receipt answered and printed once: %s (%ld failed)\n", once ? "yes" : "NO",
           single.failures + fleet.failures);
    std::string cleanup = "rm -rf " + dir;
    if (system(cleanup.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());
    return once ? 0 : 1;
}
