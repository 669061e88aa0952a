// The MQTT connector: a second road into the service for a point-of-sale
// program in the cloud, through a broker the shop connects out to. It takes
// PREFIX/SHOP/printers/ID/{receipt,x-report,z-report,cash} (QoS 1, the
// HTTP API's JSON, requestId required) and answers on
// PREFIX/SHOP/printers/ID/result/REQUESTID with the answer HTTP gives.
//
// Exactly once across the broker: a message is in the ledger (its inbox)
// before the broker is acknowledged, the request goes through the same
// receipt book as HTTP (a repeated requestId is answered from the ledger),
// and an answer stays in the ledger (its outbox) until the broker has
// acknowledged it, so it is published again after the broker, or the
// service, was away.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "service/config.h"
#include "service/ledger.h"
#include "service/mqtt_client.h"
#include "service/service.h"

namespace brenvikd {

class MqttConnector {
public:
    MqttConnector(const Config& config, Service& service, Ledger& ledger);
    ~MqttConnector();
    MqttConnector(const MqttConnector&) = delete;
    MqttConnector& operator=(const MqttConnector&) = delete;

    // Before the printers start: makes the client (false with *error when
    // this build has none), and takes back the messages of the last run
    // that never reached a printer, so the start-up reconciliation does not
    // fail them.
    bool Open(std::string* error);
    // Once the printers have reconciled: connects, and hands the messages
    // to the printers.
    void Start();
    // Takes no more messages; tells the broker the service is offline.
    void Stop();

private:
    struct Item {
        int64_t seq = 0;  // in the inbox
        std::string topic, payload;
        std::string printer, kind, requestId;  // requestId "" when the payload has no valid one
        enum class Stage { Waiting, Running, Watching } stage = Stage::Waiting;
        std::shared_ptr<Task> task;
        bool repeated = false;  // its requestId was under way already
        int64_t since = 0;  // ms: taken; for the log
    };

    void OnConnected();
    void OnMessage(const std::string& topic, const std::string& payload);
    void OnDelivered(int mid);
    Item Parse(int64_t seq, const std::string& topic, const std::string& payload) const;

    void Run();
    bool Tick();  // true while something is under way
    void Hand(Item& item, std::set<std::string>& full);
    void Finished(Item& item);
    void Watch(Item& item);
    // Records the answer in place of the message and publishes it; false
    // (the message stays) when the ledger cannot be written.
    bool Answer(Item& item, int status, json body, bool repeated);
    void Publish(int64_t seq, const std::string& topic, const std::string& payload);
    void Resend();
    void PublishStatus(bool all);
    void Hold(const std::string& printer, int ms);
    bool IsAway(const json& printer);
    std::string Base() const;

    const MqttConfig config_;
    const size_t bodyLimit_;
    const bool logRequests_;
    Service& service_;
    Ledger& ledger_;
    std::unique_ptr<MqttClient> client_;

    std::mutex mutex_;  // arrived_, delivered_, connected_, stop_
    std::condition_variable wake_;
    std::vector<Item> arrived_;
    std::vector<int> delivered_;
    bool connected_ = false;  // to tell the dispatcher to resend
    bool stop_ = false;

    std::mutex publishMutex_;  // a publication and its id as one step
    std::map<int, int64_t> inflight_;  // id -> outbox seq

    // The dispatcher thread only.
    std::list<Item> items_;
    std::map<std::string, int64_t> holdUntil_;
    std::map<std::string, json> printers_;  // this round's view of them
    std::map<std::string, int> handed_;     // handed to each this round
    std::map<std::string, int64_t> awaySeen_;  // ms: a printer last seen away
    std::map<std::string, std::string> statuses_;  // printer -> the status last published
    int64_t lastStatusMs_ = 0;
    int64_t lastWatchMs_ = 0;
    std::thread thread_;
};

}  // namespace brenvikd
