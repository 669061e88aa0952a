// The serial line on POSIX terminals (termios, poll).
//
// Flow-control bytes in replies. The line runs XON/XOFF both ways with the
// printer's XON character 0, which termios reads as "no START character".
// Measured on Linux: a received 0x13 is taken out of the input and stops
// our output; a received 0x00 stays in the input as data. The reply bytes
// that can collide are the length bytes of blocks: a block text of 18
// characters carries 0x13 (that length byte never reaches the engine), one
// of 255 characters 0x00 (it arrives). IXANY makes the byte after a 0x13,
// which in a block is always 0xFE, restart our output, so a length byte
// cannot stall the next command.
#include "engine/link/serial_line_posix.h"

#include "engine/link/serial_baud_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#if defined(__linux__)
#include <sys/sysmacros.h>
#endif
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace brenvik {

namespace {

struct BaudEntry {
    uint32_t rate;
    speed_t constant;
};

// The printer's rates that termios has constants for. 14400 and 56000 have
// none; they go through termios2 where the system has it (Linux).
constexpr BaudEntry kBaudTable[] = {
    {1200, B1200},   {2400, B2400},   {4800, B4800},     {9600, B9600},
    {19200, B19200}, {38400, B38400}, {57600, B57600},   {115200, B115200},
};

bool SpeedFor(uint32_t rate, speed_t& constant) {
    for (const BaudEntry& e : kBaudTable) {
        if (e.rate == rate) {
            constant = e.constant;
            return true;
        }
    }
    return false;
}

uint32_t RateFor(speed_t constant) {
    for (const BaudEntry& e : kBaudTable) {
        if (e.constant == constant) return e.rate;
    }
    return 0;
}

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int Remaining(int64_t deadline) {
    const int64_t left = deadline - NowMs();
    if (left <= 0) return 0;
    return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

// A hung-up terminal (the far side of a pty closed) polls as permanently
// ready; waiting must not turn into a busy loop, so the rest of the time is
// slept.
void SleepMs(int ms) {
    while (ms > 0) {
        const int64_t start = NowMs();
        if (poll(nullptr, 0, ms) >= 0 || errno != EINTR) return;
        ms -= static_cast<int>(NowMs() - start);
    }
}

// A pseudo-terminal's slave side (Linux: majors 136-143). Its writes go
// straight into the far side's input, so it never holds an output queue.
bool IsPtySlave(int fd) {
#if defined(__linux__)
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const unsigned m = major(st.st_rdev);
    return m >= 136 && m <= 143;
#else
    (void)fd;
    return false;
#endif
}

bool ParsePortNumber(const char* digits, unsigned& number) {
    if (*digits == '\0') return false;
    unsigned value = 0;
    for (const char* p = digits; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + static_cast<unsigned>(*p - '0');
        if (value > 99999) return false;
    }
    if (value < 1) return false;
    number = value;
    return true;
}

}  // namespace

PosixSerialLine::~PosixSerialLine() { Close(); }

std::string PosixSerialLine::ResolvePortName(const char* name) {
    if (name == nullptr || *name == '\0') return std::string();
    if (name[0] == '/') return std::string(name);
    static const char kPrefix[] = "\\\\.\\";
    const size_t prefixLength = sizeof(kPrefix) - 1;
    if (std::strncmp(name, kPrefix, prefixLength) != 0) return std::string();
    const char* com = name + prefixLength;
    if ((com[0] != 'C' && com[0] != 'c') || (com[1] != 'O' && com[1] != 'o') ||
        (com[2] != 'M' && com[2] != 'm')) {
        return std::string();
    }
    unsigned number = 0;
    if (!ParsePortNumber(com + 3, number)) return std::string();

    const char* dir = std::getenv("BRENVIK_PORTS_DIR");
    if (dir != nullptr && *dir != '\0') {
        std::string mapped = std::string(dir) + "/com" + std::to_string(number);
        struct stat st;
        if (lstat(mapped.c_str(), &st) == 0) return mapped;
    }
    return "/dev/ttyS" + std::to_string(number - 1);
}

// Records why opening failed, in the kernel's words.
bool PosixSerialLine::Refuse(int error) {
    lastError_ = error;
    openFailure_.code = error;
    switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV: openFailure_.kind = LineFailureKind::NotFound; break;
    case EACCES:
    case EPERM: openFailure_.kind = LineFailureKind::Denied; break;
    case EBUSY:
    case EWOULDBLOCK: openFailure_.kind = LineFailureKind::Busy; break;
    case ENOTTY: openFailure_.kind = LineFailureKind::NotSerial; break;
    default: openFailure_.kind = LineFailureKind::Other; break;
    }
    openFailure_.text = error == EWOULDBLOCK ? "held by another program" : std::strerror(error);
    openFailure_.text += " (errno " + std::to_string(error) + ")";
    return false;
}

bool PosixSerialLine::Open(const char* name) {
    Close();
    openFailure_ = LineFailure();
    const std::string path = ResolvePortName(name);
    if (path.empty()) return Refuse(ENOENT);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Refuse(errno);
    if (!isatty(fd)) {
        ::close(fd);
        return Refuse(ENOTTY);
    }
    // No sharing: a port another program holds stays closed to us, and
    // the one we hold stays closed to others.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        return Refuse(error);
    }
    ioctl(fd, TIOCEXCL);  // also keeps out programs that do not flock
    fd_ = fd;
    hungUp_ = false;
    txEmptyPending_ = false;
    outputQueueless_ = IsPtySlave(fd);
    rxStart_ = rxEnd_ = 0;
    pending_.clear();
    eventMask_ = 0;
    inQueueSize_ = 1024;
    cached_ = LineSettings();
    timeouts_ = LineTimeouts();
    return true;
}

bool PosixSerialLine::SetQueueSizes(uint32_t inBytes, uint32_t /*outBytes*/) {
    // The kernel's queues have fixed sizes; the input size still bounds
    // what ClearErrors reports, as the driver queue would.
    if (fd_ < 0) return false;
    inQueueSize_ = inBytes == 0 ? 1024 : inBytes;
    return true;
}

bool PosixSerialLine::SetEventMask(uint32_t events) {
    if (fd_ < 0) return false;
    eventMask_ = events;
    return true;
}

bool PosixSerialLine::GetSettings(LineSettings& settings) {
    if (fd_ < 0) return false;
    termios t;
    if (tcgetattr(fd_, &t) != 0) {
        lastError_ = errno;
        return false;
    }
    settings = cached_;
    settings.baudRate = RateFor(cfgetospeed(&t));
    if (settings.baudRate == 0) settings.baudRate = ReadArbitraryBaudRate(fd_);
    settings.binary = true;
    settings.parityCheck = (t.c_iflag & INPCK) != 0;
#ifdef CRTSCTS
    settings.outxCtsFlow = (t.c_cflag & CRTSCTS) != 0;
#endif
    settings.outX = (t.c_iflag & IXON) != 0;
    settings.inX = (t.c_iflag & IXOFF) != 0;
    switch (t.c_cflag & CSIZE) {
    case CS5: settings.byteSize = 5; break;
    case CS6: settings.byteSize = 6; break;
    case CS7: settings.byteSize = 7; break;
    default: settings.byteSize = 8; break;
    }
    if ((t.c_cflag & PARENB) == 0) {
        settings.parity = Parity::None;
    } else {
#ifdef CMSPAR
        if ((t.c_cflag & CMSPAR) != 0) {
            settings.parity = (t.c_cflag & PARODD) != 0 ? Parity::Mark : Parity::Space;
        } else
#endif
        {
            settings.parity = (t.c_cflag & PARODD) != 0 ? Parity::Odd : Parity::Even;
        }
    }
    settings.stopBits = (t.c_cflag & CSTOPB) != 0 ? StopBits::Two : StopBits::One;
    settings.xonChar = static_cast<char>(t.c_cc[VSTART]);
    settings.xoffChar = static_cast<char>(t.c_cc[VSTOP]);
    return true;
}

bool PosixSerialLine::SetSettings(const LineSettings& s) {
    if (fd_ < 0) return false;
    termios t;
    if (tcgetattr(fd_, &t) != 0) {
        lastError_ = errno;
        return false;
    }
    speed_t speed = B0;
    const bool arbitrary = s.baudRate == 14400 || s.baudRate == 56000;
    if (arbitrary) {
        speed = B38400;  // stands in until termios2 sets the real rate
    } else if (!SpeedFor(s.baudRate, speed)) {
        lastError_ = EINVAL;
        return false;
    }
    if (s.stopBits == StopBits::OneAndHalf) {
        lastError_ = EINVAL;
        return false;
    }
    cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
#ifdef CMSPAR
    t.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
#ifdef CRTSCTS
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
    switch (s.byteSize) {
    case 5: t.c_cflag |= CS5; break;
    case 6: t.c_cflag |= CS6; break;
    case 7: t.c_cflag |= CS7; break;
    case 8: t.c_cflag |= CS8; break;
    default: lastError_ = EINVAL; return false;
    }
    switch (s.parity) {
    case Parity::None: break;
    case Parity::Even: t.c_cflag |= PARENB; break;
    case Parity::Odd: t.c_cflag |= PARENB | PARODD; break;
#ifdef CMSPAR
    case Parity::Mark: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case Parity::Space: t.c_cflag |= PARENB | CMSPAR; break;
#endif
    default: lastError_ = EINVAL; return false;
    }
    if (s.stopBits == StopBits::Two) t.c_cflag |= CSTOPB;
    t.c_cflag |= CREAD | CLOCAL;
#ifdef CRTSCTS
    if (s.outxCtsFlow || s.rtsControl == RtsControl::Handshake) t.c_cflag |= CRTSCTS;
#endif
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    // An XON character of 0 is the "disabled" value of termios: the
    // printer's XON would arrive as data and a received XOFF would stop our
    // output for good. IXANY lets any received byte, that XON included,
    // restart it.
    if (s.outX) t.c_iflag |= s.xonChar == 0 ? IXON | IXANY : IXON;
    if (s.inX) t.c_iflag |= IXOFF;
    t.c_iflag &= ~static_cast<tcflag_t>(PARMRK | IGNPAR);
    if (s.parityCheck) t.c_iflag |= INPCK | PARMRK;
    t.c_cc[VSTART] = static_cast<cc_t>(s.xonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(s.xoffChar);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    // glibc answers EINVAL when the driver did not keep PARENB, after the
    // settings were applied; a pseudo-terminal never keeps it. So EINVAL
    // is judged by reading back, like a partial success.
    if (tcsetattr(fd_, TCSANOW, &t) != 0 && errno != EINVAL) {
        lastError_ = errno;
        return false;
    }
    // Check the parts every terminal keeps. The character framing is not
    // checked: a pseudo-terminal reports CS8 without parity, whatever was
    // asked.
    termios back;
    if (tcgetattr(fd_, &back) != 0) {
        lastError_ = errno;
        return false;
    }
    const tcflag_t iflags = IXON | IXOFF | IXANY | INPCK;
    if ((back.c_iflag & iflags) != (t.c_iflag & iflags) || cfgetospeed(&back) != speed ||
        back.c_cc[VSTART] != t.c_cc[VSTART] || back.c_cc[VSTOP] != t.c_cc[VSTOP]) {
        lastError_ = EINVAL;
        return false;
    }
    if (arbitrary && !SetArbitraryBaudRate(fd_, s.baudRate)) {
        lastError_ = EINVAL;
        return false;
    }
    cached_ = s;
    markedErrors_ = (back.c_iflag & PARMRK) != 0 && (back.c_iflag & ISTRIP) == 0;
    markState_ = 0;
    // Modem lines; a pty has none and refuses quietly.
    int dtr = TIOCM_DTR;
    ioctl(fd_, s.dtrControl == DtrControl::Disable ? TIOCMBIC : TIOCMBIS, &dtr);
    if (s.rtsControl != RtsControl::Handshake) {
        int rts = TIOCM_RTS;
        ioctl(fd_, s.rtsControl == RtsControl::Enable ? TIOCMBIS : TIOCMBIC, &rts);
    }
    return true;
}

bool PosixSerialLine::SetTimeouts(const LineTimeouts& timeouts) {
    // Every wait and read of the link carries its own time-out, so the port
    // needs none of its own; the values are only kept.
    if (fd_ < 0) return false;
    timeouts_ = timeouts;
    return true;
}

void PosixSerialLine::Purge() {
    if (fd_ < 0) return;
    tcflush(fd_, TCIOFLUSH);
    pending_.clear();
    rxStart_ = rxEnd_ = 0;
    txEmptyPending_ = false;
}

void PosixSerialLine::SetDtr(bool raised) {
    if (fd_ < 0) return;
    int dtr = TIOCM_DTR;
    ioctl(fd_, raised ? TIOCMBIS : TIOCMBIC, &dtr);
}

uint32_t PosixSerialLine::ClearErrors() {
    // termios has no sticky line error to clear; report what waits. Taking
    // the bytes now (instead of counting them) spares Read its own call.
    if (fd_ < 0) return 0;
    if (!hungUp_) FillInput();
    return Buffered();
}

bool PosixSerialLine::FillInput() {
    const uint32_t limit = inQueueSize_ < sizeof rx_ ? inQueueSize_ : static_cast<uint32_t>(sizeof rx_);
    if (Buffered() >= limit) return true;
    if (rxStart_ > 0) {
        std::memmove(rx_, rx_ + rxStart_, Buffered());
        rxEnd_ -= rxStart_;
        rxStart_ = 0;
    }
    for (;;) {
        const ssize_t n = ::read(fd_, rx_ + rxEnd_, limit - rxEnd_);
        if (n > 0) {
            rxEnd_ += Unmark(rx_ + rxEnd_, static_cast<uint32_t>(n));
            return true;
        }
        if (n == 0) {
            hungUp_ = true;  // end of file: the far side of a pty is gone
            return false;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
        lastError_ = errno;
        if (errno == EIO) hungUp_ = true;
        return false;
    }
}

void PosixSerialLine::FlushPending() {
    while (!pending_.empty()) {
        const ssize_t n = ::write(fd_, pending_.data(), pending_.size());
        if (n > 0) {
            pending_.erase(pending_.begin(), pending_.begin() + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            // The device is gone (EIO on a hung-up pty): drop what cannot leave.
            lastError_ = errno;
            pending_.clear();
        }
        return;
    }
}

void PosixSerialLine::Write(const uint8_t* data, uint32_t count) {
    if (fd_ < 0 || data == nullptr || count == 0) return;
    pending_.insert(pending_.end(), data, data + count);
    FlushPending();
    txEmptyPending_ = true;
}

uint32_t PosixSerialLine::OutputQueued() const {
    int queued = 0;
    if (ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued < 0) return 0;
    return static_cast<uint32_t>(queued);
}

// While a TX-empty event is owed but the bytes are in the driver, poll has
// nothing to wake on: look again after about the time they take to leave.
int PosixSerialLine::DrainPollInterval(uint32_t queued) const {
    const uint32_t rate = cached_.baudRate == 0 ? 9600 : cached_.baudRate;
    const uint64_t ms = static_cast<uint64_t>(queued) * 11u * 1000u / rate + 1u;
    return ms > 20 ? 20 : static_cast<int>(ms);
}

WaitStatus PosixSerialLine::WaitEvent(uint32_t timeoutMs, uint32_t& events) {
    events = 0;
    if (fd_ < 0) return WaitStatus::Failed;
    const int64_t deadline = NowMs() + timeoutMs;
    const bool wantRx = (eventMask_ & kEventRxChar) != 0;
    bool polledIn = false;  // what poll found is the event: no second look
    for (;;) {
        // Also bytes ClearErrors took but Read has not handed out yet.
        if (wantRx && (polledIn || Buffered() > 0)) events |= kEventRxChar;
        if (hungUp_ && events == 0) {
            SleepMs(Remaining(deadline));
            return WaitStatus::TimedOut;
        }
        if (!pending_.empty()) FlushPending();
        // Bytes still in the driver: how long they take to leave sets the
        // next look.
        uint32_t queued = 0;
        const bool owed = (eventMask_ & kEventTxEmpty) != 0 && txEmptyPending_ && pending_.empty();
        if (owed) {
            queued = outputQueueless_ ? 0 : OutputQueued();
            if (queued == 0) {
                txEmptyPending_ = false;
                events |= kEventTxEmpty;
            }
        }
        if (events != 0) return WaitStatus::Signalled;

        const int left = Remaining(deadline);
        if (left == 0) return WaitStatus::TimedOut;
        pollfd p{};
        p.fd = fd_;
        p.events = static_cast<short>((wantRx ? POLLIN : 0) | (pending_.empty() ? 0 : POLLOUT));
        int interval = left;
        if (owed) {
            const int drain = DrainPollInterval(queued);
            if (drain < interval) interval = drain;
        }
        const int r = poll(&p, 1, interval);
        if (r < 0) {
            if (errno == EINTR) continue;
            lastError_ = errno;
            return WaitStatus::Failed;
        }
        if ((p.revents & POLLNVAL) != 0) return WaitStatus::Failed;
        if ((p.revents & POLLHUP) != 0) {
            hungUp_ = true;
            pending_.clear();
            txEmptyPending_ = false;
            continue;
        }
        // Once more round: output held by flow control may leave now.
        if (wantRx && (p.revents & POLLIN) != 0) polledIn = true;
    }
}

WaitStatus PosixSerialLine::Read(uint8_t* buffer, uint32_t count, uint32_t timeoutMs, uint32_t& got) {
    got = 0;
    if (fd_ < 0 || buffer == nullptr) return WaitStatus::Failed;
    const int64_t deadline = NowMs() + timeoutMs;
    const uint32_t taken = Buffered() < count ? Buffered() : count;
    if (taken > 0) {
        std::memcpy(buffer, rx_ + rxStart_, taken);
        rxStart_ += taken;
        if (rxStart_ == rxEnd_) rxStart_ = rxEnd_ = 0;
        got = taken;
    }
    while (got < count) {
        const ssize_t n = ::read(fd_, buffer + got, count - got);
        if (n > 0) {
            got += Unmark(buffer + got, static_cast<uint32_t>(n));
            continue;
        }
        if (n == 0) {
            // End of file: the far side of a pty is gone.
            hungUp_ = true;
            return WaitStatus::TimedOut;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            lastError_ = errno;
            if (errno == EIO) hungUp_ = true;
            return WaitStatus::Failed;
        }
        const int left = Remaining(deadline);
        if (left == 0) return WaitStatus::TimedOut;
        pollfd p{};
        p.fd = fd_;
        p.events = POLLIN;
        const int r = poll(&p, 1, left);
        if (r < 0 && errno != EINTR) {
            lastError_ = errno;
            return WaitStatus::Failed;
        }
        if (r > 0 && (p.revents & POLLHUP) != 0 && (p.revents & POLLIN) == 0) {
            hungUp_ = true;
            return WaitStatus::TimedOut;
        }
    }
    return WaitStatus::Signalled;
}

uint32_t PosixSerialLine::Unmark(uint8_t* data, uint32_t n) {
    return markedErrors_ ? UnmarkLineErrors(data, n, markState_) : n;
}

uint32_t UnmarkLineErrors(uint8_t* data, uint32_t n, uint8_t& state) {
    uint32_t kept = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t c = data[i];
        if (state == 0) {
            if (c == 0xFF) {
                state = 1;
            } else {
                data[kept++] = c;
            }
        } else if (state == 1) {
            if (c == 0x00) {
                state = 2;  // the byte that had the error comes next
            } else {
                // A doubled 0xFF; anything else was never a mark (room for
                // both is there unless the 0xFF came in the previous read).
                if (c == 0xFF || kept < i) data[kept++] = 0xFF;
                if (c != 0xFF) data[kept++] = c;
                state = 0;
            }
        } else {
            data[kept++] = c;
            state = 0;
        }
    }
    return kept;
}

void PosixSerialLine::Sleep(uint32_t ms) {
    const int64_t deadline = NowMs() + ms;
    int left = Remaining(deadline);
    while (left > 0) {
        SleepMs(left);
        left = Remaining(deadline);
    }
}

uint64_t PosixSerialLine::NowMs() { return static_cast<uint64_t>(brenvik::NowMs()); }

void PosixSerialLine::Close() {
    if (fd_ < 0) return;
    // The exclusive flag outlives our descriptor on a pty slave.
    ioctl(fd_, TIOCNXCL);
    ::close(fd_);
    fd_ = -1;
    pending_.clear();
    rxStart_ = rxEnd_ = 0;
    txEmptyPending_ = false;
    hungUp_ = false;
}

}  // namespace brenvik
