#include "service/mqtt.h"

#include <chrono>
#include <cstdio>

#include "service/log_line.h"

namespace brenvikd {
namespace {

const char* const kKinds[] = {"receipt", "x-report", "z-report", "cash"};

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A printer whose line cannot be opened, or that did not answer its last
// command (the worker keeps its line open then and tries again).
bool Away(const json& printer) {
    const json error = printer.value("error", json());
    return printer.value("connection", "") == "offline" ||
           (error.is_object() && ConnectionError(static_cast<int>(NumberIn(error, "number", 0))));
}

// What a printer's retained status tells: whether it can print, not how
// busy it is (that would publish with every receipt).
json StatusOf(const json& printer, bool away) {
    const json ledger = printer.value("ledger", json::object());
    const json error = printer.value("error", json());
    return {{"id", printer.value("id", "")},
            {"connection", away ? "offline" : printer.value("connection", "")},
            {"error", error.is_object() ? error.value("message", json(nullptr)) : json(nullptr)},
            {"serialNumber", printer.value("serialNumber", json(nullptr))},
            {"fiscalNumber", printer.value("fiscalNumber", json(nullptr))},
            {"ledger", ledger.value("state", "")}};
}

}  // namespace

MqttConnector::MqttConnector(const Config& config, Service& service, Ledger& ledger)
    : config_(config.mqtt),
      bodyLimit_(config.bodyLimit),
      logRequests_(config.logRequests),
      service_(service),
      ledger_(ledger) {}

MqttConnector::~MqttConnector() { Stop(); }

std::string MqttConnector::Base() const { return config_.prefix + "/" + config_.shop; }

bool MqttConnector::Open(std::string* error) {
    MqttSettings settings;
    settings.host = config_.host;
    settings.port = config_.port;
    settings.tls = config_.tls;
    settings.caFile = config_.caFile;
    settings.certFile = config_.certFile;
    settings.keyFile = config_.keyFile;
    settings.user = config_.user;
    settings.password = config_.password;
    settings.clientId = config_.clientId;
    settings.keepAliveS = config_.keepAliveS;
    settings.reconnectMaxS = config_.reconnectMaxS;
    settings.willTopic = Base() + "/status";
    settings.willPayload = "offline";
    MqttClient::Events events;
    events.connected = [this] { OnConnected(); };
    events.disconnected = [](const std::string&) {};
    events.message = [this](const std::string& topic, const std::string& payload) { OnMessage(topic, payload); };
    events.delivered = [this](int mid) { OnDelivered(mid); };
    client_ = MakeMqttClient(settings, std::move(events), error);
    if (!client_) return false;
    std::vector<QueuedMessage> inbox;
    try {
        inbox = ledger_.Inbox();
        for (const QueuedMessage& m : inbox) {
            Item item = Parse(m.seq, m.topic, m.payload);
            // Claimed but never started: it never reached the printer, and
            // goes to it again rather than be failed by the reconciliation.
            if (!item.requestId.empty()) ledger_.Forget(item.requestId);
            items_.push_back(item);
        }
    } catch (const LedgerError& e) {
        *error = std::string("the MQTT messages of the last run cannot be read: ") + e.what();
        return false;
    }
    if (!inbox.empty()) fprintf(stderr, "brenvikd: MQTT: %zu message(s) of the last run to answer\n", inbox.size());
    return true;
}

void MqttConnector::Start() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_ || thread_.joinable()) return;
    }
    thread_ = std::thread([this] { Run(); });
    client_->Start();
}

void MqttConnector::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (client_) client_->Stop(Base() + "/status", "offline");
    if (thread_.joinable()) thread_.join();
}

// --- the network thread ---

void MqttConnector::OnConnected() {
    for (const char* kind : kKinds) client_->Subscribe(Base() + "/printers/+/" + kind);
    client_->Publish(Base() + "/status", "online", true);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connected_ = true;
    }
    wake_.notify_all();
}

void MqttConnector::OnMessage(const std::string& topic, const std::string& payload) {
    // Kept even while stopping: the broker is acknowledged all the same,
    // and the next run answers it.
    int64_t seq = 0;
    std::string kept = payload;
    if (payload.size() > bodyLimit_) {
        // Not kept whole: answered as too large, without a requestId.
        kept.clear();
    }
    try {
        seq = ledger_.Take(topic, kept);
    } catch (const LedgerError& e) {
        // The broker is acknowledged all the same (the library cannot hold
        // it back): the sender is told, and may send it again.
        fprintf(stderr, "brenvikd: MQTT: a message on %s cannot be kept: %s\n", topic.c_str(), e.what());
    }
    Item item = Parse(seq, topic, kept);
    if (payload.size() > bodyLimit_) item.kind = "too-large";
    {
        std::lock_guard<std::mutex> lock(mutex_);
        arrived_.push_back(std::move(item));
    }
    wake_.notify_all();
}

void MqttConnector::OnDelivered(int mid) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        delivered_.push_back(mid);
    }
    wake_.notify_all();
}

MqttConnector::Item MqttConnector::Parse(int64_t seq, const std::string& topic, const std::string& payload) const {
    Item item;
    item.seq = seq;
    item.topic = topic;
    item.payload = payload;
    item.since = NowMs();
    const std::string head = Base() + "/printers/";
    if (topic.compare(0, head.size(), head) == 0) {
        const std::string rest = topic.substr(head.size());
        const size_t slash = rest.find('/');
        item.printer = rest.substr(0, slash);
        item.kind = slash == std::string::npos ? "" : rest.substr(slash + 1);
    }
    json body = json::parse(payload, nullptr, false);
    if (body.is_object()) {
        auto id = body.find("requestId");
        if (id != body.end() && id->is_string() && ValidRequestId(id->get<std::string>())) {
            item.requestId = id->get<std::string>();
        }
    }
    return item;
}

// --- the dispatcher thread ---

void MqttConnector::Run() {
    bool busy = true;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            // Tasks are looked at often while there are some; otherwise a
            // message, an acknowledgement or the status round wakes it.
            wake_.wait_for(lock, std::chrono::milliseconds(busy ? 20 : 500),
                           [this] { return stop_ || !arrived_.empty() || !delivered_.empty() || connected_; });
            if (stop_) return;
        }
        try {
            busy = Tick();
        } catch (const std::exception& e) {
            fprintf(stderr, "brenvikd: MQTT: %s\n", e.what());
            busy = true;
        }
    }
}

bool MqttConnector::Tick() {
    std::vector<Item> arrived;
    std::vector<int> delivered;
    bool connected = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        arrived.swap(arrived_);
        delivered.swap(delivered_);
        std::swap(connected, connected_);
    }
    for (Item& item : arrived) items_.push_back(std::move(item));
    for (int mid : delivered) {
        int64_t seq = 0;
        {
            std::lock_guard<std::mutex> lock(publishMutex_);
            auto it = inflight_.find(mid);
            if (it == inflight_.end()) continue;
            seq = it->second;
            inflight_.erase(it);
        }
        try {
            ledger_.Delivered(seq);
        } catch (const LedgerError&) {
            // Kept: it is only published once more.
        }
    }
    if (connected) {
        Resend();
        PublishStatus(true);
    }
    const int64_t now = NowMs();
    if (now - lastStatusMs_ >= 500) PublishStatus(false);
    const bool watch = now - lastWatchMs_ >= 1000;
    if (watch) lastWatchMs_ = now;

    std::set<std::string> full;  // printers with no room this round
    handed_.clear();
    printers_.clear();
    for (const Item& item : items_) {
        if (item.stage != Item::Stage::Waiting) continue;
        for (const json& printer : service_.Printers()) printers_[printer.value("id", "")] = printer;
        break;
    }
    bool busy = false;
    for (auto it = items_.begin(); it != items_.end();) {
        Item& item = *it;
        switch (item.stage) {
        case Item::Stage::Waiting:
            Hand(item, full);
            break;
        case Item::Stage::Running:
            if (item.task->Wait(0)) Finished(item);
            break;
        case Item::Stage::Watching:
            if (watch) Watch(item);
            break;
        }
        if (item.seq < 0) {
            it = items_.erase(it);
            continue;
        }
        busy = busy || item.stage == Item::Stage::Running ||
               (item.stage == Item::Stage::Waiting && !full.count(item.printer));
        ++it;
    }
    return busy;
}

void MqttConnector::Hold(const std::string& printer, int ms) { holdUntil_[printer] = NowMs() + ms; }

// Away, or seen away within the last refresh round or so: while it cannot
// be reached its error is cleared for a moment at every try.
bool MqttConnector::IsAway(const json& printer) {
    const std::string id = printer.value("id", "");
    const int64_t now = NowMs();
    if (Away(printer)) awaySeen_[id] = now;
    auto seen = awaySeen_.find(id);
    return seen != awaySeen_.end() && now - seen->second < 3000;
}

void MqttConnector::Hand(Item& item, std::set<std::string>& full) {
    if (full.count(item.printer)) return;
    auto held = holdUntil_.find(item.printer);
    if (held != holdUntil_.end() && NowMs() < held->second) {
        full.insert(item.printer);
        return;
    }
    if (item.kind == "too-large") {
        Answer(item, 413, ErrorBody(413, "the message is larger than the " + std::to_string(bodyLimit_) +
                                             " bytes a request may have"), false);
        return;
    }
    if (item.requestId.empty()) {
        Answer(item, 400, ErrorBody(400, "requestId is required: 1 to 64 characters of A-Z a-z 0-9 . _ : -, "
                                         "unique per request; the answer comes on .../result/REQUESTID",
                                    {}, "/requestId"), false);
        return;
    }
    // A printer that is away: the message waits for it, or is refused by
    // the printer's worker like an HTTP request.
    auto known = printers_.find(item.printer);
    if (known != printers_.end()) {
        const json& p = known->second;
        const bool offline = IsAway(p);
        const bool room = p.value("queue", 0) + handed_[item.printer] < p.value("capacity", 0);
        if ((offline && config_.offline == "queue") || !room) {
            full.insert(item.printer);
            return;
        }
    }
    Reply reply = service_.Take(item.printer, item.kind, item.payload);
    if (reply.task) {
        ++handed_[item.printer];
        item.task = reply.task;
        item.stage = Item::Stage::Running;
        return;
    }
    if (reply.status == 503) {
        // A full queue, a stopping service, a ledger that cannot be
        // written: nothing was done, and the message waits.
        full.insert(item.printer);
        Hold(item.printer, 1000);
        return;
    }
    if (reply.status == 202) {
        // The same requestId is under way (asked again, or by HTTP).
        item.stage = Item::Stage::Watching;
        item.repeated = true;
        return;
    }
    bool repeated = false;
    for (const auto& header : reply.headers) repeated = repeated || header.first == "Brenvik-Repeated";
    Answer(item, reply.status, reply.body, repeated);
}

void MqttConnector::Finished(Item& item) {
    const int status = item.task->status();
    std::optional<LedgerEntry> entry;
    try {
        entry = ledger_.Find(item.requestId);
    } catch (const LedgerError&) {
        item.stage = Item::Stage::Watching;
        return;
    }
    const json result = item.task->result();
    item.task.reset();
    if (entry && IsFinal(entry->state)) {
        const brenvikd::Answer stored = ReceiptBook::Stored(*entry);
        Answer(item, stored.status, stored.body, false);
    } else if (!entry && status == 503 && config_.offline == "queue") {
        // Nothing reached the printer (it went away, or the service is
        // stopping): the message waits for it.
        item.stage = Item::Stage::Waiting;
        Hold(item.printer, 1000);
    } else if (entry && status == 504) {
        // Not known yet: published once the printer tells.
        item.stage = Item::Stage::Watching;
    } else {
        Answer(item, status, result, false);
    }
}

void MqttConnector::Watch(Item& item) {
    std::optional<LedgerEntry> entry;
    try {
        entry = ledger_.Find(item.requestId);
    } catch (const LedgerError&) {
        return;
    }
    if (!entry) {
        // Forgotten: it never reached the printer. Ask again.
        item.stage = Item::Stage::Waiting;
    } else if (IsFinal(entry->state)) {
        const brenvikd::Answer stored = ReceiptBook::Stored(*entry);
        Answer(item, stored.status, stored.body, item.repeated);
    }
}

bool MqttConnector::Answer(Item& item, int status, json body, bool repeated) {
    const bool known = item.printer.find_first_of("/+#") == std::string::npos && !item.printer.empty();
    const std::string where = Base() + "/printers/" + (known ? item.printer : "_");
    std::string topic;
    if (!item.requestId.empty()) {
        topic = where + "/result/" + item.requestId;
    } else {
        // No requestId to answer on: the printer's error topic, with the
        // topic the message came by.
        topic = where + "/error";
        body["topic"] = item.topic;
    }
    if (!body.is_object()) body = json::object();
    body["httpStatus"] = status;
    if (repeated) body["repeated"] = true;
    const std::string payload = body.dump(-1, ' ', false, json::error_handler_t::replace);
    int64_t seq = 0;
    try {
        seq = ledger_.Answer(item.seq, topic, payload);
    } catch (const LedgerError& e) {
        fprintf(stderr, "brenvikd: MQTT: the answer to %s cannot be kept: %s\n", item.topic.c_str(), e.what());
        Hold(item.printer, 1000);
        return false;
    }
    if (logRequests_) {
        fprintf(stderr, "brenvikd: mqtt topic=%s requestId=%s status=%d ms=%lld%s\n", LogValue(item.topic).c_str(),
                LogValue(item.requestId).c_str(), status, static_cast<long long>(NowMs() - item.since),
                repeated ? " repeated=1" : "");
    }
    Publish(seq, topic, payload);
    item.seq = -1;  // done: dropped by the round
    return true;
}

void MqttConnector::Publish(int64_t seq, const std::string& topic, const std::string& payload) {
    std::lock_guard<std::mutex> lock(publishMutex_);
    for (const auto& [mid, queued] : inflight_) {
        if (queued == seq) return;
    }
    const int mid = client_->Publish(topic, payload, false);
    if (mid != 0) inflight_[mid] = seq;
}

// Connected again: every answer the broker has not acknowledged is sent
// again, those of a previous run too.
void MqttConnector::Resend() {
    std::vector<QueuedMessage> outbox;
    try {
        outbox = ledger_.Outbox();
    } catch (const LedgerError&) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(publishMutex_);
        inflight_.clear();
    }
    for (const QueuedMessage& m : outbox) Publish(m.seq, m.topic, m.payload);
    if (!outbox.empty()) fprintf(stderr, "brenvikd: MQTT: %zu answer(s) sent again\n", outbox.size());
}

void MqttConnector::PublishStatus(bool all) {
    lastStatusMs_ = NowMs();
    for (const json& printer : service_.Printers()) {
        const std::string id = printer.value("id", "");
        const std::string status = StatusOf(printer, IsAway(printer)).dump();
        if (!all && statuses_[id] == status) continue;
        if (client_->Publish(Base() + "/printers/" + id + "/status", status, true) != 0) statuses_[id] = status;
    }
}

}  // namespace brenvikd
