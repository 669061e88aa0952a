// The printer on a line: a pseudo-terminal (or a serial device), served by
// one background thread, with the control socket beside it.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include "sim/m301sim.h"

namespace m301sim {
namespace {

// 115200 baud, 8 data bits, even parity, two stop bits: 12 bits a byte.
constexpr std::chrono::nanoseconds kByteTime{1000000000LL * 12 / 115200};
constexpr std::chrono::nanoseconds kFrame{1000000};
// A babbling printer's bytes leave in slices this far apart.
constexpr int kBabbleTickMs = 10;

std::string Errno(const std::string& what, int err) { return what + ": " + std::strerror(err); }

// The same line settings as the engine's, but without XON/XOFF: on our side
// every byte is data, so a length byte of 0x13 or 0x11 in a command is never
// taken for flow control.
bool ConfigureLine(int fd, std::string* error) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        if (error) *error = Errno("tcgetattr", errno);
        return false;
    }
    cfmakeraw(&tio);
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | ISTRIP);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARODD | CRTSCTS);
    tio.c_cflag |= CS8 | PARENB | CSTOPB | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    // A pseudo-terminal keeps no parity setting, and glibc may then answer
    // EINVAL although everything else was applied.
    if (tcsetattr(fd, TCSANOW, &tio) != 0 && errno != EINVAL) {
        if (error) *error = Errno("tcsetattr", errno);
        return false;
    }
    return true;
}

}  // namespace

struct PtyPrinter::Impl {
    Printer& printer;
    Options options;
    int lineFd = -1;
    int slaveFd = -1;  // held open so that the master never sees a hang-up
    // Opens and closes of the slave by clients, watched so that the line
    // settings are ours again once the last client has closed it: Wine's
    // SetCommState fails with EINVAL when a client's settings are already
    // there (the pseudo-terminal refuses parity, and a request whose other
    // flags change nothing is refused whole), so the next client must find ours.
    int watchFd = -1;
    int openers = 0;
    int listenFd = -1;
    int wake[2] = {-1, -1};
    std::map<int, std::string> clients;  // control connections and their partial lines
    std::thread thread;
    std::string linePath;
    bool linkMade = false, controlMade = false;

    Impl(Printer& p, const Options& o) : printer(p), options(o) {}

    bool Stopping() {
        pollfd p{wake[0], POLLIN, 0};
        return poll(&p, 1, 0) > 0;
    }

    // Sleeps, but returns false at once when Stop() is called.
    bool Pause(std::chrono::nanoseconds d) {
        const int ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
        if (ms <= 0) {
            if (d.count() > 0) std::this_thread::sleep_for(d);
            return !Stopping();
        }
        pollfd p{wake[0], POLLIN, 0};
        return poll(&p, 1, ms) == 0;
    }

    // `socket`: a control connection, where a peer that hung up must give
    // EPIPE, not a SIGPIPE that ends the process hosting the printer.
    bool WriteAll(int fd, const char* data, size_t n, bool socket = false) {
        while (n > 0) {
            const ssize_t w = socket ? send(fd, data, n, MSG_NOSIGNAL) : write(fd, data, n);
            if (w > 0) {
                data += w;
                n -= static_cast<size_t>(w);
                continue;
            }
            if (w < 0 && errno != EAGAIN && errno != EINTR) return false;
            pollfd p[2] = {{fd, POLLOUT, 0}, {wake[0], POLLIN, 0}};
            if (poll(p, 2, 1000) > 0 && (p[1].revents & POLLIN)) return false;
        }
        return true;
    }

    // What the printer has to send, each piece with the moment it is due.
    // Pieces go out in order; a pause counts from the piece before, so a
    // delayed reply also holds back the replies after it, as one printer
    // answering in turn would. Meanwhile the line and the control socket
    // are still served.
    struct Due {
        std::chrono::steady_clock::time_point at;
        std::string bytes;
    };
    std::deque<Due> outgoing;
    // Babbling: when it began and how many bytes the line has carried since.
    bool babbleRunning = false;
    std::chrono::steady_clock::time_point babbleStart;
    long long babbleSent = 0;

    void Queue(const Reply& reply) {
        auto at = std::chrono::steady_clock::now();
        if (!outgoing.empty()) at = std::max(at, outgoing.back().at);
        for (const Chunk& c : reply) {
            at += std::chrono::milliseconds(c.delayMs);
            outgoing.push_back({at, c.bytes});
        }
    }

    // Sends the pieces that are due; false when Stop() came meanwhile.
    bool SendDue() {
        while (!outgoing.empty() && outgoing.front().at <= std::chrono::steady_clock::now()) {
            const std::string bytes = std::move(outgoing.front().bytes);
            outgoing.pop_front();
            if (!options.wireSpeed) {
                if (!WriteAll(lineFd, bytes.data(), bytes.size())) return !Stopping();
                continue;
            }
            // No byte leaves before its wire time; what is due goes in one
            // write at most every millisecond, as a USB-serial adapter hands
            // bytes on in 1 ms frames. Waking per byte would cost a fleet of
            // printers more CPU than the line ever could.
            const auto start = std::chrono::steady_clock::now();
            size_t sent = 0;
            while (sent < bytes.size()) {
                const auto now = std::chrono::steady_clock::now();
                const size_t due = std::min(bytes.size(), static_cast<size_t>((now - start) / kByteTime) + 1);
                if (due > sent) {
                    if (!WriteAll(lineFd, &bytes[sent], due - sent)) return !Stopping();
                    sent = due;
                }
                if (sent == bytes.size()) break;
                const auto next = std::max(start + kByteTime * static_cast<long>(sent), now + kFrame);
                if (!Pause(next - std::chrono::steady_clock::now())) return false;
            }
        }
        return true;
    }

    // A babbling printer sends at line speed whenever no reply is due.
    // Bytes the other side does not take in time are lost, as on a serial
    // line, so the control socket is never held up by a full line.
    void SendBabble() {
        if (!printer.Babbling()) {
            babbleRunning = false;
            return;
        }
        if (!outgoing.empty()) return;  // the reply it talks after goes first
        const auto now = std::chrono::steady_clock::now();
        if (!babbleRunning) {
            babbleRunning = true;
            babbleStart = now;
            babbleSent = 0;
        }
        const long long due = (now - babbleStart) / kByteTime + 1 - babbleSent;
        if (due <= 0) return;
        const std::string bytes = printer.Babble(static_cast<size_t>(std::min(due, 4096LL)));
        babbleSent += due;
        if (!bytes.empty() && write(lineFd, bytes.data(), bytes.size()) < 0) {
            // EAGAIN: the other side's buffer is full, and the bytes are lost
        }
    }

    // Milliseconds poll may sleep: until the next piece is due or the
    // printer's receive time-out runs out; -1 for nothing pending.
    int PollTimeout() const {
        long ms = printer.MsUntilPoll();
        if (babbleRunning) ms = ms < 0 ? kBabbleTickMs : std::min<long>(ms, kBabbleTickMs);
        if (!outgoing.empty()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(outgoing.front().at -
                                                                                   std::chrono::steady_clock::now());
            const long due = std::max(0L, static_cast<long>(left.count()) + 1);
            ms = ms < 0 ? due : std::min(ms, due);
        }
        return static_cast<int>(ms);
    }

    void ServeClient(int fd) {
        char buf[1024];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
            close(fd);
            clients.erase(fd);
            return;
        }
        std::string& pending = clients[fd];
        pending.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            const std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            const std::string answer = printer.Control(line) + "\n";
            if (!WriteAll(fd, answer.data(), answer.size(), true)) break;
        }
        if (pending.size() > 4096) pending.clear();  // not a line-oriented client
    }

    // Counts the clients' opens and closes of the slave; when the last one
    // has closed it, puts the line settings back. Events come in order, so
    // a client that opened meanwhile keeps its settings.
    void WatchClients() {
        alignas(inotify_event) char buf[4096];
        bool closed = false;
        for (;;) {
            const ssize_t n = read(watchFd, buf, sizeof buf);
            if (n <= 0) break;
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
                if (e->mask & IN_OPEN) ++openers;
                if ((e->mask & IN_CLOSE) && openers > 0) {
                    --openers;
                    closed = true;
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
        }
        if (closed && openers == 0) ConfigureLine(slaveFd, nullptr);
    }

    void Run() {
        std::vector<char> buf(4096);
        for (;;) {
            std::vector<pollfd> fds;
            fds.push_back({wake[0], POLLIN, 0});
            fds.push_back({lineFd, POLLIN, 0});
            if (listenFd >= 0) fds.push_back({listenFd, POLLIN, 0});
            for (const auto& c : clients) fds.push_back({c.first, POLLIN, 0});
            if (watchFd >= 0) fds.push_back({watchFd, POLLIN, 0});
            if (poll(fds.data(), fds.size(), PollTimeout()) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[0].revents) return;
            if (watchFd >= 0 && fds.back().revents) WatchClients();
            Queue(printer.Poll());
            if (fds[1].revents & POLLIN) {
                const ssize_t n = read(lineFd, buf.data(), buf.size());
                if (n > 0) Queue(printer.Feed(std::string(buf.data(), static_cast<size_t>(n))));
            } else if (fds[1].revents & (POLLHUP | POLLERR)) {
                // A serial device without a peer: do not spin.
                if (!Pause(std::chrono::milliseconds(50))) return;
            }
            size_t next = 2;
            if (listenFd >= 0) {
                if (fds[2].revents & POLLIN) {
                    const int c = accept(listenFd, nullptr, nullptr);
                    if (c >= 0) {
                        fcntl(c, F_SETFL, fcntl(c, F_GETFL) | O_NONBLOCK);
                        clients[c];
                    }
                }
                next = 3;
            }
            const size_t end = watchFd >= 0 ? fds.size() - 1 : fds.size();
            for (size_t i = next; i < end; ++i)
                if (fds[i].revents) ServeClient(fds[i].fd);
            if (!SendDue()) return;
            SendBabble();
        }
    }

    bool OpenLine(std::string* error) {
        if (!options.device.empty()) {
            lineFd = open(options.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (lineFd < 0) {
                if (error) *error = Errno("cannot open " + options.device, errno);
                return false;
            }
            linePath = options.device;
            return ConfigureLine(lineFd, error);
        }
        lineFd = posix_openpt(O_RDWR | O_NOCTTY);
        if (lineFd < 0 || grantpt(lineFd) != 0 || unlockpt(lineFd) != 0) {
            if (error) *error = Errno("cannot create a pseudo-terminal", errno);
            return false;
        }
        char name[256];
        if (ptsname_r(lineFd, name, sizeof name) != 0) {
            if (error) *error = Errno("ptsname", errno);
            return false;
        }
        linePath = name;
        slaveFd = open(name, O_RDWR | O_NOCTTY);
        if (slaveFd < 0) {
            if (error) *error = Errno("cannot open " + linePath, errno);
            return false;
        }
        if (!ConfigureLine(slaveFd, error)) return false;
        fcntl(lineFd, F_SETFL, fcntl(lineFd, F_GETFL) | O_NONBLOCK);
        // Best effort: without the watch only the first Wine client works.
        watchFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (watchFd >= 0 && inotify_add_watch(watchFd, name, IN_OPEN | IN_CLOSE) < 0) {
            close(watchFd);
            watchFd = -1;
        }
        return true;
    }

    bool OpenControl(std::string* error) {
        const std::string& path = options.control;
        sockaddr_un addr{};
        if (path.size() >= sizeof addr.sun_path) {
            if (error) *error = "the control socket path is too long: " + path;
            return false;
        }
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0) {
            if (!S_ISSOCK(st.st_mode)) {
                if (error) *error = path + " exists and is not a socket; not replacing it";
                return false;
            }
            unlink(path.c_str());  // left over from an earlier run
        }
        listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        if (listenFd < 0 || bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(listenFd, 8) != 0) {
            if (error) *error = Errno("cannot listen on " + path, errno);
            return false;
        }
        controlMade = true;
        return true;
    }

    bool MakeLink(std::string* error) {
        const std::string& link = options.link;
        struct stat st {};
        if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            if (error) *error = link + " exists and is not a symbolic link; not replacing it";
            return false;
        }
        // Made under a temporary name and renamed: the link appears whole,
        // replacing a stale one in the same step.
        const std::string tmp = link + ".m301sim-" + std::to_string(getpid());
        unlink(tmp.c_str());
        if (symlink(linePath.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), link.c_str()) != 0) {
            const int err = errno;
            unlink(tmp.c_str());
            if (error) *error = Errno("cannot create the link " + link, err);
            return false;
        }
        linkMade = true;
        return true;
    }

    // Another printer may have taken the link over since; leave it to it.
    bool LinkIsOurs() const {
        char target[512];
        const ssize_t n = readlink(options.link.c_str(), target, sizeof target - 1);
        return n > 0 && std::string(target, static_cast<size_t>(n)) == linePath;
    }

    void Close() {
        for (const auto& c : clients) close(c.first);
        clients.clear();
        for (int* fd : {&lineFd, &slaveFd, &watchFd, &listenFd, &wake[0], &wake[1]}) {
            if (*fd >= 0) close(*fd);
            *fd = -1;
        }
        if (linkMade && LinkIsOurs()) unlink(options.link.c_str());
        if (controlMade) unlink(options.control.c_str());
        linkMade = controlMade = false;
        openers = 0;
    }
};

PtyPrinter::PtyPrinter(Printer& printer, const Options& options) : impl_(new Impl(printer, options)) {}

PtyPrinter::~PtyPrinter() { Stop(); }

bool PtyPrinter::Start(std::string* error) {
    Impl& d = *impl_;
    if (d.thread.joinable()) return true;
    if (d.options.link.empty() == d.options.device.empty()) {
        if (error) *error = "give either a link path or a device";
        return false;
    }
    if (pipe2(d.wake, O_CLOEXEC) != 0) {
        if (error) *error = Errno("pipe", errno);
        return false;
    }
    if (!d.OpenLine(error) || (!d.options.control.empty() && !d.OpenControl(error))) {
        d.Close();
        return false;
    }
    d.thread = std::thread([&d] { d.Run(); });
    if (!d.options.link.empty() && !d.MakeLink(error)) {
        Stop();
        return false;
    }
    return true;
}

void PtyPrinter::Stop() {
    Impl& d = *impl_;
    if (d.thread.joinable()) {
        const char c = 'q';
        if (write(d.wake[1], &c, 1) < 0) {
            // The pipe is ours and empty; a failed write leaves nothing to do.
        }
        d.thread.join();
    }
    d.Close();
}

std::string PtyPrinter::LinePath() const { return impl_->linePath; }

}  // namespace m301sim
