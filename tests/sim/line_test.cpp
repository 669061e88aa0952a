// The printer on a real pseudo-terminal, seen through a slave configured as
// the engine configures its port, and the m301sim program itself.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/sim/sim_test_util.h"

namespace simtest {
namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// The engine's side: raw 8E2 with XON/XOFF, XON character 0.
int OpenLikeTheEngine(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return -1;
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    t.c_cflag |= PARENB | CSTOPB | CLOCAL | CREAD;
    t.c_iflag |= IXON | IXANY | IXOFF;
    t.c_cc[VSTART] = 0;
    t.c_cc[VSTOP] = 0x13;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);  // a pty may answer EINVAL for the parity it does not keep
    return fd;
}

// Reads until the reply ends as the engine's end test says (READY and then
// exactly two bytes) or `ms` pass.
std::string ReadReply(int fd, int ms = 2000) {
    std::string got;
    const auto start = Clock::now();
    for (;;) {
        const size_t r = got.find("READY");
        if (r != std::string::npos && got.size() == r + 7) return got;
        const long long left = ms - MsSince(start);
        if (left <= 0) return got;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char buf[512];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
}

std::string Exchange(int fd, const std::string& text) {
    const std::string block = m301sim::Frame(text);
    EXPECT_EQ(write(fd, block.data(), block.size()), static_cast<ssize_t>(block.size()));
    return ReadReply(fd);
}

bool WaitFor(const std::string& path, int ms) {
    const auto start = Clock::now();
    struct stat st {};
    while (lstat(path.c_str(), &st) != 0) {
        if (MsSince(start) > ms) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

class Line : public ::testing::Test {
protected:
    void SetUp() override {
        char d[] = "/tmp/m301sim-line-XXXXXX";
        ASSERT_NE(mkdtemp(d), nullptr);
        dir = d;
        options.link = dir + "/com3";
        options.control = dir + "/ctl";
    }
    void TearDown() override {
        if (fd >= 0) close(fd);
        server.reset();
        for (const char* f : {"/com3", "/ctl", "/paper.txt", "/state", "/state.tmp", "/err.txt"})
            std::remove((dir + f).c_str());
        rmdir(dir.c_str());
    }
    void Start(const m301sim::Config& c = m301sim::Config()) {
        printer.reset(new m301sim::Printer(c));
        server.reset(new m301sim::PtyPrinter(*printer, options));
        std::string error;
        ASSERT_TRUE(server->Start(&error)) << error;
        ASSERT_TRUE(Exists(options.link)) << "the link is there once Start returns";
        fd = OpenLikeTheEngine(options.link);
        ASSERT_GE(fd, 0);
    }
    std::string ControlSession(const std::string& lines, size_t answers) {
        const int s = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", options.control.c_str());
        EXPECT_EQ(connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(write(s, lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
        std::string got;
        const auto start = Clock::now();
        while (static_cast<size_t>(std::count(got.begin(), got.end(), '\n')) < answers && MsSince(start) < 2000) {
            pollfd p{s, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buf[2048];
            const ssize_t n = read(s, buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        close(s);
        return got;
    }

    std::string dir;
    m301sim::PtyPrinter::Options options;
    std::unique_ptr<m301sim::Printer> printer;
    std::unique_ptr<m301sim::PtyPrinter> server;
    int fd = -1;
};

TEST_F(Line, PrinterAnswersThroughTheEnginesLineDiscipline) {
    Start();
    ASSERT_EQ(write(fd, "UUUUU", 5), 5);
    EXPECT_EQ(ReadReply(fd), "\xFDREADY\x06\xFE");
    const std::string conf = Exchange(fd, "CONf");
    EXPECT_EQ(conf.size(), 155u + 7u + 8u) << "CONf, DONE and READY blocks arrive whole";
    EXPECT_EQ(Status(conf), "DONE");
    // GETD's 18 characters would give the length byte 0x13, which the
    // engine's line discipline swallows; the printer pads the text instead.
    const std::string getd = Exchange(fd, "GETD");
    EXPECT_EQ(Data(getd).size(), 19u);
    // Our own side keeps every byte: a command whose length byte is 0x13.
    const std::string upas = "UPAS0000Petrenko12";
    ASSERT_EQ(upas.size(), 18u);
    EXPECT_EQ(Status(Exchange(fd, upas)), "DONE");
    EXPECT_NE(printer->StateJson().find("\"cashier\":\"Petrenko12\""), std::string::npos);
}

TEST_F(Line, WithoutTheGuardTheEngineSideLosesTheXoffLengthByte) {
    m301sim::Config raw;
    raw.guardFlowControl = false;
    Start(raw);
    const std::string getd = Exchange(fd, "GETD");
    ASSERT_GE(getd.size(), 21u);
    EXPECT_EQ(getd.substr(0, 19), "\xFDGETD" + getd.substr(5, 14));
    EXPECT_EQ(getd[19], '\xFE') << "the 0x13 length byte never reached the engine side";
}

TEST_F(Line, AnUnfinishedBlockIsRefusedAfterTwoSecondsOfSilence) {
    Start();
    const auto start = Clock::now();
    ASSERT_EQ(write(fd, "\xFD" "CON", 4), 4);  // the sender died here
    EXPECT_EQ(ReadReply(fd, 4000), "\xFDSOFTTXTOUT\x0B\xFE\xFDREADY\x06\xFE") << "unasked, by the printer itself";
    EXPECT_GE(MsSince(start), 1990);
    EXPECT_LT(MsSince(start), 3000);
    ASSERT_EQ(write(fd, "UUUUU", 5), 5);
    EXPECT_EQ(ReadReply(fd), "\xFDREADY\x06\xFE") << "the block was dropped";
}

TEST_F(Line, ADelayedReplyHoldsBackTheNextButNotTheControlSocket) {
    Start();
    ASSERT_EQ(printer->Control("next delay 700"), "OK");
    const auto start = Clock::now();
    const std::string both = m301sim::Frame("GLCN") + m301sim::Frame("CTXT");
    ASSERT_EQ(write(fd, both.data(), both.size()), static_cast<ssize_t>(both.size()));
    EXPECT_EQ(ControlSession("state\n", 1).substr(0, 2), "{\"") << "answered during the delay";
    EXPECT_LT(MsSince(start), 600);
    std::string replies = ReadReply(fd, 1500);
    EXPECT_GE(MsSince(start), 690);
    replies += ReadReply(fd, 300);  // the second may have come in the same read
    const std::vector<std::string> blocks = Blocks(replies);
    ASSERT_EQ(blocks.size(), 5u);
    EXPECT_EQ(blocks[0].substr(0, 4), "GLCN") << "replies keep their order";
    EXPECT_EQ(std::vector<std::string>(blocks.begin() + 1, blocks.end()),
              (std::vector<std::string>{"DONE", "READY", "DONE", "READY"}));
}

TEST_F(Line, ControlSocketInjectsFaultsAndReportsState) {
    Start();
    const std::string answers = ControlSession("next error SOFTPAPER\nbogus\nstate\n", 3);
    std::istringstream in(answers);
    std::string ok, err, state;
    std::getline(in, ok);
    std::getline(in, err);
    std::getline(in, state);
    EXPECT_EQ(ok, "OK");
    EXPECT_EQ(err.substr(0, 4), "ERR ");
    EXPECT_EQ(state.substr(0, 15), "{\"check_open\":f");
    EXPECT_EQ(Status(Exchange(fd, "GLCN")), "SOFTPAPER");
    EXPECT_EQ(Status(Exchange(fd, "GLCN")), "DONE");
}

TEST_F(Line, ControlClientThatHangsUpDoesNotTakeThePrinterDown) {
    Start();
    for (int i = 0; i < 3; ++i) {
        const int s = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", options.control.c_str());
        ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        const std::string many = "state\nstate\nstate\n";
        ASSERT_EQ(write(s, many.data(), many.size()), static_cast<ssize_t>(many.size()));
        close(s);  // before any answer is read
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(ControlSession("key 1\n", 1), "OK\n");
    EXPECT_EQ(Status(Exchange(fd, "GLCN")), "DONE");
}

TEST_F(Line, SplitReplyArrivesInPiecesWithTheAskedPauses) {
    Start();
    ASSERT_EQ(printer->Control("next split 2 300"), "OK");
    const auto start = Clock::now();
    const std::string block = m301sim::Frame("GLCN");
    ASSERT_EQ(write(fd, block.data(), block.size()), static_cast<ssize_t>(block.size()));
    const std::string reply = ReadReply(fd, 3000);
    EXPECT_GE(MsSince(start), 290);
    EXPECT_EQ(Status(reply), "DONE");
}

TEST_F(Line, ABabblingPrinterTalksAtLineSpeedUntilTurnedOff) {
    Start();
    EXPECT_EQ(ControlSession("babble on\n", 1), "OK\n");
    const auto start = Clock::now();
    std::string got;
    while (MsSince(start) < 500) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buf[4096];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    const long long ms = MsSince(start);
    // 115200 baud at 12 bits a byte: 9600 bytes a second, never more.
    EXPECT_GE(got.size(), 1000u);
    EXPECT_LE(got.size(), static_cast<size_t>(9600 * (ms + 50) / 1000));
    for (char c : std::string("\x00\x11\x13\xFD\xFE", 5)) EXPECT_EQ(got.find(c), std::string::npos);
    EXPECT_NE(ControlSession("state\n", 1).find("\"babble\":true"), std::string::npos)
        << "the control socket is served while it talks";
    EXPECT_EQ(ControlSession("babble off\n", 1), "OK\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    tcflush(fd, TCIFLUSH);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    char buf[64];
    EXPECT_LE(read(fd, buf, sizeof buf), 0) << "silent once turned off";
    EXPECT_EQ(Status(Exchange(fd, "GLCN")), "DONE");
}

TEST_F(Line, WireSpeedPacesEveryByte) {
    options.wireSpeed = true;
    Start();
    const auto start = Clock::now();
    const std::string reply = Exchange(fd, "CFIS");  // 262 bytes: 27 ms at 115200 baud, 12 bits a byte
    EXPECT_EQ(reply.size(), 262u);
    EXPECT_GE(MsSince(start), 27);
}

TEST_F(Line, LinkReplacesAStaleOneAndGoesAwayOnStop) {
    ASSERT_EQ(symlink("/dev/null-gone", options.link.c_str()), 0);
    Start();
    char target[256] = {};
    ASSERT_GT(readlink(options.link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), server->LinePath());
    EXPECT_EQ(std::string(target).substr(0, 9), "/dev/pts/");
    server->Stop();
    EXPECT_FALSE(Exists(options.link));
    EXPECT_FALSE(Exists(options.control));
}

TEST_F(Line, APrinterThatLostItsLinkToANewerOneLeavesItInPlace) {
    Start();
    m301sim::Printer newer;
    m301sim::PtyPrinter::Options o;
    o.link = options.link;
    m301sim::PtyPrinter second(newer, o);
    std::string error;
    ASSERT_TRUE(second.Start(&error)) << error;
    server->Stop();
    char target[256] = {};
    ASSERT_GT(readlink(options.link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), second.LinePath());
    second.Stop();
    EXPECT_FALSE(Exists(options.link));
}

TEST_F(Line, AFileInThePlaceOfTheLinkIsNotReplaced) {
    std::ofstream(options.link) << "keep me";
    m301sim::Printer p;
    m301sim::PtyPrinter s(p, options);
    std::string error;
    EXPECT_FALSE(s.Start(&error));
    EXPECT_NE(error.find("not a symbolic link"), std::string::npos) << error;
    EXPECT_FALSE(Exists(options.control)) << "nothing is left behind";
    std::ifstream in(options.link);
    std::string kept;
    std::getline(in, kept);
    EXPECT_EQ(kept, "keep me");
}

TEST_F(Line, DeviceModeServesAnExistingTerminal) {
    // The far end of a cable: a pseudo-terminal whose slave plays the device.
    const int cable = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(cable, 0);
    ASSERT_EQ(grantpt(cable), 0);
    ASSERT_EQ(unlockpt(cable), 0);
    char name[128];
    ASSERT_EQ(ptsname_r(cable, name, sizeof name), 0);
    m301sim::Printer p;
    m301sim::PtyPrinter::Options device;
    device.device = name;
    m301sim::PtyPrinter s(p, device);
    std::string error;
    ASSERT_TRUE(s.Start(&error)) << error;
    EXPECT_EQ(s.LinePath(), name);
    ASSERT_EQ(write(cable, "UUUUU", 5), 5);
    EXPECT_EQ(ReadReply(cable), "\xFDREADY\x06\xFE");
    EXPECT_EQ(Status(Exchange(cable, "GLCN")), "DONE");
    s.Stop();
    close(cable);
}

// ---- the program ----------------------------------------------------------

struct Child {
    pid_t pid = -1;
    std::string err;  // where its standard error goes
};

Child Spawn(const std::vector<std::string>& args, const std::string& errFile) {
    Child r;
    r.err = errFile;
    r.pid = fork();
    if (r.pid == 0) {
        const int e = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(e, 1);
        dup2(e, 2);
        std::vector<char*> argv;
        static std::string program = M301SIM_PROGRAM;
        argv.push_back(&program[0]);
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return r;
}

int Wait(pid_t pid) {
    int status = 0;
    for (int i = 0; i < 500; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

std::string Slurp(const std::string& path) {
    std::ifstream f(path);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

TEST_F(Line, ProgramServesALinkAndLeavesCleanlyOnSigterm) {
    const Child r = Spawn({"--link", options.link, "--control", options.control, "--journal", dir + "/paper.txt",
                         "--state", dir + "/state"},
                        dir + "/err.txt");
    ASSERT_TRUE(WaitFor(options.link, 5000)) << Slurp(r.err);
    fd = OpenLikeTheEngine(options.link);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "UUUUU", 5), 5);
    EXPECT_EQ(ReadReply(fd), "\xFDREADY\x06\xFE");
    EXPECT_EQ(Status(Exchange(fd, ToPrinterText("UPAS0000Іван"))), "DONE");
    EXPECT_EQ(Status(Exchange(fd, "CAIOI0000001500")), "DONE");
    EXPECT_NE(ControlSession("state\n", 1).find("\"cash\":1500"), std::string::npos);
    close(fd);
    fd = -1;
    kill(r.pid, SIGTERM);
    EXPECT_EQ(Wait(r.pid), 0);
    EXPECT_FALSE(Exists(options.link));
    EXPECT_FALSE(Exists(options.control));
    EXPECT_NE(Slurp(dir + "/paper.txt").find("СЛУЖБОВЕ ВНЕСЕННЯ"), std::string::npos);
    EXPECT_NE(Slurp(dir + "/state").find("m301sim-state 1"), std::string::npos);

    // The cash is still there after a restart.
    const Child again = Spawn({"--link", options.link, "--control", options.control, "--state", dir + "/state"},
                            dir + "/err.txt");
    ASSERT_TRUE(WaitFor(options.control, 5000)) << Slurp(again.err);
    ASSERT_TRUE(WaitFor(options.link, 5000));
    EXPECT_NE(ControlSession("state\n", 1).find("\"cash\":1500"), std::string::npos);
    kill(again.pid, SIGINT);
    EXPECT_EQ(Wait(again.pid), 0);
}

TEST_F(Line, ProgramRefusesADamagedStateFile) {
    std::ofstream(dir + "/state") << "m301sim-state 1\ncounters 1 2 3 4\nend 0000000000000000\n";
    const Child r = Spawn({"--link", options.link, "--state", dir + "/state"}, dir + "/err.txt");
    EXPECT_EQ(Wait(r.pid), 2);
    EXPECT_NE(Slurp(r.err).find("damaged"), std::string::npos) << Slurp(r.err);
    EXPECT_FALSE(Exists(options.link));
}

TEST_F(Line, ProgramExplainsItselfAndRefusesNonsense) {
    const Child help = Spawn({"--help"}, dir + "/err.txt");
    EXPECT_EQ(Wait(help.pid), 0);
    struct Case {
        std::vector<std::string> args;
        const char* complaint;
    } cases[] = {
        {{}, "--link"},
        {{"--link", options.link, "--tax", "9=1.00"}, "--tax"},
        {{"--link", options.link, "--key", "3"}, "--key"},
        {{"--link", options.link, "--serial", "123"}, "--serial"},
        {{"--link", options.link, "--bogus"}, "unknown option"},
    };
    for (const Case& c : cases) {
        const Child r = Spawn(c.args, dir + "/err.txt");
        EXPECT_EQ(Wait(r.pid), 2);
        EXPECT_NE(Slurp(r.err).find(c.complaint), std::string::npos) << Slurp(r.err);
    }
}

}  // namespace
}  // namespace simtest
