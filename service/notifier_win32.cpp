#include <cstdio>

#include "service/printer_events.h"
#include "service/support_win32.h"
// The message table's ids (windmc, from messages.mc).
#include "messages.h"

namespace brenvikd {
namespace {

// The Event Log, source brenvikd (registered by --install-service with this
// program as its message file), and the same line on standard error, which
// is the console or, under the Service Control Manager, brenvikd.log.
class EventLogNotifier : public Notifier {
public:
    EventLogNotifier() : source_(RegisterEventSourceW(nullptr, win32::kServiceName)) {}
    ~EventLogNotifier() override {
        if (source_) DeregisterEventSource(source_);
    }
    EventLogNotifier(const EventLogNotifier&) = delete;
    EventLogNotifier& operator=(const EventLogNotifier&) = delete;

    void Notify(const std::string& printer, PrinterEvent event, const std::string& detail) override {
        fprintf(stderr, "brenvikd: %s\n", EventText(printer, event, detail).c_str());
        if (!source_) return;
        WORD type = EVENTLOG_WARNING_TYPE;
        DWORD id = MSG_PRINTER_OFFLINE;
        switch (event) {
        case PrinterEvent::Offline:
            break;
        case PrinterEvent::Online:
            type = EVENTLOG_INFORMATION_TYPE;
            id = MSG_PRINTER_ONLINE;
            break;
        case PrinterEvent::PaperOut:
            id = MSG_PAPER_OUT;
            break;
        case PrinterEvent::PaperBack:
            type = EVENTLOG_INFORMATION_TYPE;
            id = MSG_PAPER_BACK;
            break;
        }
        std::wstring name = win32::Wide(printer);
        std::wstring why = win32::Wide(detail.empty() ? "-" : detail);
        const wchar_t* strings[] = {name.c_str(), why.c_str()};
        ReportEventW(source_, type, 0, id, nullptr, 2, 0, strings, nullptr);
    }

private:
    HANDLE source_;
};

}  // namespace

std::unique_ptr<Notifier> MakeSystemNotifier() { return std::make_unique<EventLogNotifier>(); }

}  // namespace brenvikd
