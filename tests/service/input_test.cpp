// What the service takes from outside: its command line and configuration
// file, amounts, and the nesting of a JSON body.
#include <gtest/gtest.h>

#include "service/config.h"
#include "service/service.h"

namespace brenvikd {
namespace {

TEST(Input, CountsNestingOutsideStringsOnly) {
    const std::pair<const char*, int> cases[] = {
        {"{}", 1},
        {"{\"a\":[1,{\"b\":[]}]}", 4},
        {"{\"a\":\"[[[[{{{{\"}", 1},
        {"{\"a\":\"\\\"[[[\"}", 1},
        {"[[[[[[[[[[[[[[[[[[[[", 20},
        {"", 0},
    };
    for (const auto& [text, depth] : cases) EXPECT_EQ(JsonDepth(text), depth) << text;
}

TEST(Input, TakesAmountsAsKopecksOrDecimalTexts) {
    const std::pair<json, long long> good[] = {
        {1250, 1250}, {"12.50", 1250}, {"12.5", 1250}, {"12", 1200}, {"0.01", 1}, {"999999999.99", 99999999999LL}};
    for (const auto& [value, kopecks] : good) {
        long long out = -1;
        EXPECT_TRUE(ParseAmount(value, &out)) << value;
        EXPECT_EQ(out, kopecks) << value;
    }
    const json bad[] = {-1, 12.5, "12.505", "-3", "12.", ".5", "1e3", "", "12,50", "1000000000", nullptr, true};
    for (const json& value : bad) {
        long long out = 0;
        EXPECT_FALSE(ParseAmount(value, &out)) << value;
    }
}

TEST(Input, ReadsPrinterArguments) {
    struct Case {
        const char* text;
        bool ok;
        const char* id;
        const char* device;
        int port;
    };
    const Case cases[] = {
        {"main=/dev/ttyUSB0", true, "main", "/dev/ttyUSB0", 0},
        {"back=com3", true, "back", "", 3},
        {"back=7", true, "back", "", 7},
        {"x=/tmp/sim/com3", true, "x", "/tmp/sim/com3", 0},
        {"=/dev/ttyS0", false, "", "", 0},
        {"main=", false, "", "", 0},
        {"main", false, "", "", 0},
    };
    for (const Case& c : cases) {
        PrinterConfig printer;
        std::string error;
        EXPECT_EQ(ParsePrinterArgument(c.text, &printer, &error), c.ok) << c.text;
        if (!c.ok) continue;
        EXPECT_EQ(printer.id, c.id);
        EXPECT_EQ(printer.device, c.device);
        EXPECT_EQ(printer.port, c.port);
    }
}

int Parse(std::vector<std::string> args, Config* config, std::string* error) {
    std::vector<char*> argv;
    args.insert(args.begin(), "brenvikd");
    for (std::string& a : args) argv.push_back(a.data());
    return ParseCommandLine(static_cast<int>(argv.size()), argv.data(), config, error);
}

TEST(Input, CommandLineListensOnLoopbackUnlessTold) {
    Config config;
    std::string error;
    ASSERT_EQ(Parse({"--printer", "main=/dev/ttyUSB0", "--printer", "back=com2", "--no-raw"}, &config, &error), -1)
        << error;
    EXPECT_EQ(config.host, "127.0.0.1");
    EXPECT_EQ(config.port, 8123);
    ASSERT_EQ(config.printers.size(), 2u);
    EXPECT_FALSE(config.raw);
    Config plain;
    ASSERT_EQ(Parse({"--simulate"}, &plain, &error), -1) << error;
    EXPECT_FALSE(plain.raw) << "raw commands are off unless asked for";
    Config open;
    ASSERT_EQ(Parse({"--simulate", "--listen", "0.0.0.0:8123", "--insecure-no-token", "--raw"}, &open, &error), -1)
        << error;
    EXPECT_TRUE(open.raw);

    Config other;
    ASSERT_EQ(Parse({"--listen", "[::1]:9000", "--simulate"}, &other, &error), -1) << error;
    EXPECT_EQ(other.host, "::1");
    EXPECT_EQ(other.port, 9000);

    const std::vector<std::vector<std::string>> refused = {
        {},                                                         // no printer
        {"--printer", "a=/dev/x", "--printer", "a=/dev/y"},         // id twice
        {"--printer", "a b=/dev/x"},                                // id with a blank
        {"--printer", "a=/dev/x", "--listen", "localhost"},         // no port
        {"--printer", "a=/dev/x", "--token-file", "/nonexistent"},  // unreadable token
        {"--printer", "a=/dev/x", "--nesting-limit", "1"},          // limit too small
        {"--printer", "a=/dev/x", "--listen", "0.0.0.0:8123"},      // beyond the loopback without a token
        {"--printer", "a=/dev/x", "--listen", "[::]:8123"},         // the same on IPv6
        {"--printer", "a=/dev/x", "--client-connections", "1"},     // no room for a status check
        {"--bogus"},
    };
    for (const auto& args : refused) {
        Config c;
        EXPECT_NE(Parse(args, &c, &error), -1) << (args.empty() ? "(nothing)" : args[0]);
    }
}

TEST(Input, ReadsTheConfigurationFile) {
    Config config;
    std::string error;
    ASSERT_TRUE(ParseConfigFile(R"({"listen":"0.0.0.0:9999","ledger":"/var/lib/x.db","raw":false,
        "printers":[{"id":"main","device":"/dev/ttyUSB0","cashier":"Олена","password":"1111"}]})",
                                &config, &error))
        << error;
    EXPECT_EQ(config.host, "0.0.0.0");
    EXPECT_EQ(config.printers.at(0).cashier, "Олена");
    EXPECT_FALSE(ParseConfigFile("[1]", &config, &error));
    EXPECT_FALSE(ParseConfigFile(R"({"printers":[{"device":"/dev/x"}]})", &config, &error));
}

}  // namespace
}  // namespace brenvikd
