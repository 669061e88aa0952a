// detect on Windows: the COM ports the system knows. A port is opened
// exclusively there, so one another program holds cannot be opened: the C
// API says it is busy, and nothing reaches it.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "cli/detect.h"

namespace brenvik::cli {

const char* const kProbedDevices = "every COM port";

namespace {

bool IsComName(const std::string& name) {
    return name.size() > 3 && (name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
           (name[2] == 'M' || name[2] == 'm') && name.find_first_not_of("0123456789", 3) == std::string::npos;
}

unsigned long Number(const std::string& com) { return std::stoul(com.substr(3)); }

}  // namespace

std::vector<std::string> SerialDevices() {
    std::vector<char> buffer(1 << 16);
    DWORD length = 0;
    while ((length = QueryDosDeviceA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()))) == 0 &&
           GetLastError() == ERROR_INSUFFICIENT_BUFFER && buffer.size() < (1u << 24))
        buffer.resize(buffer.size() * 2);
    std::vector<std::string> ports;
    for (const char* name = buffer.data(); name < buffer.data() + length && *name != '\0';
         name += std::strlen(name) + 1)
        if (IsComName(name)) ports.push_back(DeviceBehind(name));
    std::sort(ports.begin(), ports.end(),
              [](const std::string& a, const std::string& b) { return Number(a) < Number(b); });
    return ports;
}

// "com3", "COM3" and "\\.\COM3" are one port.
std::string DeviceBehind(const std::string& name) {
    std::string bare = name.compare(0, 4, "\\\\.\\") == 0 ? name.substr(4) : name;
    if (!IsComName(bare)) return name;
    return "COM" + bare.substr(3);
}

std::vector<std::string> HeldElsewhere(const std::vector<std::string>&) { return {}; }

}  // namespace brenvik::cli
