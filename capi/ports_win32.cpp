// Device names on Windows: COM ports by their DOS name, in the one form
// CreateFile takes for every port number.
#include "capi/ports.h"

namespace brenvik::capi {

namespace {

bool IsPortNumber(const std::string& digits) {
    if (digits.empty() || digits.size() > 3 || digits[0] == '0') return false;
    for (const char c : digits) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

bool IsComName(const std::string& name) {
    return name.size() > 3 && (name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
           (name[2] == 'M' || name[2] == 'm') && IsPortNumber(name.substr(3));
}

}  // namespace

std::string NativeDeviceName(const std::string& device) {
    static const std::string kDevicePrefix = "\\\\.\\";
    const bool prefixed = device.compare(0, kDevicePrefix.size(), kDevicePrefix) == 0;
    const std::string name = prefixed ? device.substr(kDevicePrefix.size()) : device;
    if (!IsComName(name)) return device;
    return kDevicePrefix + "COM" + name.substr(3);
}

std::string PortAdvice(const LineFailure& failure) {
    switch (failure.kind) {
    case LineFailureKind::NotFound: return "check the port's number in the Device Manager (Ports (COM & LPT))";
    case LineFailureKind::Busy:
        return "another program holds the port: close it, or stop the brenvikd service if it drives this printer";
    case LineFailureKind::Denied:
    case LineFailureKind::NotSerial:
    case LineFailureKind::None:
    case LineFailureKind::Other: break;
    }
    return {};
}

}  // namespace brenvik::capi
