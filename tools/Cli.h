// The command line of `zovozudo`, the command-line host that plays a medium through the plug-in
// exactly as the host application would. Options may stand anywhere among the arguments, up to
// a "--" after which everything is an argument. Parsed with CLI11.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace cli {

struct CommandLine {
    std::string command;  // empty when none was given
    std::vector<std::string> arguments;
    std::string pluginPath;  // empty: the library beside the executable
    std::optional<std::string> protocol;
    bool json = false;
    bool unset = false;  // log-level --unset
    bool help = false;
};

// False, with the reason in |error|, for an unknown option or command or an option that lacks
// its value.
bool parseCommandLine(const std::vector<std::string>& args, CommandLine* out, std::string* error);

// Runs the command named by |args| (without the program name); returns the exit status.
int run(const std::vector<std::string>& args);

}  // namespace cli
