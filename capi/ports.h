// How a device name given to brenvik_connect_device reaches the serial line.
#pragma once

#include <string>

#include "engine/link/serial_line.h"

namespace brenvik::capi {

// The name the platform opens for `device`: on Windows "COM3", "com12" and
// "\\.\COM12" all become "\\.\COMn" (the only form that reaches COM10 and
// up); other names, and every name elsewhere, pass unchanged.
std::string NativeDeviceName(const std::string& device);

// What a person can do about a port that would not open, in this
// platform's terms ("add the user to the group dialout"); empty when there
// is nothing to add to the system's own words.
std::string PortAdvice(const LineFailure& failure);

}  // namespace brenvik::capi
