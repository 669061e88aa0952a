// A build without libmosquitto (the Windows one): --mqtt is refused.
#include "service/mqtt_client.h"

namespace brenvikd {

std::unique_ptr<MqttClient> MakeMqttClient(const MqttSettings&, MqttClient::Events, std::string* error) {
    *error = "this brenvikd was built without the MQTT connector (no libmosquitto on this system); "
             "run it without --mqtt, or use the Linux build for MQTT";
    return nullptr;
}

}  // namespace brenvikd
