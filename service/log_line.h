// The service's lines for machines: key=value pairs, as journald and log
// shippers read them.
#pragma once

#include <string>

namespace brenvikd {

// A value of a key=value line: quoted when it holds a blank, a quote or an
// equals sign (or is empty); control bytes never reach the line.
std::string LogValue(const std::string& value);

}  // namespace brenvikd
