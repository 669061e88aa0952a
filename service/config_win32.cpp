#include "service/config.h"

#include "service/support_win32.h"

namespace brenvikd {

// Everything the service keeps is in %ProgramData%\Brenvik: its settings
// and token there, its ledger and logs in the folder `service` inside, which
// only SYSTEM and administrators may open (the folder itself also holds the
// COM server's log, which every user writes). The token is taken when it is
// there: --install-service makes it, and names it in brenvikd.json, so the
// service never runs without it.
Config DefaultConfig() {
    Config config;
    const std::string dir = win32::DataDirectory();
    config.ledger = win32::PrivateDirectory() + "\\brenvikd-ledger.db";
    config.logDir = win32::PrivateDirectory();
    config.defaultConfigFile = dir + "\\brenvikd.json";
    const std::string token = dir + "\\brenvikd.token";
    if (GetFileAttributesW(win32::Wide(token).c_str()) != INVALID_FILE_ATTRIBUTES) config.tokenFile = token;
    return config;
}

}  // namespace brenvikd
