// brenvikd's settings: the command line (CLI11) or a JSON file.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace brenvikd {

struct PrinterConfig {
    std::string id;        // the {id} of the routes: letters, digits, '-', '_'
    std::string device;    // device path (/dev/ttyUSB0), or empty with port
    int port = 0;          // the engine's port number N (comN), 0 with a device
    std::string cashier = "brenvikd";
    std::string password = "0000";
};

// The MQTT connector (service/mqtt.h): off while url is empty.
struct MqttConfig {
    std::string url;                 // mqtt://HOST[:PORT] or mqtts://HOST[:PORT]
    std::string shop;                // the shop's id: a level of every topic
    std::string prefix = "brenvik";  // the levels before it
    std::string clientId;            // empty: "brenvikd-" + shop
    std::string caFile;              // mqtts: the broker's CA; empty: the system's
    std::string certFile;            // mqtts: this client's certificate and key, when the broker wants one
    std::string keyFile;
    std::string user;
    std::string password;            // or a token: from passwordFile or BRENVIKD_MQTT_PASSWORD, not the command line
    std::string passwordFile;
    int keepAliveS = 30;
    int reconnectMaxS = 30;          // the cap of the reconnection back-off
    std::string offline = "queue";   // a request for an offline printer waits ("queue") or is refused ("refuse")
    // From url, by FinishConfig.
    std::string host;
    int port = 0;
    bool tls = false;
};

struct Config {
    std::string host = "127.0.0.1";  // loopback unless told otherwise
    int port = 8123;
    std::vector<PrinterConfig> printers;
    std::string ledger = "brenvikd-ledger.db";
    std::string tokenFile;                 // bearer token, empty = none
    std::string token;                     // read from tokenFile
    std::vector<std::string> corsOrigins;  // exact origins allowed to call from a browser
    std::vector<std::string> allowHosts;   // Host names besides the listening address: "name" or "name:port"
    bool insecureNoToken = false;          // listen beyond the loopback without a token
    bool raw = false;                      // POST .../raw reaches the printer
    size_t bodyLimit = 64 * 1024;          // bytes of a request body
    int nestingLimit = 16;                 // arrays and objects inside each other
    size_t queue = 16;                     // waiting requests per printer
    int threads = 32;                      // HTTP handler threads
    int requestTimeoutMs = 10000;          // a request's head and body arrive whole within this
    size_t clientConnections = 64;         // open connections of one client address
    size_t connections = 512;              // open connections in all
    int waitMs = 120000;                   // a synchronous request waits this long, then gets 202
    std::string logDir;                    // the engine's debug logs; empty = beside the program
    unsigned timeoutMs = 0;                // the printer's reply time-out; 0 = the library's (6000)
    int metricsPort = -1;                  // GET /metrics alone, without a token, on 127.0.0.1:this; -1 = none, 0 = any free port
    bool simulate = false;                 // one simulated printer 'sim', no hardware
    bool logRequests = true;               // a line per request on standard error
    std::string simJournal;                // where the simulated printer prints
    MqttConfig mqtt;
    // Read when no --config is given, if it exists (the platform's place for
    // the service's settings); not a setting of its own.
    std::string defaultConfigFile;
};

// This platform's defaults (config_posix.cpp, config_win32.cpp): on Windows
// the ledger, the debug logs, the token and brenvikd.json are in
// %ProgramData%\Brenvik; elsewhere the ledger is in the working directory.
Config DefaultConfig();

// Parses the command line. Returns -1 to go on, otherwise the exit status
// (0 after --help). *error holds what to print on failure.
int ParseCommandLine(int argc, char** argv, Config* config, std::string* error);
// The same without the final checks of FinishConfig (the Windows service's
// installer checks once the token it makes exists).
int ParseOptions(int argc, char** argv, Config* config, std::string* error);
// Prints what ParseCommandLine returned: help on standard output, the rest
// on standard error. Returns status.
int PrintParseResult(int status, const std::string& text);

// "main=/dev/ttyUSB0" or "main=com3" (COM3) or "main=3" (port number).
bool ParsePrinterArgument(const std::string& text, PrinterConfig* printer, std::string* error);

// The settings as a configuration file that ParseConfigFile reads back the
// same: listening address, printers, ledger, token file and log directory
// always, the rest where it is not the default.
std::string ConfigJson(const Config& config);

// Fills *config from a JSON file's text; false with *error.
bool ParseConfigFile(const std::string& text, Config* config, std::string* error);

// After parsing: ids unique and well-formed, limits sane, token read, and
// no listening beyond the loopback without a token unless asked for.
bool FinishConfig(Config* config, std::string* error);

}  // namespace brenvikd
