// brenvikd.exe --install-service / --uninstall-service (install_win32.cpp).
#pragma once

#include <string>
#include <vector>

namespace brenvikd {

// Registers the service brenvikd (automatic start, restarted on failure),
// writes %ProgramData%\Brenvik\brenvikd.json from options (an existing one
// is kept when there are none), makes the token when it is missing, and
// registers the Event Log source. Returns the exit status.
int InstallService(const std::vector<std::string>& options);

// Stops the service when it runs, deletes it and its Event Log source;
// %ProgramData%\Brenvik stays. Returns the exit status.
int UninstallService(const std::vector<std::string>& options);

// Writes an error entry (the service could not go on) to the Event Log.
void ReportServiceError(const std::string& text);

}  // namespace brenvikd
