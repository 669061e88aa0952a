// The MQTT settings as brenvikd reads them: the broker's URL, the topic
// levels it builds from the shop and the prefix, and what it refuses.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "service/config.h"

namespace brenvikd {
namespace {

int Parse(std::vector<std::string> args, Config* config, std::string* error) {
    args.insert(args.begin(), "brenvikd");
    args.insert(args.begin() + 1, "--simulate");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    return ParseCommandLine(static_cast<int>(argv.size()), argv.data(), config, error);
}

TEST(MqttConfig, ReadsTheBrokerFromTheUrl) {
    struct Case {
        std::string url, host;
        int port;
        bool tls;
    };
    const Case cases[] = {{"mqtt://broker.example", "broker.example", 1883, false},
                          {"mqtts://broker.example", "broker.example", 8883, true},
                          {"mqtt://10.0.0.5:11883/", "10.0.0.5", 11883, false},
                          {"mqtts://[::1]:8884", "::1", 8884, true}};
    for (const Case& c : cases) {
        Config config;
        std::string error;
        ASSERT_EQ(Parse({"--mqtt", c.url, "--shop", "kyiv-12"}, &config, &error), -1) << c.url << ": " << error;
        EXPECT_EQ(config.mqtt.host, c.host) << c.url;
        EXPECT_EQ(config.mqtt.port, c.port) << c.url;
        EXPECT_EQ(config.mqtt.tls, c.tls) << c.url;
        EXPECT_EQ(config.mqtt.clientId, "brenvikd-kyiv-12");
    }
}

TEST(MqttConfig, RefusesWhatWouldBreakTheTopics) {
    const std::vector<std::vector<std::string>> refused = {
        {"--mqtt", "http://broker:1883", "--shop", "s"},
        {"--mqtt", "mqtt://", "--shop", "s"},
        {"--mqtt", "mqtt://broker:99999", "--shop", "s"},
        {"--mqtt", "mqtt://broker/x", "--shop", "s"},
        {"--mqtt", "mqtt://broker"},
        {"--mqtt", "mqtt://broker", "--shop", "a/b"},
        {"--mqtt", "mqtt://broker", "--shop", "all+"},
        {"--mqtt", "mqtt://broker", "--shop", "$SYS"},
        {"--mqtt", "mqtt://broker", "--shop", "s", "--mqtt-prefix", "a//b"},
        {"--mqtt", "mqtt://broker", "--shop", "s", "--mqtt-prefix", "/a"},
        {"--mqtt", "mqtt://broker", "--shop", "s", "--mqtt-prefix", "a/#"},
        {"--mqtt", "mqtt://broker", "--shop", "s", "--mqtt-offline", "drop"},
        {"--mqtt", "mqtt://broker", "--shop", "s", "--mqtt-keepalive", "1"},
        {"--mqtt", "mqtt://broker", "--shop", "s", "--mqtt-ca-file", "/etc/ca.pem"},
        {"--mqtt", "mqtts://broker", "--shop", "s", "--mqtt-cert-file", "/etc/c.pem"},
        {"--mqtt", "mqtt://broker", "--shop", "s", "--mqtt-password-file", "/nonexistent/pw"},
    };
    for (const auto& args : refused) {
        Config config;
        std::string error;
        EXPECT_NE(Parse(args, &config, &error), -1) << args.back();
        EXPECT_FALSE(error.empty()) << args.back();
    }
}

TEST(MqttConfig, TakesTheFileAndThePasswordOffTheCommandLine) {
    const std::string secret = ::testing::TempDir() + "/mqtt-password";
    std::ofstream(secret) << "s3cret\n";
    Config config;
    std::string error;
    ASSERT_TRUE(ParseConfigFile(R"({"mqtt": {"url": "mqtts://b:8883", "shop": "s1", "prefix": "acme/pos",
        "user": "u", "passwordFile": ")" + secret + R"(", "keepAlive": 60, "offline": "refuse"}})",
                                &config, &error))
        << error;
    config.simulate = true;
    ASSERT_TRUE(FinishConfig(&config, &error)) << error;
    EXPECT_EQ(config.mqtt.password, "s3cret");
    EXPECT_EQ(config.mqtt.prefix, "acme/pos");
    EXPECT_EQ(config.mqtt.keepAliveS, 60);
    EXPECT_EQ(config.mqtt.offline, "refuse");
    // Written back, the section reads the same, without the password itself.
    Config again;
    ASSERT_TRUE(ParseConfigFile(ConfigJson(config), &again, &error)) << error;
    EXPECT_EQ(again.mqtt.url, config.mqtt.url);
    EXPECT_EQ(again.mqtt.passwordFile, secret);
    EXPECT_TRUE(again.mqtt.password.empty());
    std::remove(secret.c_str());
}

}  // namespace
}  // namespace brenvikd
