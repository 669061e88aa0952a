// brenvik detect: which serial devices answer as this printer. Built on the
// C API only; the system's side (which devices there are, which ones other
// programs hold) is in a back end, detect_posix.cpp and detect_win32.cpp.
#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace brenvik::cli {

// What of the tool's global options a probe uses.
struct ProbeSettings {
    std::string cashier;
    std::string password;
    std::string logDir;     // "": the library's own choice
    double timeoutSeconds = 0;  // 0: the defaults below
};

// The "detect" subcommand, added to the tool at construction.
class DetectCommand {
public:
    explicit DetectCommand(CLI::App& app);
    // Whether the command line chose it.
    bool Chosen() const;
    // Probes, prints the list (text, or a JSON array with `json`) and gives
    // the exit code: 0 when a printer answered, 3 when none did.
    int Run(bool json, const ProbeSettings& settings) const;

private:
    CLI::App* command_;
    std::vector<std::string> paths_;
    bool all_ = false;
};

// ---- The back end --------------------------------------------------------

// Which devices are probed when none is named, for the help.
extern const char* const kProbedDevices;

// The serial devices of this system worth probing, stable names first
// (a /dev/serial/by-id link before the device it points at).
std::vector<std::string> SerialDevices();
// What a device name stands for, so that two names of one device count
// once: the device a link points at; the name itself when it is not there.
std::string DeviceBehind(const std::string& name);
// Of `devices` (as DeviceBehind gives them), those another process holds
// open, as far as this system lets us see; nothing is opened to find out.
std::vector<std::string> HeldElsewhere(const std::vector<std::string>& devices);

}  // namespace brenvik::cli
