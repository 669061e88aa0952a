// Device names on POSIX: paths, and "\\.\COMn" for the engine to map.
#include "capi/ports.h"

namespace brenvik::capi {

std::string NativeDeviceName(const std::string& device) { return device; }

}  // namespace brenvik::capi
