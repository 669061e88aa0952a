// Shell completion for the brenvik tool, written from its own command-line
// definition, so that it cannot drift from what the tool accepts.
#pragma once

#include <string>

namespace CLI {
class App;
}

namespace brenvik::cli {

// The completion script for `shell` ("bash" or "zsh"); empty for others.
// The zsh script runs the same function through zsh's bashcompinit.
std::string CompletionScript(const CLI::App& app, const std::string& shell);

}  // namespace brenvik::cli
