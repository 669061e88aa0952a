// See completion.h. Subcommands nest ("time set"); options given before the
// subcommand also count after it, as the tool takes them there too.
#include "cli/completion.h"

#include <CLI/CLI.hpp>

#include <sstream>
#include <vector>

namespace brenvik::cli {

namespace {

struct Level {
    std::string path;  // "" for the tool itself, "time set" below
    const CLI::App* app;
};

void Collect(const CLI::App* app, const std::string& path, std::vector<Level>& out) {
    out.push_back({path, app});
    for (const CLI::App* sub : app->get_subcommands([](const CLI::App*) { return true; }))
        Collect(sub, path.empty() ? sub->get_name() : path + " " + sub->get_name(), out);
}

bool TakesValue(const CLI::Option* o) { return !o->get_positional() && o->get_expected_min() > 0; }

std::string Quoted(const std::string& path) { return path.find(' ') == std::string::npos ? path : '"' + path + '"'; }

}  // namespace

std::string CompletionScript(const CLI::App& app, const std::string& shell) {
    if (shell != "bash" && shell != "zsh") return {};
    const std::string name = app.get_name().empty() ? "brenvik" : app.get_name();
    const std::string fn = "_" + name;
    std::vector<Level> levels;
    Collect(&app, "", levels);

    std::string globals;
    std::vector<std::string> valueOptions;
    for (const Level& level : levels) {
        for (const CLI::Option* o : level.app->get_options()) {
            for (const std::string& l : o->get_lnames()) {
                if (level.path.empty()) globals += " --" + l;
                if (TakesValue(o)) valueOptions.push_back("--" + l);
            }
        }
    }

    std::ostringstream s;
    if (shell == "zsh") {
        s << "#compdef " << name << "\n"
          << "# zsh completion for " << name << ", made by `" << name << " completion zsh`.\n"
          << "autoload -U +X bashcompinit && bashcompinit\n";
    } else {
        s << "# bash completion for " << name << ", made by `" << name << " completion bash`.\n";
    }
    s << fn << "() {\n"
      << "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} path= i w\n"
      << "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
      << "        w=${COMP_WORDS[i]}\n"
      << "        case \"${path:+$path }$w\" in\n"
      << "        ";
    bool first = true;
    for (const Level& level : levels) {
        if (level.path.empty()) continue;
        s << (first ? "" : "|") << Quoted(level.path);
        first = false;
    }
    s << ") path=\"${path:+$path }$w\" ;;\n"
      << "        esac\n"
      << "    done\n"
      << "    case \"$prev\" in\n"
      << "    --device) COMPREPLY=($(compgen -f -- \"${cur:-/dev/}\")); return ;;\n"
      << "    --log-dir) COMPREPLY=($(compgen -d -- \"$cur\")); return ;;\n";
    std::string others;
    for (const std::string& o : valueOptions) {
        if (o != "--device" && o != "--log-dir") others += (others.empty() ? "" : "|") + o;
    }
    if (!others.empty()) s << "    " << others << ") return ;;\n";
    s << "    esac\n"
      << "    local words=\"" << globals.substr(globals.empty() ? 0 : 1) << "\"\n"
      << "    case \"$path\" in\n";
    for (const Level& level : levels) {
        std::string words;
        bool files = false;
        for (const CLI::App* sub : level.app->get_subcommands([](const CLI::App*) { return true; }))
            words += " " + sub->get_name();
        if (!level.path.empty()) {
            for (const CLI::Option* o : level.app->get_options()) {
                for (const std::string& l : o->get_lnames()) {
                    if (globals.find(" --" + l) == std::string::npos) words += " --" + l;
                }
                if (o->get_positional() && o->get_name() == "FILE") files = true;
            }
        }
        s << "    " << (level.path.empty() ? "\"\"" : Quoted(level.path)) << ") words=\"$words" << words << "\"";
        if (files) s << "; [[ $cur != -* ]] && { COMPREPLY=($(compgen -f -- \"$cur\")); return; }";
        s << " ;;\n";
    }
    s << "    esac\n"
      << "    COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
      << "}\n"
      << "complete -F " << fn << " " << name << "\n";
    return s.str();
}

}  // namespace brenvik::cli
