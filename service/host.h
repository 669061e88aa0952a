// How brenvikd lives on its system: started from a console or a service
// manager, stopped by a signal, Ctrl+C or Windows' Service Control Manager.
// main.cpp's body is the same everywhere; host_posix.cpp and host_win32.cpp
// hold what is not.
#pragma once

#include <functional>
#include <string>

#include "service/config.h"

namespace brenvikd {

class Host {
public:
    virtual ~Host() = default;
    // Blocks until a stop is asked for (true), or Release() is called (false).
    virtual bool WaitForStop() = 0;
    // Ends WaitForStop without a stop: the server ended by itself.
    virtual void Release() = 0;
    // The service serves (the Service Control Manager is told it runs).
    virtual void Running() = 0;
    // A stop is under way and takes at most ms more.
    virtual void Stopping(int ms) = 0;
    // Why the service cannot go on: standard error, on Windows also the Event Log.
    virtual void Error(const std::string& text) = 0;
    // Ends the process now, after telling whoever waits for it.
    [[noreturn]] virtual void Exit(int status) = 0;
};

// The service itself, given the settings it runs with; returns the exit status.
using Body = std::function<int(Host& host, Config& config)>;

// Reads the command line (and the platform's configuration file), carries
// out the platform's own commands (on Windows --install-service,
// --uninstall-service, and --service under the Service Control Manager),
// and runs body. Returns the program's exit status.
int RunHost(int argc, char** argv, const Body& body);

}  // namespace brenvikd
