// Whoever looks after the machine hears when a printer goes offline or runs
// out of paper, once per change, and again when it is back: a line on
// standard error (notifier_posix.cpp), and on Windows an entry in the Event
// Log (notifier_win32.cpp).
#pragma once

#include <memory>
#include <string>

#include "service/device.h"

namespace brenvikd {

enum class PrinterEvent { Offline, Online, PaperOut, PaperBack };

class Notifier {
public:
    virtual ~Notifier() = default;
    // detail: what the printer or the line said (UTF-8), may be empty.
    virtual void Notify(const std::string& printer, PrinterEvent event, const std::string& detail) = 0;
};

// The system's own notifier.
std::unique_ptr<Notifier> MakeSystemNotifier();

// "printer main is offline: <detail>", the line every back end writes.
std::string EventText(const std::string& printer, PrinterEvent event, const std::string& detail);
// The same as key=value pairs for the journal: printer=main state=offline
// detail="...".
std::string EventFields(const std::string& printer, PrinterEvent event, const std::string& detail);

// The device as its worker uses it, with every result that passes through
// told to notifier as a change of state: a printer that does not answer (or
// whose line cannot be opened) is offline until it answers again; one that
// refuses with HARDPAPER or SOFTPAPER is out of paper until it prints again.
std::unique_ptr<Device> WatchPrinter(std::unique_ptr<Device> device, std::string printer,
                                     std::shared_ptr<Notifier> notifier);

}  // namespace brenvikd
