// The MQTT client the connector stands on: one network thread that keeps
// the connection, reconnecting with back-off. mqtt_mosquitto.cpp is
// libmosquitto; mqtt_none.cpp stands in where the build has no MQTT.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace brenvikd {

struct MqttSettings {
    std::string host;
    int port = 1883;
    bool tls = false;
    std::string caFile, certFile, keyFile;  // caFile empty with tls: the system's CAs
    std::string user, password;
    std::string clientId;
    int keepAliveS = 30;
    int reconnectMaxS = 30;
    // Published (retained, QoS 1) by the broker when the connection is lost.
    std::string willTopic, willPayload;
};

class MqttClient {
public:
    struct Events {
        // Connected (again): subscribe, publish what waits. Network thread.
        std::function<void()> connected;
        std::function<void(const std::string& why)> disconnected;
        // A message of a subscription. The broker's acknowledgement of a
        // QoS 1 message goes out only after this returns.
        std::function<void(const std::string& topic, const std::string& payload)> message;
        // The broker acknowledged the publication of that id.
        std::function<void(int id)> delivered;
    };

    virtual ~MqttClient() = default;
    // Starts the network thread, which connects and keeps connecting.
    virtual void Start() = 0;
    // QoS 1, from any thread. The publication's id, or 0 when it could not
    // be queued (not connected): the caller sends it again on connecting.
    virtual int Publish(const std::string& topic, const std::string& payload, bool retain) = 0;
    // QoS 1; in the connected event.
    virtual void Subscribe(const std::string& pattern) = 0;
    // Publishes a last retained message when connected, then disconnects
    // (so the will is not sent) and ends the thread.
    virtual void Stop(const std::string& topic, const std::string& payload) = 0;
};

// nullptr with *error when this build has no MQTT, or the settings cannot
// be used.
std::unique_ptr<MqttClient> MakeMqttClient(const MqttSettings& settings, MqttClient::Events events,
                                           std::string* error);

}  // namespace brenvikd
