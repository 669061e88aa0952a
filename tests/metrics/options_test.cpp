// --metrics-port and "metricsPort": off unless given, the command line
// over the file, and a port that cannot be refused at start.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "service/config.h"

namespace brenvikd {
namespace {

TEST(MetricsOptions, PortFromTheCommandLineOrTheFileAndCheckedAtStart) {
    const std::string file = ::testing::TempDir() + "metrics-options.json";
    std::ofstream(file) << R"({"metricsPort": 9124})";
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int status;  // -1: go on
        int port;
    };
    const Case cases[] = {
        {"off by default", {}, -1, -1},
        {"the command line", {"--metrics-port", "9123"}, -1, 9123},
        {"any free port", {"--metrics-port", "0"}, -1, 0},
        {"the file", {"--config", file}, -1, 9124},
        {"the command line over the file", {"--config", file, "--metrics-port", "9125"}, -1, 9125},
        {"no such port", {"--metrics-port", "65536"}, 2, 0},
        {"below off", {"--metrics-port", "-2"}, 2, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> words = {"brenvikd", "--printer", "main=/dev/null"};
        words.insert(words.end(), c.args.begin(), c.args.end());
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        Config config;
        std::string error;
        EXPECT_EQ(ParseCommandLine(static_cast<int>(argv.size()), argv.data(), &config, &error), c.status) << error;
        if (c.status < 0) {
            EXPECT_EQ(config.metricsPort, c.port);
            EXPECT_EQ(ConfigJson(config).find("metricsPort") != std::string::npos, c.port >= 0);
        }
    }
    std::remove(file.c_str());
}

}  // namespace
}  // namespace brenvikd
