#include "service/config.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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

std::string ReadSecret(const std::string& path, bool* ok) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::string secret = text.str();
    while (!secret.empty() && (secret.back() == '\n' || secret.back() == '\r' || secret.back() == ' ')) {
        secret.pop_back();
    }
    *ok = in && !secret.empty();
    return secret;
}

// A topic level of ours: no wildcard, no separator, nothing a broker treats
// specially ('$' first).
bool TopicLevel(const std::string& text) {
    return !text.empty() && text.size() <= 64 && text[0] != '$' &&
           text.find_first_of("/+#") == std::string::npos;
}

bool FinishMqtt(MqttConfig* mqtt, std::string* error) {
    const std::string& url = mqtt->url;
    const size_t scheme = url.find("://");
    const std::string kind = scheme == std::string::npos ? "" : url.substr(0, scheme);
    std::string where = scheme == std::string::npos ? "" : url.substr(scheme + 3);
    if (!where.empty() && where.back() == '/') where.pop_back();
    mqtt->tls = kind == "mqtts";
    mqtt->port = mqtt->tls ? 8883 : 1883;
    size_t colon = where.rfind(':');
    if (colon != std::string::npos && where.find(']', colon) == std::string::npos) {
        const std::string port = where.substr(colon + 1);
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(port) < 1 || std::stoi(port) > 65535) {
            where.clear();
        } else {
            mqtt->port = std::stoi(port);
            where.resize(colon);
        }
    }
    if (where.size() > 2 && where.front() == '[' && where.back() == ']') where = where.substr(1, where.size() - 2);
    if ((kind != "mqtt" && kind != "mqtts") || where.empty() || where.find('/') != std::string::npos) {
        *error = "--mqtt wants mqtt://HOST:PORT or mqtts://HOST:PORT, not '" + url + "'";
        return false;
    }
    mqtt->host = where;
    if (!TopicLevel(mqtt->shop)) {
        *error = "the MQTT connector needs the shop's id (--shop ID): up to 64 characters, none of / + # and no $ "
                 "first, not '" + mqtt->shop + "'";
        return false;
    }
    bool prefixOk = !mqtt->prefix.empty() && mqtt->prefix.front() != '/' && mqtt->prefix.back() != '/';
    for (size_t from = 0; prefixOk && from <= mqtt->prefix.size();) {
        size_t slash = std::min(mqtt->prefix.find('/', from), mqtt->prefix.size());
        prefixOk = TopicLevel(mqtt->prefix.substr(from, slash - from));
        from = slash + 1;
    }
    if (!prefixOk) {
        *error = "the MQTT topic prefix '" + mqtt->prefix + "' must be levels of a topic without + # or a $ first";
        return false;
    }
    if (mqtt->clientId.empty()) mqtt->clientId = "brenvikd-" + mqtt->shop;
    if (mqtt->offline != "queue" && mqtt->offline != "refuse") {
        *error = "the MQTT offline policy is \"queue\" or \"refuse\", not '" + mqtt->offline + "'";
        return false;
    }
    if (mqtt->keepAliveS < 5 || mqtt->keepAliveS > 65535 || mqtt->reconnectMaxS < 1) {
        *error = "the MQTT keep-alive is 5 to 65535 seconds, and the reconnection cap at least 1";
        return false;
    }
    if (!mqtt->tls && !(mqtt->caFile.empty() && mqtt->certFile.empty() && mqtt->keyFile.empty())) {
        *error = "a CA file, certificate or key for MQTT needs an mqtts:// broker";
        return false;
    }
    if (mqtt->certFile.empty() != mqtt->keyFile.empty()) {
        *error = "the MQTT client certificate and its key go together";
        return false;
    }
    if (!mqtt->passwordFile.empty()) {
        bool ok = false;
        mqtt->password = ReadSecret(mqtt->passwordFile, &ok);
        if (!ok) {
            *error = "cannot read the MQTT password from " + mqtt->passwordFile;
            return false;
        }
    } else if (mqtt->password.empty()) {
        const char* env = std::getenv("BRENVIKD_MQTT_PASSWORD");
        if (env) mqtt->password = env;
    }
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
        if (doc.contains("mqtt")) {
            const json& m = doc["mqtt"];
            MqttConfig& mqtt = config->mqtt;
            if (!m.is_object()) {
                *error = "configuration file: mqtt must be an object";
                return false;
            }
            mqtt.url = m.value("url", mqtt.url);
            mqtt.shop = m.value("shop", mqtt.shop);
            mqtt.prefix = m.value("prefix", mqtt.prefix);
            mqtt.clientId = m.value("clientId", mqtt.clientId);
            mqtt.caFile = m.value("caFile", mqtt.caFile);
            mqtt.certFile = m.value("certFile", mqtt.certFile);
            mqtt.keyFile = m.value("keyFile", mqtt.keyFile);
            mqtt.user = m.value("user", mqtt.user);
            mqtt.password = m.value("password", mqtt.password);
            mqtt.passwordFile = m.value("passwordFile", mqtt.passwordFile);
            mqtt.keepAliveS = m.value("keepAlive", mqtt.keepAliveS);
            mqtt.reconnectMaxS = m.value("reconnectMax", mqtt.reconnectMaxS);
            mqtt.offline = m.value("offline", mqtt.offline);
        }
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
    if (!config->mqtt.url.empty() && !FinishMqtt(&config->mqtt, error)) return false;
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
    if (!config.mqtt.url.empty()) {
        const MqttConfig& m = config.mqtt;
        json mqtt = {{"url", m.url}, {"shop", m.shop}, {"prefix", m.prefix}, {"keepAlive", m.keepAliveS},
                     {"reconnectMax", m.reconnectMaxS}, {"offline", m.offline}};
        // The password stays in its file, or where it was given.
        for (auto [key, value] : {std::pair<const char*, const std::string*>{"clientId", &m.clientId},
                                  {"caFile", &m.caFile}, {"certFile", &m.certFile}, {"keyFile", &m.keyFile},
                                  {"user", &m.user}, {"passwordFile", &m.passwordFile}}) {
            if (!value->empty()) mqtt[key] = *value;
        }
        doc["mqtt"] = mqtt;
    }
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
    MqttConfig& mq = cli.mqtt;
    keep(app.add_option("--mqtt", mq.url, "connect to an MQTT broker, mqtt://HOST:PORT or mqtts://HOST:PORT, and take "
                                          "requests from it too (needs --shop)"),
         [&] { config->mqtt.url = mq.url; });
    keep(app.add_option("--shop", mq.shop, "this shop's id in the MQTT topics"), [&] { config->mqtt.shop = mq.shop; });
    keep(app.add_option("--mqtt-prefix", mq.prefix, "the MQTT topics' first levels (brenvik)"),
         [&] { config->mqtt.prefix = mq.prefix; });
    keep(app.add_option("--mqtt-client-id", mq.clientId, "the MQTT client id (brenvikd-SHOP)"),
         [&] { config->mqtt.clientId = mq.clientId; });
    keep(app.add_option("--mqtt-user", mq.user, "the MQTT user name"), [&] { config->mqtt.user = mq.user; });
    keep(app.add_option("--mqtt-password-file", mq.passwordFile,
                        "file holding the MQTT password or token (or BRENVIKD_MQTT_PASSWORD in the environment)"),
         [&] { config->mqtt.passwordFile = mq.passwordFile; });
    keep(app.add_option("--mqtt-ca-file", mq.caFile, "mqtts: the broker's CA certificates (the system's)"),
         [&] { config->mqtt.caFile = mq.caFile; });
    keep(app.add_option("--mqtt-cert-file", mq.certFile, "mqtts: this client's certificate"),
         [&] { config->mqtt.certFile = mq.certFile; });
    keep(app.add_option("--mqtt-key-file", mq.keyFile, "mqtts: this client's private key"),
         [&] { config->mqtt.keyFile = mq.keyFile; });
    keep(app.add_option("--mqtt-keepalive", mq.keepAliveS, "MQTT keep-alive, seconds (30)"),
         [&] { config->mqtt.keepAliveS = mq.keepAliveS; });
    keep(app.add_option("--mqtt-reconnect-max", mq.reconnectMaxS,
                        "the longest wait between two tries to reach the broker, seconds (30)"),
         [&] { config->mqtt.reconnectMaxS = mq.reconnectMaxS; });
    keep(app.add_option("--mqtt-offline", mq.offline,
                        "an MQTT request for an offline printer: queue (wait for it) or refuse (answer 503)"),
         [&] { config->mqtt.offline = mq.offline; });
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
