#include "service/config.h"

namespace brenvikd {

// A service unit or the command line says where things are; the built-in
// defaults stand in the working directory.
Config DefaultConfig() { return Config{}; }

}  // namespace brenvikd
