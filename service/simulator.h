// --simulate: a substitute printer, m301sim as a child process on a
// pseudo-terminal of its own (simulator_posix.cpp). Windows has none
// (simulator_win32.cpp).
#pragma once

#include <memory>
#include <string>

#include "service/config.h"

namespace brenvikd {

class SimulatedPrinter {
public:
    virtual ~SimulatedPrinter() = default;
};

// Starts it and puts the printer 'sim' first in config; nullptr with *error.
std::unique_ptr<SimulatedPrinter> StartSimulator(Config& config, std::string* error);

}  // namespace brenvikd
