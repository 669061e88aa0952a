#include "service/config.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include "brenvik_version.h"
#include "service/web_policy.h"

namespace brenvikd {
namespace {

bool ValidId(const std::string& id) {
    if (id.empty() || id.size() > 32) return false;
    for (char c : id) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!ok) return false;
    }
    return true;
}

bool ParseListen(const std::string& text, Config* config, std::string* error) {
    size_t colon = text.rfind(':');
    std::string host = colon == std::string::npos ? text : text.substr(0, colon);
    std::string port = colon == std::string::npos ? "" : text.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host.empty() || port.empty() || port.find_first_not_of("0123456789") != std::string::npos ||
        port.size() > 5 || std::stoi(port) > 65535) {
        *error = "--listen wants HOST:PORT, not '" + text + "'";
        return false;
    }
    config->host = host;
    config->port = std::stoi(port);
    return true;
}

}  // namespace

bool ParsePrinterArgument(const std::string& text, PrinterConfig* printer, std::string* error) {
    size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == text.size()) {
        *error = "--printer wants ID=DEVICE (main=/dev/ttyUSB0) or ID=PORT (main=com3), not '" + text + "'";
        return false;
    }
    printer->id = text.substr(0, equals);
    std::string where = text.substr(equals + 1);
    // COM3 as Windows writes it, com3 as the engine's port names go.
    bool com = where.size() > 3 && (where[0] == 'c' || where[0] == 'C') && (where[1] == 'o' || where[1] == 'O') &&
               (where[2] == 'm' || where[2] == 'M');
    std::string digits = com ? where.substr(3) : where;
    if (!digits.empty() && digits.size() <= 3 && digits.find_first_not_of("0123456789") == std::string::npos) {
        printer->port = std::stoi(digits);
        printer->device.clear();
    } else {
        printer->device = where;
        printer->port = 0;
    }
    return true;
}

bool ParseConfigFile(const std::string& text, Config* config, std::string* error) {
    using nlohmann::json;
    json doc = json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) {
        *error = "the configuration file is not a JSON object";
        return false;
    }
    try {
        if (doc.contains("listen") && !ParseListen(doc["listen"].get<std::string>(), config, error)) return false;
        if (doc.contains("ledger")) config->ledger = doc["ledger"].get<std::string>();
        if (doc.contains("tokenFile")) config->tokenFile = doc["tokenFile"].get<std::string>();
        if (doc.contains("corsOrigins")) config->corsOrigins = doc["corsOrigins"].get<std::vector<std::string>>();
        if (doc.contains("allowHosts")) config->allowHosts = doc["allowHosts"].get<std::vector<std::string>>();
        if (doc.contains("insecureNoToken")) config->insecureNoToken = doc["insecureNoToken"].get<bool>();
        if (doc.contains("raw")) config->raw = doc["raw"].get<bool>();
        if (doc.contains("requestTimeoutMs")) config->requestTimeoutMs = doc["requestTimeoutMs"].get<int>();
        if (doc.contains("clientConnections")) config->clientConnections = doc["clientConnections"].get<size_t>();
        if (doc.contains("connections")) config->connections = doc["connections"].get<size_t>();
        if (doc.contains("bodyLimit")) config->bodyLimit = doc["bodyLimit"].get<size_t>();
        if (doc.contains("nestingLimit")) config->nestingLimit = doc["nestingLimit"].get<int>();
        if (doc.contains("queue")) config->queue = doc["queue"].get<size_t>();
        if (doc.contains("threads")) config->threads = doc["threads"].get<int>();
        if (doc.contains("waitMs")) config->waitMs = doc["waitMs"].get<int>();
        if (doc.contains("logDir")) config->logDir = doc["logDir"].get<std::string>();
        if (doc.contains("timeoutMs")) config->timeoutMs = doc["timeoutMs"].get<unsigned>();
        if (doc.contains("metricsPort")) config->metricsPort = doc["metricsPort"].get<int>();
        for (const json& p : doc.value("printers", json::array())) {
            PrinterConfig printer;
            printer.id = p.at("id").get<std::string>();
            printer.device = p.value("device", "");
            printer.port = p.value("port", 0);
            printer.cashier = p.value("cashier", printer.cashier);
            printer.password = p.value("password", printer.password);
            config->printers.push_back(printer);
        }
    } catch (const json::exception& e) {
        *error = std::string("configuration file: ") + e.what();
        return false;
    }
    return true;
}

bool FinishConfig(Config* config, std::string* error) {
    std::set<std::string> ids;
    for (const PrinterConfig& p : config->printers) {
        if (!ValidId(p.id)) {
            *error = "printer id '" + p.id + "': up to 32 letters, digits, '-' or '_'";
            return false;
        }
        if (!ids.insert(p.id).second) {
            *error = "printer id '" + p.id + "' is given twice";
            return false;
        }
        if (p.device.empty() && p.port <= 0) {
            *error = "printer '" + p.id + "' has neither a device nor a port";
            return false;
        }
    }
    if (config->printers.empty() && !config->simulate) {
        *error = "no printer: give --printer ID=DEVICE, --config FILE or --simulate";
        return false;
    }
    if (config->bodyLimit < 1024 || config->nestingLimit < 2 || config->queue < 1 || config->threads < 2 ||
        config->waitMs < 0 || config->requestTimeoutMs < 100 || config->clientConnections < 2 ||
        config->connections < config->clientConnections) {
        *error =
            "limits too small: body at least 1024 bytes, nesting at least 2, queue at least 1, threads at least 2, "
            "request time-out at least 100 ms, connections per client at least 2 and no more than in all";
        return false;
    }
    if (config->metricsPort < -1 || config->metricsPort > 65535) {
        *error = "--metrics-port wants a port from 0 (any free one) to 65535";
        return false;
    }
    if (!config->tokenFile.empty()) {
        std::ifstream in(config->tokenFile);
        std::stringstream text;
        text << in.rdbuf();
        std::string token = text.str();
        while (!token.empty() && (token.back() == '\n' || token.back() == '\r' || token.back() == ' ')) token.pop_back();
        if (!in || token.empty()) {
            *error = "cannot read a token from " + config->tokenFile;
            return false;
        }
        config->token = token;
    }
    // Beyond the loopback, anyone who reaches the port could print.
    if (!IsLoopbackHost(config->host) && config->token.empty() && !config->insecureNoToken) {
        *error = "refusing to listen on " + config->host +
                 " without a token: any machine that reaches it could print. Give --token-file FILE, or "
                 "--insecure-no-token when only trusted machines reach this address";
        return false;
    }
    return true;
}

int ParseCommandLine(int argc, char** argv, Config* config, std::string* error) {
    int status = ParseOptions(argc, argv, config, error);
    if (status >= 0) return status;
    if (!FinishConfig(config, error)) return 2;
    return -1;
}

int PrintParseResult(int status, const std::string& text) {
    FILE* out = status == 0 ? stdout : stderr;
    fputs(text.c_str(), out);
    if (!text.empty() && text.back() != '\n') fputc('\n', out);
    return status;
}

std::string ConfigJson(const Config& config) {
    using nlohmann::json;
    const Config defaults;
    json doc;
    doc["listen"] = (config.host.find(':') == std::string::npos ? config.host : "[" + config.host + "]") + ":" +
                    std::to_string(config.port);
    json printers = json::array();
    for (const PrinterConfig& p : config.printers) {
        json printer = {{"id", p.id}};
        if (p.device.empty()) {
            printer["port"] = p.port;
        } else {
            printer["device"] = p.device;
        }
        printer["cashier"] = p.cashier;
        printer["password"] = p.password;
        printers.push_back(printer);
    }
    doc["printers"] = printers;
    doc["ledger"] = config.ledger;
    doc["tokenFile"] = config.tokenFile;
    doc["logDir"] = config.logDir;
    auto differs = [&](const char* key, const auto& value, const auto& standard) {
        if (value != standard) doc[key] = value;
    };
    differs("corsOrigins", config.corsOrigins, defaults.corsOrigins);
    differs("allowHosts", config.allowHosts, defaults.allowHosts);
    differs("insecureNoToken", config.insecureNoToken, defaults.insecureNoToken);
    differs("raw", config.raw, defaults.raw);
    differs("bodyLimit", config.bodyLimit, defaults.bodyLimit);
    differs("nestingLimit", config.nestingLimit, defaults.nestingLimit);
    differs("queue", config.queue, defaults.queue);
    differs("threads", config.threads, defaults.threads);
    differs("requestTimeoutMs", config.requestTimeoutMs, defaults.requestTimeoutMs);
    differs("clientConnections", config.clientConnections, defaults.clientConnections);
    differs("connections", config.connections, defaults.connections);
    differs("waitMs", config.waitMs, defaults.waitMs);
    differs("timeoutMs", config.timeoutMs, defaults.timeoutMs);
    differs("metricsPort", config.metricsPort, defaults.metricsPort);
    return doc.dump(2) + "\n";
}

int ParseOptions(int argc, char** argv, Config* config, std::string* error) {
    CLI::App app{
        "brenvikd: HTTP/JSON service for Maria 301 MTM fiscal printers; every receipt is printed exactly once."};
    app.name("brenvikd");
    app.set_version_flag("--version", std::string("brenvikd " BRENVIK_VERSION_STRING));
    // Read into a copy first: the command line wins over the file, whichever comes first.
    Config cli = *config;
    std::string listen, configFile, cashier, password;
    std::vector<std::string> printers;
    bool noRaw = false;
    std::vector<std::pair<CLI::Option*, std::function<void()>>> apply;
    auto keep = [&](CLI::Option* option, std::function<void()> copy) { apply.emplace_back(option, copy); };
    app.add_option("--listen", listen, "HOST:PORT to listen on (127.0.0.1:8123)");
    app.add_option("--printer", printers, "ID=DEVICE or ID=comN; repeat for more printers");
    app.add_option("--cashier", cashier, "cashier registered on the --printer printers (brenvikd)");
    app.add_option("--password", password, "the cashier's password (0000)");
    const std::string usual = config->defaultConfigFile.empty() ? "" : " (" + config->defaultConfigFile + " when it exists)";
    app.add_option("--config", configFile, "JSON configuration file" + usual + "; the command line wins over it");
    keep(app.add_option("--ledger", cli.ledger, "the ledger file, SQLite (" + cli.ledger + ")"),
         [&] { config->ledger = cli.ledger; });
    keep(app.add_option("--token-file", cli.tokenFile, "file holding the bearer token every request needs" +
                                                  (cli.tokenFile.empty() ? std::string() : " (" + cli.tokenFile + ")")),
         [&] { config->tokenFile = cli.tokenFile; });
    keep(app.add_option("--cors-origin", cli.corsOrigins, "an origin allowed to call from a browser; repeat"),
         [&] { config->corsOrigins = cli.corsOrigins; });
    keep(app.add_option("--allow-host", cli.allowHosts,
                        "a Host name besides the listening address (NAME or NAME:PORT), e.g. behind a proxy; repeat"),
         [&] { config->allowHosts = cli.allowHosts; });
    keep(app.add_flag("--insecure-no-token", cli.insecureNoToken,
                      "listen beyond the loopback without --token-file (only where trusted machines reach it)"),
         [&] { config->insecureNoToken = cli.insecureNoToken; });
    keep(app.add_flag("--raw", cli.raw, "accept POST /printers/{id}/raw (off unless given)"),
         [&] { config->raw = cli.raw; });
    app.add_flag("--no-raw", noRaw, "refuse POST /printers/{id}/raw (the default)");
    keep(app.add_option("--body-limit", cli.bodyLimit, "largest request body, bytes (65536)"),
         [&] { config->bodyLimit = cli.bodyLimit; });
    keep(app.add_option("--nesting-limit", cli.nestingLimit, "deepest JSON nesting (16)"),
         [&] { config->nestingLimit = cli.nestingLimit; });
    keep(app.add_option("--queue", cli.queue, "waiting requests per printer before 503 (16)"),
         [&] { config->queue = cli.queue; });
    keep(app.add_option("--threads", cli.threads, "HTTP handler threads (32)"), [&] { config->threads = cli.threads; });
    keep(app.add_option("--request-timeout-ms", cli.requestTimeoutMs,
                        "a request's head and body must arrive whole within this; slower ones are closed (10000)"),
         [&] { config->requestTimeoutMs = cli.requestTimeoutMs; });
    keep(app.add_option("--client-connections", cli.clientConnections,
                        "open connections of one client address; at the limit one still waiting for its request "
                        "makes room (64)"),
         [&] { config->clientConnections = cli.clientConnections; });
    keep(app.add_option("--connections", cli.connections, "open connections in all (512)"),
         [&] { config->connections = cli.connections; });
    keep(app.add_option("--wait-ms", cli.waitMs, "a request waits this long, then gets 202 and a task (120000)"),
         [&] { config->waitMs = cli.waitMs; });
    keep(app.add_option("--log-dir", cli.logDir, "directory of the printers' debug logs" + (cli.logDir.empty() ? std::string() : " (" + cli.logDir + ")")),
         [&] { config->logDir = cli.logDir; });
    keep(app.add_option("--timeout-ms", cli.timeoutMs, "how long a printer may stay silent, ms (6000)"),
         [&] { config->timeoutMs = cli.timeoutMs; });
    keep(app.add_option("--metrics-port", cli.metricsPort,
                        "also serve GET /metrics (Prometheus) alone, without a token, on 127.0.0.1:PORT; 0 picks a "
                        "free port (off; GET /metrics on --listen takes the token as every route does)"),
         [&] { config->metricsPort = cli.metricsPort; });
    bool quiet = false;
    app.add_flag("--no-request-log", quiet, "no line per request on standard error");
    app.add_flag("--simulate", config->simulate, "serve one simulated printer 'sim' (no hardware needed)");
    app.add_option("--sim-journal", config->simJournal, "with --simulate: the file the printer prints on");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        std::ostringstream out, err;
        int status = app.exit(e, out, err);
        *error = out.str() + err.str();
        return status;
    }
    // The platform's own file, when there is one and no other is named.
    if (configFile.empty() && !config->defaultConfigFile.empty() && std::ifstream(config->defaultConfigFile)) {
        configFile = config->defaultConfigFile;
    }
    if (!configFile.empty()) {
        std::ifstream in(configFile);
        std::stringstream text;
        text << in.rdbuf();
        if (!in) {
            *error = "cannot read " + configFile;
            return 2;
        }
        if (!ParseConfigFile(text.str(), config, error)) return 2;
    }
    for (auto& [option, copy] : apply) {
        if (option->count() > 0) copy();
    }
    if (!listen.empty() && !ParseListen(listen, config, error)) return 2;
    for (const std::string& text : printers) {
        PrinterConfig printer;
        if (!ParsePrinterArgument(text, &printer, error)) return 2;
        if (!cashier.empty()) printer.cashier = cashier;
        if (!password.empty()) printer.password = password;
        config->printers.push_back(printer);
    }
    if (noRaw) config->raw = false;
    if (quiet) config->logRequests = false;
    return -1;
}

}  // namespace brenvikd
