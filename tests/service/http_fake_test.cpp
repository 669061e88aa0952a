// The HTTP side with a scripted printer on the loopback: the routes, the
// one error shape, exactly-once answers, the queue bound, the token, CORS
// and the limits. Every answer is checked against /openapi.json.
#include <gtest/gtest.h>
#include <httplib.h>

#include <map>
#include <regex>
#include <thread>

#include "service/service.h"
#include "tests/service/fake_device.h"

namespace brenvikd {
namespace {

using testing::FakeDevice;

class HttpFake : public ::testing::Test {
protected:
    void Start(Config config = Config()) {
        config.host = "127.0.0.1";
        config.port = 0;
        config.queue = 2;
        if (config.printers.empty()) {
            PrinterConfig main;
            main.id = "main";
            main.device = "/dev/null";
            config.printers.push_back(main);
        }
        std::string error;
        ledger_ = Ledger::Open(":memory:", &error);
        ASSERT_TRUE(ledger_) << error;
        auto factory = [this](const PrinterConfig&) {
            auto device = std::make_unique<FakeDevice>();
            device_ = device.get();
            return device;
        };
        // The receipt mapping is the C API's; here a receipt only needs items.
        auto validator = [](const std::string& text) {
            json doc = json::parse(text, nullptr, false);
            if (doc.is_discarded()) return json::array({{{"path", ""}, {"message", "line 1, column 2: not JSON"}}});
            if (doc.contains("items") && doc["items"].is_array() && !doc["items"].empty()) return json::array();
            return json::array({{{"path", "/items"}, {"message", "a receipt needs items"}}});
        };
        service_ = std::make_unique<Service>(config, *ledger_, factory, validator);
        ASSERT_TRUE(service_->Bind(&error)) << error;
        service_->StartPrinters(5000);
        thread_ = std::thread([this] { service_->Serve(); });
        client_ = std::make_unique<httplib::Client>("127.0.0.1", service_->port());
        api_ = json::parse(Get("/openapi.json")->body);
    }
    void TearDown() override {
        if (device_) device_->Release();
        if (service_) service_->Stop();
        if (thread_.joinable()) thread_.join();
        service_.reset();
    }

    // Every answer must be one the API document describes, and every error
    // must have the one error shape.
    void Conforms(const std::string& method, const std::string& route, const httplib::Result& res) {
        ASSERT_TRUE(res) << method << " " << route;
        const json& operation = api_["paths"][route][method];
        ASSERT_TRUE(operation.is_object()) << method << " " << route << " is not in the API document";
        EXPECT_TRUE(operation["responses"].contains(std::to_string(res->status)))
            << method << " " << route << " answered " << res->status << " which the API document lacks";
        if (res->status >= 400) {
            json body = json::parse(res->body, nullptr, false);
            ASSERT_TRUE(body.contains("error")) << res->body;
            for (const char* key : {"status", "number", "word", "message", "engineMessage", "advice", "path"}) {
                EXPECT_TRUE(body["error"].contains(key)) << key << " missing in " << res->body;
            }
            // The kind of failure, in the words the API document lists.
            const std::map<int, std::string> kinds = {
                {400, "invalid"},   {401, "unauthorized"}, {403, "forbidden"}, {404, "not-found"},
                {409, "conflict"},  {413, "too-large"},    {415, "unsupported-media-type"},
                {422, "refused"},   {431, "too-large"},    {500, "internal"},  {503, "unavailable"},
                {504, "unknown"}};
            const std::string kind = body["error"].value("status", "");
            EXPECT_TRUE(kind == kinds.at(res->status) || (res->status == 503 && kind == "no-connection"))
                << res->status << " " << res->body;
        }
    }
    httplib::Result Get(const std::string& path) { return client_->Get(path.c_str(), headers_); }
    httplib::Result Post(const std::string& path, const std::string& body) {
        return client_->Post(path.c_str(), headers_, body, "application/json");
    }
    static std::string Receipt(const std::string& id, int price = 100) {
        return json{{"requestId", id}, {"items", {{{"name", "Bread"}, {"price", price}}}}}.dump();
    }

    std::unique_ptr<Ledger> ledger_;
    std::unique_ptr<Service> service_;
    FakeDevice* device_ = nullptr;
    std::thread thread_;
    std::unique_ptr<httplib::Client> client_;
    httplib::Headers headers_;
    json api_;
};

TEST_F(HttpFake, PrintsARequestIdOnceAndAnswersRepeatsFromTheLedger) {
    Start();
    auto first = Post("/printers/main/receipt", Receipt("sale-1"));
    Conforms("post", "/printers/{id}/receipt", first);
    ASSERT_EQ(first->status, 200) << first->body;
    json answer = json::parse(first->body);
    EXPECT_EQ(answer["state"], "closed");
    EXPECT_EQ(answer["checkNumber"], 101);

    auto again = Post("/printers/main/receipt", Receipt("sale-1"));
    Conforms("post", "/printers/{id}/receipt", again);
    EXPECT_EQ(again->status, 200);
    EXPECT_EQ(json::parse(again->body), answer);
    EXPECT_EQ(again->get_header_value("Brenvik-Repeated"), "1");

    auto other = Post("/printers/main/receipt", Receipt("sale-1", 999));
    Conforms("post", "/printers/{id}/receipt", other);
    EXPECT_EQ(other->status, 409);
    EXPECT_EQ(device_->printed.size(), 1u);

    auto stored = Get("/receipts/sale-1");
    Conforms("get", "/receipts/{requestId}", stored);
    EXPECT_EQ(json::parse(stored->body)["checkNumber"], 101);
    auto list = Get("/printers/main/receipts?limit=5");
    Conforms("get", "/printers/{id}/receipts", list);
    EXPECT_EQ(json::parse(list->body)["receipts"].size(), 1u);
}

TEST_F(HttpFake, RefusesBadInputWithItsPathAndSendsNothing) {
    Config config;
    config.nestingLimit = 4;
    Start(config);
    struct Case {
        std::string body;
        const char* path;
    };
    const Case cases[] = {
        {"{not json", ""},
        {"[1,2]", ""},
        {R"({"items":[{"name":"x"}]})", "/requestId"},
        {R"({"requestId":"","items":[1]})", "/requestId"},
        {R"({"requestId":42,"items":[1]})", "/requestId"},
        {R"({"requestId":"a b","items":[1]})", "/requestId"},
        {R"({"requestId":"till#1","items":[1]})", "/requestId"},
        {R"({"requestId":"r","items":[]})", "/items"},
        {R"({"requestId":"r","items":[[[[[1]]]]]})", ""},
    };
    for (const Case& c : cases) {
        auto res = Post("/printers/main/receipt", c.body);
        Conforms("post", "/printers/{id}/receipt", res);
        EXPECT_EQ(res->status, 400) << c.body;
        EXPECT_EQ(json::parse(res->body)["error"].value("path", ""), c.path) << c.body;
    }
    auto cash = Post("/printers/main/cash", R"({"direction":"sideways","amount":100})");
    Conforms("post", "/printers/{id}/cash", cash);
    EXPECT_EQ(json::parse(cash->body)["error"]["path"], "/direction");
    auto time = client_->Put("/printers/main/time", R"({"time":"yesterday"})", "application/json");
    Conforms("put", "/printers/{id}/time", time);
    EXPECT_EQ(time->status, 400);
    EXPECT_TRUE(device_->printed.empty());
    EXPECT_EQ(std::count_if(device_->calls.begin(), device_->calls.end(),
                            [](const std::string& c) { return c.rfind("cash", 0) == 0 || c.rfind("set", 0) == 0; }),
              0);
}

TEST_F(HttpFake, AnswersEveryRouteOfAPrinter) {
    Config config;
    config.raw = true;
    Start(config);
    struct Case {
        const char* method;
        const char* path;
        const char* route;
        std::string body;
        int status;
        const char* call;  // what the printer was asked, if anything
    };
    const Case cases[] = {
        {"get", "/printers", "/printers", "", 200, nullptr},
        {"get", "/printers/main", "/printers/{id}", "", 200, nullptr},
        {"get", "/printers/nowhere", "/printers/{id}", "", 404, nullptr},
        {"get", "/printers/main/status", "/printers/{id}/status", "", 200, nullptr},
        {"post", "/printers/nowhere/receipt", "/printers/{id}/receipt", Receipt("x"), 404, nullptr},
        {"post", "/printers/main/x-report", "/printers/{id}/x-report", "", 200, "x-report"},
        {"post", "/printers/main/z-report", "/printers/{id}/z-report", "", 200, "z-report"},
        {"post", "/printers/main/cash", "/printers/{id}/cash", R"({"direction":"in","amount":"12.50"})", 200,
         "cash in 1250"},
        {"get", "/printers/main/time", "/printers/{id}/time", "", 200, "time"},
        {"put", "/printers/main/time", "/printers/{id}/time", R"({"time":"2026-12-08T10:11:12"})", 200,
         "set time 2026-12-08T10:11:12"},
        {"post", "/printers/main/raw", "/printers/{id}/raw", R"({"command":"GLCN"})", 200, "raw GLCN"},
        {"get", "/printers/main/documents/taxes", "/printers/{id}/documents/{kind}", "", 200, "document taxes"},
        {"get", "/printers/main/documents/bogus", "/printers/{id}/documents/{kind}", "", 404, nullptr},
        {"get", "/printers/main/articles/7", "/printers/{id}/articles/{n}", "", 200, "document article"},
        {"get", "/tasks/00000000-1", "/tasks/{id}", "", 404, nullptr},
        {"get", "/receipts/unknown", "/receipts/{requestId}", "", 404, nullptr},
        {"get", "/", "/", "", 200, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        size_t before = device_->calls.size();
        std::string method = c.method;
        httplib::Result res = method == "get"    ? Get(c.path)
                              : method == "post" ? Post(c.path, c.body)
                                                 : client_->Put(c.path, c.body, "application/json");
        Conforms(c.method, c.route, res);
        EXPECT_EQ(res->status, c.status) << res->body;
        if (c.call) {
            ASSERT_GT(device_->calls.size(), before);
            EXPECT_EQ(device_->calls.back(), c.call);
        }
    }
    EXPECT_EQ(Get("/no/such/route")->status, 404);
}

TEST_F(HttpFake, QueuesInOrderRefusesWhenFullAndServesStatusMeanwhile) {
    Start();  // queue of 2
    device_->Hold();
    // The first is taken by the worker (and held), two wait, the fourth is refused.
    std::vector<json> accepted;
    int refused = 0;
    for (int i = 0; i < 4; ++i) {
        auto res = Post("/printers/main/receipt?async=1", Receipt("q" + std::to_string(i)));
        Conforms("post", "/printers/{id}/receipt", res);
        if (res->status == 202) {
            accepted.push_back(json::parse(res->body));
            EXPECT_EQ(res->get_header_value("Location"), "/tasks/" + accepted.back()["id"].get<std::string>());
        } else {
            EXPECT_EQ(res->status, 503);
            EXPECT_EQ(res->get_header_value("Retry-After"), "2");
            ++refused;
        }
        // Give the worker its first job before the queue fills.
        while (i == 0 && json::parse(Get("/printers/main/status")->body)["busy"] != true) std::this_thread::yield();
    }
    EXPECT_EQ(accepted.size(), 3u);
    EXPECT_EQ(refused, 1);
    // A repeated id still in the queue gets its task's state; nothing is queued twice.
    auto repeat = Post("/printers/main/receipt", Receipt("q1"));
    EXPECT_EQ(repeat->status, 202);
    EXPECT_EQ(json::parse(repeat->body)["id"], accepted[1]["id"]);
    // The refused id was forgotten: it may be sent again later.
    EXPECT_FALSE(ledger_->Find("q3"));

    auto status = Get("/printers/main/status");
    Conforms("get", "/printers/{id}/status", status);
    EXPECT_EQ(json::parse(status->body)["queue"], 2);

    device_->Release();
    for (const json& task : accepted) {
        json state;
        do {
            auto res = Get("/tasks/" + task["id"].get<std::string>());
            Conforms("get", "/tasks/{id}", res);
            state = json::parse(res->body);
        } while (state["state"] != "done");
        EXPECT_EQ(state["status"], 200);
    }
    std::vector<long> numbers;
    for (int i = 0; i < 3; ++i) numbers.push_back(*ledger_->Find("q" + std::to_string(i))->checkNumber);
    EXPECT_EQ(numbers, (std::vector<long>{101, 102, 103}));
}

TEST_F(HttpFake, AnUnreachablePrinterSendsNothingAndLeavesTheIdFree) {
    Start();
    device_->Drop();
    auto res = Post("/printers/main/receipt", Receipt("offline-1"));
    Conforms("post", "/printers/{id}/receipt", res);
    EXPECT_EQ(res->status, 503);
    EXPECT_FALSE(ledger_->Find("offline-1"));
    device_->reachable = true;
    auto retry = Post("/printers/main/receipt", Receipt("offline-1"));
    EXPECT_EQ(retry->status, 200) << retry->body;
}

TEST_F(HttpFake, ALostClosingIsDecidedOnceThePrinterAnswersAgain) {
    Start();
    // The check closes on the printer, then the line drops before the answer.
    device_->print = [](FakeDevice& d, const ReceiptProgress& progress) {
        d.CloseNormally(progress);
        d.Drop();
        ReceiptOutcome lost;
        lost.error = FakeDevice::Lost();
        return lost;
    };
    auto lost = Post("/printers/main/receipt", Receipt("lost-1"));
    Conforms("post", "/printers/{id}/receipt", lost);
    EXPECT_EQ(lost->status, 504);
    auto waiting = Post("/printers/main/receipt", Receipt("lost-1"));
    Conforms("post", "/printers/{id}/receipt", waiting);
    EXPECT_EQ(waiting->status, 202);
    EXPECT_EQ(json::parse(waiting->body)["state"], "closing");
    // While the printer is away nothing else may print.
    EXPECT_EQ(Post("/printers/main/receipt", Receipt("next-1"))->status, 503);

    device_->print = nullptr;
    device_->reachable = true;
    EXPECT_EQ(Post("/printers/main/x-report", "")->status, 200);
    auto decided = Post("/printers/main/receipt", Receipt("lost-1"));
    EXPECT_EQ(decided->status, 200) << decided->body;
    json body = json::parse(decided->body);
    EXPECT_EQ(body["checkNumber"], 101);
    EXPECT_EQ(body["reconciled"], true);
    EXPECT_EQ(device_->printed.size(), 1u);
}

TEST_F(HttpFake, GuardsWithTokenOriginsAndLimits) {
    char path[] = "/tmp/brenvikd-token-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "s3cret\n", 7), 7);
    close(fd);
    Config config;
    config.tokenFile = path;
    config.token = "s3cret";
    config.corsOrigins = {"https://pos.example"};
    config.raw = false;
    config.bodyLimit = 2048;
    headers_ = {{"Authorization", "Bearer s3cret"}};
    Start(config);
    headers_.clear();
    unlink(path);

    EXPECT_EQ(Get("/")->status, 200);
    auto refused = Get("/printers");
    Conforms("get", "/printers", refused);
    EXPECT_EQ(refused->status, 401);
    headers_ = {{"Authorization", "Bearer wrong"}};
    EXPECT_EQ(Get("/printers")->status, 401);
    headers_ = {{"Authorization", "Bearer s3cret"}, {"Origin", "https://pos.example"}};
    auto allowed = Get("/printers");
    EXPECT_EQ(allowed->status, 200);
    EXPECT_EQ(allowed->get_header_value("Access-Control-Allow-Origin"), "https://pos.example");
    headers_ = {{"Authorization", "Bearer s3cret"}, {"Origin", "https://evil.example"}};
    EXPECT_FALSE(Get("/printers")->has_header("Access-Control-Allow-Origin"));
    httplib::Headers preflight = {{"Origin", "https://pos.example"}, {"Access-Control-Request-Method", "POST"}};
    EXPECT_EQ(client_->Options("/printers/main/receipt", preflight)->status, 204);
    preflight = {{"Origin", "https://evil.example"}, {"Access-Control-Request-Method", "POST"}};
    EXPECT_EQ(client_->Options("/printers/main/receipt", preflight)->status, 403);

    headers_ = {{"Authorization", "Bearer s3cret"}};
    auto raw = Post("/printers/main/raw", R"({"command":"GLCN"})");
    Conforms("post", "/printers/{id}/raw", raw);
    EXPECT_EQ(raw->status, 403);
    auto big = Post("/printers/main/receipt", std::string(4096, ' '));
    EXPECT_EQ(big->status, 413);
    EXPECT_TRUE(json::parse(big->body).contains("error"));
    EXPECT_TRUE(device_->printed.empty());
}

}  // namespace
}  // namespace brenvikd
