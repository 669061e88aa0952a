// See detect.h. Every device is probed on a thread of its own with a short
// connecting budget, so that a row of silent ports costs about a second in
// all, not eight seconds each.
#include "cli/detect.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "brenvik/brenvik.h"

namespace brenvik::cli {

namespace {

using Json = nlohmann::ordered_json;

// One second of listening after the wake-up bytes is a whole handshake try.
// A budget under the 3 s of the DTR pulse leaves the pulse out: the pulse
// resets a hung printer, which a mere look must never do.
constexpr uint32_t kConnectMs = 1000;
constexpr uint32_t kLongestConnectMs = 2500;
constexpr uint32_t kReplyMs = 2000;

enum class State { Printer, Busy, Silent, Unavailable };

const char* StateName(State s) {
    switch (s) {
    case State::Printer: return "printer";
    case State::Busy: return "busy";
    case State::Silent: return "silent";
    case State::Unavailable: return "unavailable";
    }
    return "unavailable";
}

struct Device {
    std::string name;    // as shown: the stable name when there is one
    std::string behind;  // the device it is (DeviceBehind)
    State state = State::Unavailable;
    brenvik_config config{};  // Printer, when its configuration was read
    bool configRead = false;
    std::string message;      // why it is not a printer, or what failed after it answered
};

// The C API tells a busy device only in its advice; both platforms' words
// for it begin so.
bool BusyAdvice(const brenvik_error& e) {
    static const char kBusy[] = "another program holds the";
    return std::string(e.advice).compare(0, sizeof kBusy - 1, kBusy) == 0;
}

// The system's own words for a device that would not open: what follows
// the device's name in the message ("...(/dev/ttyS4): Input/output error (errno 5)").
std::string SystemWords(const brenvik_error& e) {
    const std::string message = e.message;
    const size_t at = message.rfind("): ");
    return at == std::string::npos ? std::string() : message.substr(at + 3);
}

// A handle ready to probe with. Made one after another: each opens the
// debug log, and one of them may archive it.
brenvik_printer* Prepare(const ProbeSettings& s) {
    brenvik_printer* p = nullptr;
    if (brenvik_create(&p) != BRENVIK_OK) return nullptr;
    const double seconds = s.timeoutSeconds;
    const uint32_t reply = seconds > 0 ? static_cast<uint32_t>(seconds * 1000) : kReplyMs;
    const uint32_t connect = seconds > 0 ? std::min(reply, kLongestConnectMs) : kConnectMs;
    brenvik_status status = s.logDir.empty() ? BRENVIK_OK : brenvik_set_log_directory(p, s.logDir.c_str());
    if (status == BRENVIK_OK) status = brenvik_set_timeout(p, std::max<uint32_t>(reply, 100));
    if (status == BRENVIK_OK) status = brenvik_set_connect_timeout(p, std::max<uint32_t>(connect, 100));
    if (status == BRENVIK_OK) return p;
    brenvik_close(p);
    return nullptr;
}

// Connects, reads the configuration and closes `p`.
void Probe(Device& d, brenvik_printer* p, const ProbeSettings& s) {
    const brenvik_status status =
        brenvik_connect_device(p, d.behind.c_str(), s.cashier.c_str(), s.password.c_str());
    brenvik_error e{};
    e.size = sizeof e;
    if (status == BRENVIK_OK) {
        d.state = State::Printer;
        d.config.size = sizeof d.config;
        d.configRead = brenvik_get_config(p, &d.config) == BRENVIK_OK;
        if (!d.configRead && brenvik_last_error(p, &e) != BRENVIK_OK) d.message = e.meaning;
    } else {
        brenvik_last_error(p, &e);
        // 1 to 6: the device would not open or take the line's settings;
        // 7: nothing answered the wake-up. Past that it answered as this
        // printer and failed later (a cashier refused, a garbled reply).
        if (BusyAdvice(e)) {
            d.state = State::Busy;
        } else if (e.number >= 1 && e.number <= 6) {
            d.state = State::Unavailable;
            const std::string words = SystemWords(e);
            d.message = std::string(e.meaning) + (words.empty() ? "" : ": " + words);
        } else if (e.number == 7) {
            d.state = State::Silent;
            d.message = "no answer";
        } else {
            d.state = status == BRENVIK_E_ARGUMENT ? State::Unavailable : State::Printer;
            d.message = e.meaning[0] != '\0' ? e.meaning : e.message;
        }
    }
    brenvik_close(p);
}

Json TextOrNull(const char* text) { return text[0] != '\0' ? Json(text) : Json(nullptr); }

Json ToJson(const Device& d) {
    const bool known = d.state == State::Printer && d.configRead;
    const brenvik_config& c = d.config;
    Json out = {{"device", d.name},
                {"target", d.behind != d.name ? Json(d.behind) : Json(nullptr)},
                {"state", StateName(d.state)}};
    out["serialNumber"] = known ? TextOrNull(c.serial_number) : nullptr;
    out["fiscalNumber"] = known ? TextOrNull(c.fiscal_number) : nullptr;
    out["firmware"] = known ? TextOrNull(c.firmware_date) : nullptr;
    out["variant"] = known ? TextOrNull(c.printer_variant) : nullptr;
    out["owner"] = known ? TextOrNull(c.owner) : nullptr;
    out["message"] = d.message.empty() ? Json(nullptr) : Json(d.message);
    return out;
}

std::string ToText(const Device& d) {
    std::string text = d.name + (d.behind != d.name ? " (" + d.behind + ")" : "") + ": ";
    switch (d.state) {
    case State::Printer:
        if (!d.configRead) return text + "a printer answered, its numbers unread: " + d.message;
        text += "serial " + std::string(d.config.serial_number) + ", fiscal " + d.config.fiscal_number +
                ", firmware " + d.config.firmware_date;
        if (std::string(d.config.firmware_date) == "20050208") text += " (T3+)";
        return text + ", variant " + d.config.printer_variant + (d.message.empty() ? "" : "; " + d.message);
    case State::Busy: return text + "busy (held by another program)";
    case State::Silent:
    case State::Unavailable: break;
    }
    return text + d.message;
}

std::string Count(size_t n) { return std::to_string(n) + (n == 1 ? " device" : " devices"); }

}  // namespace

DetectCommand::DetectCommand(CLI::App& app) {
    command_ = app.add_subcommand("detect", "List the serial devices that answer as this printer");
    command_->add_option("PATH", paths_, std::string("Devices to probe (default: ") + kProbedDevices + ")");
    command_->add_flag("--all", all_, "Also list the devices that are silent or cannot be opened, and why");
    command_->footer(
        "Every free device is probed at once, side by side: it gets the printer's\n"
        "wake-up bytes and about a second to answer (--timeout, at most 2.5 s), never\n"
        "the 3 s pulse of DTR with which connecting resets a printer hung on the line.\n"
        "A device another program holds is shown as busy and nothing is sent to it.\n"
        "A printer that answers has the cashier registered (--cashier, --password),\n"
        "as for any command. Two names of one device (a /dev/serial/by-id link and its\n"
        "device) are probed once, under the stable name.\n"
        "--json: a list of {\"device\", \"target\" (the device a link names, or null),\n"
        "\"state\" (printer, busy, silent, unavailable), \"serialNumber\",\n"
        "\"fiscalNumber\", \"firmware\" (YYYYMMDD), \"variant\", \"owner\", \"message\"}.\n"
        "Exit code 0 when a printer answered, 3 when none did.");
}

bool DetectCommand::Chosen() const { return command_->parsed(); }

int DetectCommand::Run(bool json, const ProbeSettings& settings) const {
    const std::vector<std::string> names = paths_.empty() ? SerialDevices() : paths_;
    std::vector<Device> devices;
    for (const std::string& name : names) {
        const std::string behind = DeviceBehind(name);
        const bool seen =
            std::any_of(devices.begin(), devices.end(), [&](const Device& d) { return d.behind == behind; });
        if (seen) continue;
        devices.emplace_back();
        devices.back().name = name;
        devices.back().behind = behind;
    }
    std::vector<std::string> behind;
    for (const Device& d : devices) behind.push_back(d.behind);
    const std::vector<std::string> held = HeldElsewhere(behind);
    std::vector<std::thread> probes;
    for (Device& d : devices) {
        if (std::find(held.begin(), held.end(), d.behind) != held.end()) {
            d.state = State::Busy;
            continue;
        }
        brenvik_printer* p = Prepare(settings);
        if (p == nullptr) {
            d.message = "the library could not make a handle";
            continue;
        }
        probes.emplace_back([&d, p, &settings] { Probe(d, p, settings); });
    }
    for (std::thread& t : probes) t.join();

    int printers = 0;
    size_t unlisted = 0;
    Json list = Json::array();
    std::string text;
    for (const Device& d : devices) {
        if (d.state == State::Printer) ++printers;
        if (!all_ && d.state != State::Printer && d.state != State::Busy) {
            ++unlisted;
            continue;
        }
        list.push_back(ToJson(d));
        text += ToText(d) + "\n";
    }
    if (json) {
        std::cout << list.dump(2, ' ', false, Json::error_handler_t::replace) << std::endl;
    } else {
        std::cout << text << std::flush;
    }
    if (devices.empty()) {
        std::cerr << "brenvik: no serial devices to probe (" << kProbedDevices << ")" << std::endl;
    } else if (printers == 0) {
        std::cerr << "brenvik: no printer answered (" << Count(devices.size()) << " probed"
                  << (all_ ? "" : "; --all says why") << ")" << std::endl;
    } else if (!paths_.empty() && !all_ && unlisted > 0) {
        // Named devices are each a question: say that some got no answer.
        std::cerr << "brenvik: " << unlisted << " of the devices named did not answer (--all says why)" << std::endl;
    }
    return printers > 0 ? 0 : 3;
}

}  // namespace brenvik::cli
