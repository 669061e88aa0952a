// How a device name given to brenvik_connect_device reaches the serial line.
#pragma once

#include <string>

namespace brenvik::capi {

// The name the platform opens for `device`: on Windows "COM3", "com12" and
// "\\.\COM12" all become "\\.\COMn" (the only form that reaches COM10 and
// up); other names, and every name elsewhere, pass unchanged.
std::string NativeDeviceName(const std::string& device);

}  // namespace brenvik::capi
