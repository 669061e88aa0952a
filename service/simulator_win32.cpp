#include "service/simulator.h"

namespace brenvikd {

std::unique_ptr<SimulatedPrinter> StartSimulator(Config&, std::string* error) {
    *error =
        "--simulate is not available on Windows: the simulated printer needs a POSIX pseudo-terminal. Give "
        "--printer ID=COMn (a printer, or m301sim on another machine behind a null-modem cable)";
    return nullptr;
}

}  // namespace brenvikd
