// Device names on POSIX: paths, and "\\.\COMn" for the engine to map.
#include "capi/ports.h"

namespace brenvik::capi {

std::string NativeDeviceName(const std::string& device) { return device; }

std::string PortAdvice(const LineFailure& failure) {
    switch (failure.kind) {
    case LineFailureKind::NotFound:
        return "check the device's name: ls -l /dev/serial/by-id/ lists the USB adapters plugged in";
    case LineFailureKind::Denied:
        return "serial devices belong to the group dialout: sudo usermod -aG dialout $USER, then log in again";
    case LineFailureKind::Busy: return "another program holds the device (fuser -v shows which)";
    case LineFailureKind::NotSerial: return "this is not a serial device";
    case LineFailureKind::None:
    case LineFailureKind::Other: break;
    }
    return {};
}

}  // namespace brenvik::capi
