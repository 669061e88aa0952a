// What the service tells about a printer (the Event Log on Windows), and
// the configuration file --install-service writes for the service to read.
#include <gtest/gtest.h>

#include "fake_device.h"
#include "service/config.h"
#include "service/printer_events.h"

namespace brenvikd {
namespace {

class Recorder : public Notifier {
public:
    struct Told {
        std::string printer;
        PrinterEvent event;
        std::string detail;
    };
    void Notify(const std::string& printer, PrinterEvent event, const std::string& detail) override {
        told.push_back({printer, event, detail});
    }
    std::vector<Told> told;
};

TEST(PrinterEvents, TellEachChangeOnceAndTheReturn) {
    auto recorder = std::make_shared<Recorder>();
    auto owned = std::make_unique<testing::FakeDevice>();
    testing::FakeDevice& printer = *owned;
    std::unique_ptr<Device> device = WatchPrinter(std::move(owned), "main", recorder);
    json out;
    DeviceError error;
    ReceiptProgress progress{[](long) {}, [] {}, [] {}};
    auto noPaper = [](testing::FakeDevice&, const ReceiptProgress&) {
        ReceiptOutcome outcome;
        outcome.cancelled = true;
        outcome.error = {81, "SOFTPAPER", "the next printing command may fail"};
        return outcome;
    };
    using E = PrinterEvent;
    struct Step {
        const char* what;
        std::function<void()> act;
        std::vector<E> told;
    };
    const Step steps[] = {
        {"a printer that answers from the start is no news",
         [&] {
             device->Connect(&error);
             device->Status(&out, &error);
         },
         {}},
        {"no answer: offline",
         [&] {
             printer.reachable = false;
             device->Status(&out, &error);
         },
         {E::Offline}},
        {"still no answer, the line not even opened: nothing new",
         [&] {
             device->Connect(&error);
             device->Status(&out, &error);
         },
         {}},
        {"it answers again: online",
         [&] {
             printer.reachable = true;
             device->Connect(&error);
         },
         {E::Online}},
        {"a receipt refused for paper: out of paper",
         [&] {
             printer.print = noPaper;
             device->PrintReceipt("{}", progress);
         },
         {E::PaperOut}},
        {"refused again, and a query that works: nothing new",
         [&] {
             device->PrintReceipt("{}", progress);
             device->Status(&out, &error);
         },
         {}},
        {"a report refused for another reason says nothing of the paper",
         [&] {
             printer.actions = {{false, OperationOutcome::Refused}};
             device->XReport(&out, &error);
         },
         {}},
        {"a report printed: paper again", [&] { device->XReport(&out, &error); }, {E::PaperBack}},
        {"a receipt printed after: nothing new",
         [&] {
             printer.print = nullptr;
             device->PrintReceipt("{}", progress);
         },
         {}},
    };
    size_t seen = 0;
    for (const Step& step : steps) {
        step.act();
        std::vector<E> told;
        for (; seen < recorder->told.size(); ++seen) {
            told.push_back(recorder->told[seen].event);
            EXPECT_EQ(recorder->told[seen].printer, "main") << step.what;
        }
        EXPECT_EQ(told, step.told) << step.what;
    }
    // What the printer or the line said goes with a warning.
    ASSERT_EQ(recorder->told.size(), 4u);
    EXPECT_EQ(recorder->told[0].detail, testing::FakeDevice::Lost().message);
    EXPECT_EQ(recorder->told[2].detail, "the next printing command may fail");
}

TEST(InstalledConfiguration, ReadsBackWhatWasWritten) {
    Config written;
    written.host = "::1";
    written.port = 9000;
    PrinterConfig com;
    com.id = "main";
    com.port = 3;
    com.cashier = "Олена";
    com.password = "1111";
    PrinterConfig tty;
    tty.id = "back";
    tty.device = "/dev/ttyUSB0";
    written.printers = {com, tty};
    written.ledger = "C:\\ProgramData\\Brenvik\\brenvikd-ledger.db";
    written.tokenFile = "C:\\ProgramData\\Brenvik\\brenvikd.token";
    written.logDir = "C:\\ProgramData\\Brenvik";
    written.corsOrigins = {"https://shop.example"};
    written.raw = true;
    written.waitMs = 5000;
    written.timeoutMs = 2000;

    const std::string text = ConfigJson(written);
    Config read;
    std::string error;
    ASSERT_TRUE(ParseConfigFile(text, &read, &error)) << error << "\n" << text;
    EXPECT_EQ(read.host, "::1");
    EXPECT_EQ(read.port, 9000);
    ASSERT_EQ(read.printers.size(), 2u);
    EXPECT_EQ(read.printers[0].id, "main");
    EXPECT_EQ(read.printers[0].port, 3);
    EXPECT_EQ(read.printers[0].device, "");
    EXPECT_EQ(read.printers[0].cashier, "Олена");
    EXPECT_EQ(read.printers[0].password, "1111");
    EXPECT_EQ(read.printers[1].device, "/dev/ttyUSB0");
    EXPECT_EQ(read.ledger, written.ledger);
    EXPECT_EQ(read.tokenFile, written.tokenFile);
    EXPECT_EQ(read.logDir, written.logDir);
    EXPECT_EQ(read.corsOrigins, written.corsOrigins);
    EXPECT_TRUE(read.raw);
    EXPECT_EQ(read.waitMs, 5000);
    EXPECT_EQ(read.timeoutMs, 2000u);
    // The defaults stay out, so a later version's defaults apply.
    EXPECT_EQ(text.find("\"queue\""), std::string::npos) << text;
    EXPECT_EQ(text.find("\"bodyLimit\""), std::string::npos) << text;
}

TEST(InstalledConfiguration, TakesPortNamesAsWindowsWritesThem) {
    const std::pair<const char*, int> ports[] = {{"main=COM3", 3}, {"main=com12", 12}, {"main=Com7", 7}};
    for (const auto& [text, port] : ports) {
        PrinterConfig printer;
        std::string error;
        ASSERT_TRUE(ParsePrinterArgument(text, &printer, &error)) << text;
        EXPECT_EQ(printer.port, port) << text;
        EXPECT_EQ(printer.device, "") << text;
    }
    PrinterConfig named;
    std::string error;
    ASSERT_TRUE(ParsePrinterArgument("main=COMX", &named, &error));
    EXPECT_EQ(named.device, "COMX") << "not a port number: a device name";
}

}  // namespace
}  // namespace brenvikd
