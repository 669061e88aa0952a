// The MQTT client on libmosquitto, with our own network thread rather than
// mosquitto_loop_start: that loop gives up for good after a TLS or an
// authentication failure and retries without jitter; a shop whose broker
// was down must come back on its own, and a chain's shops must not all
// come back in the same second.
//
// Acknowledging: libmosquitto 2.0.11 has no manual acknowledgement. It
// queues the PUBACK of a QoS 1 message before calling on_message, but in
// threaded mode the packet is written by this thread's next loop step, so
// it reaches the broker only after the message callback has returned, and
// the callback returns only once the message is on disk.
#include "service/mqtt_client.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>

namespace brenvikd {
namespace {

class MosquittoClient : public MqttClient {
public:
    MosquittoClient(const MqttSettings& settings, Events events) : settings_(settings), events_(std::move(events)) {}

    ~MosquittoClient() override {
        Leave();
        if (mosq_) mosquitto_destroy(mosq_);
    }

    bool Init(std::string* error) {
        static std::once_flag once;
        std::call_once(once, [] { mosquitto_lib_init(); });
        // A persistent session: what the broker holds for us while we are
        // away (or dead) is delivered when we come back.
        mosq_ = mosquitto_new(settings_.clientId.c_str(), false, this);
        if (!mosq_) {
            *error = "cannot make an MQTT client";
            return false;
        }
        mosquitto_threaded_set(mosq_, true);
        mosquitto_connect_callback_set(mosq_, [](mosquitto*, void* self, int rc) {
            static_cast<MosquittoClient*>(self)->OnConnect(rc);
        });
        mosquitto_disconnect_callback_set(mosq_, [](mosquitto*, void* self, int rc) {
            static_cast<MosquittoClient*>(self)->OnDisconnect(rc);
        });
        mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
            auto* client = static_cast<MosquittoClient*>(self);
            client->events_.message(m->topic ? m->topic : "",
                                    std::string(static_cast<const char*>(m->payload),
                                                static_cast<size_t>(std::max(0, m->payloadlen))));
        });
        mosquitto_publish_callback_set(mosq_, [](mosquitto*, void* self, int mid) {
            static_cast<MosquittoClient*>(self)->events_.delivered(mid);
        });
        int rc = MOSQ_ERR_SUCCESS;
        const MqttSettings& s = settings_;
        if (!s.user.empty() || !s.password.empty()) {
            rc = mosquitto_username_pw_set(mosq_, s.user.c_str(), s.password.empty() ? nullptr : s.password.c_str());
        }
        if (rc == MOSQ_ERR_SUCCESS && !s.willTopic.empty()) {
            rc = mosquitto_will_set(mosq_, s.willTopic.c_str(), static_cast<int>(s.willPayload.size()),
                                    s.willPayload.data(), 1, true);
        }
        if (rc == MOSQ_ERR_SUCCESS && s.tls) {
            if (s.caFile.empty()) rc = mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
            if (rc == MOSQ_ERR_SUCCESS && (!s.caFile.empty() || !s.certFile.empty())) {
                rc = mosquitto_tls_set(mosq_, s.caFile.empty() ? nullptr : s.caFile.c_str(), nullptr,
                                       s.certFile.empty() ? nullptr : s.certFile.c_str(),
                                       s.keyFile.empty() ? nullptr : s.keyFile.c_str(), nullptr);
            }
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            *error = std::string("the MQTT settings cannot be used: ") +
                     (rc == MOSQ_ERR_ERRNO ? "a file cannot be read" : mosquitto_strerror(rc));
            return false;
        }
        return true;
    }

    void Start() override {
        thread_ = std::thread([this] { Run(); });
    }

    int Publish(const std::string& topic, const std::string& payload, bool retain) override {
        if (!connected_) return 0;
        int mid = 0;
        int rc = mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                                   retain);
        return rc == MOSQ_ERR_SUCCESS ? mid : 0;
    }

    void Subscribe(const std::string& pattern) override { mosquitto_subscribe(mosq_, nullptr, pattern.c_str(), 1); }

    void Stop(const std::string& topic, const std::string& payload) override {
        if (!thread_.joinable()) return;
        leaving_ = true;
        if (connected_) {
            int mid = 0;
            mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, true);
            mosquitto_disconnect(mosq_);
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait_for(lock, std::chrono::seconds(2), [this] { return !connected_; });
        }
        Leave();
    }

private:
    void Leave() {
        leaving_ = true;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

    void OnConnect(int rc) {
        if (rc != 0) {
            Tell(std::string("the broker refused the connection: ") + mosquitto_connack_string(rc));
            return;
        }
        connected_ = true;
        told_.clear();
        fprintf(stderr, "brenvikd: MQTT: connected to %s:%d as %s\n", settings_.host.c_str(), settings_.port,
                settings_.clientId.c_str());
        events_.connected();
    }

    void OnDisconnect(int rc) {
        const bool was = connected_.exchange(false);
        wake_.notify_all();
        if (was) {
            reset_ = true;
            std::string why = rc == 0 ? "disconnected" : mosquitto_strerror(rc);
            if (!why.empty() && why.back() == '.') why.pop_back();
            told_ = why;  // told here, not again by the first retry
            if (!leaving_) fprintf(stderr, "brenvikd: MQTT: lost the broker (%s); reconnecting\n", why.c_str());
            events_.disconnected(why);
        }
    }

    // Once per cause while the broker stays away.
    void Tell(std::string why) {
        if (!why.empty() && why.back() == '.') why.pop_back();
        if (why == told_) return;
        told_ = why;
        fprintf(stderr, "brenvikd: MQTT: %s:%d: %s; trying again with back-off\n", settings_.host.c_str(),
                settings_.port, why.c_str());
    }

    void Run() {
        std::mt19937 random(std::random_device{}());
        int failures = 0;
        bool first = true;
        while (!stop_) {
            int rc = first ? mosquitto_connect_async(mosq_, settings_.host.c_str(), settings_.port,
                                                     settings_.keepAliveS)
                           : mosquitto_reconnect_async(mosq_);
            first = false;
            if (rc == MOSQ_ERR_SUCCESS) {
                while (!stop_ && (rc = mosquitto_loop(mosq_, 100, 1)) == MOSQ_ERR_SUCCESS) {
                }
            }
            const bool lost = connected_;
            if (lost) OnDisconnect(rc);
            if (stop_ || leaving_) break;
            if (!lost && rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_CONN_REFUSED) {
                Tell(rc == MOSQ_ERR_ERRNO ? std::string("cannot connect: ") + std::strerror(errno)
                                          : mosquitto_strerror(rc));
            }
            if (reset_.exchange(false)) failures = 0;
            // Exponential from half a second, with jitter, up to the cap;
            // a connection that worked starts the count again.
            const double cap = settings_.reconnectMaxS * 1000.0;
            const double base = std::min(cap, 500.0 * (1 << std::min(failures, 16)));
            const auto delay = std::chrono::milliseconds(
                static_cast<long>(std::uniform_real_distribution<double>(base / 2, base)(random)));
            failures = std::min(failures + 1, 30);
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait_for(lock, delay, [this] { return stop_.load(); });
        }
    }

    const MqttSettings settings_;
    Events events_;
    mosquitto* mosq_ = nullptr;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> leaving_{false};
    std::atomic<bool> connected_{false};
    std::atomic<bool> reset_{false};
    std::string told_;  // network thread only
};

}  // namespace

std::unique_ptr<MqttClient> MakeMqttClient(const MqttSettings& settings, MqttClient::Events events,
                                           std::string* error) {
    auto client = std::make_unique<MosquittoClient>(settings, std::move(events));
    if (!client->Init(error)) return nullptr;
    return client;
}

}  // namespace brenvikd
