#include "tools/Cli.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "common/LogSettings.h"
#include "platform/RegistryStore.h"
#include "platform/Shell.h"
#include "tools/Commands.h"
#include "tools/PluginLog.h"
#include "tools/Signals.h"

namespace cli {

namespace {

struct CommandInfo {
    const char* name;
    const char* synopsis;
    const char* summary;
    const char* description;
    bool takesLocation;
};

constexpr CommandInfo kCommands[] = {
    {"probe", "probe [--json] LOCATION", "what the plug-in tells the host about the medium",
     "Opens the medium and prints what the plug-in told the host about it. With --json: one\n"
     "JSON object holding exactly the values the plug-in set.",
     true},
    {"frames", "frames LOCATION", "every frame as CSV",
     "Prints every frame as CSV: type,timestamp_us,duration_ms,key,size,crc32 (CRC-32 of the\n"
     "frame's data, 8 hex digits). A summary goes to stderr.",
     true},
    {"read", "read LOCATION", "every frame pulled, only a summary printed",
     "Pulls every frame and prints only a summary: frames, bytes, media time, wall time, MB/s.",
     true},
    {"log-level", "log-level [N | --unset]", "show, set or remove the plug-in's log level",
     "Prints the plug-in's log level (the DWORD \"LogLevel\" under Software\\Dessaro\\Vanto),\n"
     "and when a stored value cannot be used, which file holds it and why. With N: stores N,\n"
     "0 FATAL, 1 ERROR (the default), 2 WARN, 3 INFO, 4 DEBUG. With --unset: removes it.\n"
     "Plug-in objects created afterwards log at the new level.",
     false},
};

constexpr char kUsage[] =
    "usage: zovozudo [--plugin PATH] [--protocol P] COMMAND [ARGS]\n"
    "       zovozudo probe [--json] LOCATION | frames LOCATION | read LOCATION |\n"
    "                log-level [N | --unset]\n";

constexpr char kLocationHelp[] =
    "LOCATION is a file path, file://PATH, or a URL such as rtmp://HOST/APP/STREAM or\n"
    "http://HOST/FILE.flv; the plug-in gets the path or URL and the protocol \"file\", or the\n"
    "scheme as written.\n";

constexpr char kOptionsHelp[] =
    "options:\n"
    "  --plugin PATH   the plug-in library (default: libZOVOzudo.so beside this program)\n"
    "  --protocol P    hand the plug-in protocol P instead of the one LOCATION implies\n"
    "  -h, --help      this text\n";

const CommandInfo* findCommand(const std::string& name) {
    for (const CommandInfo& command : kCommands) {
        if (name == command.name) return &command;
    }
    return nullptr;
}

// Where the settings and the logs are, as this process would find them now.
void printFilesHelp() {
    std::printf(
        "settings and logs:\n"
        "  LogLevel is read from %s\n"
        "  the plug-in logs to   %s (moved to .back at 512 KiB)\n\n"
        "environment:\n"
        "  ZOVOZUDO_REGISTRY_DIR             the settings folder (default %s)\n"
        "  ZOVOZUDO_APPDATA_DIR              the folder that holds Dessaro/Logs (default %s)\n"
        "  ZOVOZUDO_RTMP_CONNECT_TIMEOUT_MS  RTMP name lookup, connect and handshake (30000)\n"
        "  ZOVOZUDO_RTMP_RECEIVE_TIMEOUT_MS  each RTMP read (30000)\n",
        platform::RegistryValueFile(kLogSettingsKey, kLogLevelValueName).c_str(),
        pluginLogPath().c_str(), platform::kDefaultRegistryFolder, platform::kDefaultAppDataFolder);
}

void printHelp() {
    std::printf("%s\nPlays a medium through the ZOVOzudo plug-in as the host application does.\n\n",
                kUsage);
    std::printf("commands:\n");
    for (const CommandInfo& command : kCommands) {
        std::printf("  %-25s %s\n", command.synopsis, command.summary);
    }
    std::printf("\n%s\n%s\n", kLocationHelp, kOptionsHelp);
    printFilesHelp();
    std::printf("\nzovozudo COMMAND --help tells more about one command.\n");
}

void printCommandHelp(const CommandInfo& command) {
    if (!command.takesLocation) {
        std::printf("usage: zovozudo %s\n\n%s\n\n", command.synopsis, command.description);
        printFilesHelp();
        return;
    }
    std::printf("usage: zovozudo [--plugin PATH] [--protocol P] %s\n\n%s\n\n%s\n%s",
                command.synopsis, command.description, kLocationHelp, kOptionsHelp);
}

int usageError(const std::string& problem) {
    std::fprintf(stderr, "zovozudo: %s\n%sTry 'zovozudo --help'.\n", problem.c_str(), kUsage);
    return kExitUsage;
}

bool parseLevel(const std::string& text, uint32_t* level) {
    if (text.size() != 1 || text[0] < '0' || text[0] > '4') return false;
    *level = static_cast<uint32_t>(text[0] - '0');
    return true;
}

// CLI11 takes the word after "--protocol=" as the value when nothing follows the "="; here an
// empty value is meant.
std::vector<std::string> withEmptyValuesSplit(const std::vector<std::string>& args) {
    std::vector<std::string> out;
    for (auto arg = args.begin(); arg != args.end(); ++arg) {
        if (*arg == "--") {
            out.insert(out.end(), arg, args.end());
            return out;
        }
        if (*arg == "--plugin=" || *arg == "--protocol=") {
            out.push_back(arg->substr(0, arg->size() - 1));
            out.push_back("");
        } else {
            out.push_back(*arg);
        }
    }
    return out;
}

}  // namespace

bool parseCommandLine(const std::vector<std::string>& args, CommandLine* out, std::string* error) {
    CLI::App app("", "zovozudo");
    // Help is printed by run, in this program's own words.
    app.set_help_flag();
    app.add_flag("-h,--help", out->help);
    app.add_option("--plugin", out->pluginPath);
    std::string protocol;
    const CLI::Option* protocolOption = app.add_option("--protocol", protocol);
    std::vector<std::string> unknown;
    app.add_option("command", unknown);
    // Options of the program may also follow the command.
    app.fallthrough();
    std::vector<CLI::App*> commands;
    for (const char* name : {"probe", "frames", "read", "log-level", "help"}) {
        CLI::App* command = app.add_subcommand(name);
        command->set_help_flag();
        command->add_flag("-h,--help", out->help);
        command->add_option("arguments", out->arguments);
        commands.push_back(command);
    }
    // Known to every play command, so that run can say whose option it is.
    for (size_t i = 0; i < 3; ++i) commands[i]->add_flag("--json", out->json);
    commands[3]->add_flag("--unset", out->unset);

    std::vector<std::string> reversed = withEmptyValuesSplit(args);
    std::reverse(reversed.begin(), reversed.end());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& failure) {
        *error = failure.what();
        return false;
    }
    if (!unknown.empty()) {
        *error = "unknown command '" + unknown.front() + "'";
        return false;
    }
    for (const CLI::App* command : commands) {
        if (command->parsed() && out->command.empty()) out->command = command->get_name();
    }
    // In "help frames" the parser takes "frames" for a command of its own.
    if (commands.back()->parsed() && out->command != "help") out->help = true;
    if (protocolOption->count() > 0) out->protocol = protocol;
    return true;
}

int run(const std::vector<std::string>& args) {
    CommandLine line;
    std::string error;
    if (!parseCommandLine(args, &line, &error)) return usageError(error);
    if (line.command == "help") {
        line.help = true;
        line.command = line.arguments.empty() ? "" : line.arguments.front();
        line.arguments.clear();
    }
    if (line.command.empty()) {
        if (line.help) {
            printHelp();
            return kExitOk;
        }
        return usageError("no command given");
    }
    const CommandInfo* command = findCommand(line.command);
    if (command == nullptr) return usageError("unknown command '" + line.command + "'");
    if (line.help) {
        printCommandHelp(*command);
        return kExitOk;
    }
    if (line.json && line.command != "probe") return usageError("--json is an option of probe");

    if (!command->takesLocation) {
        if (!line.pluginPath.empty() || line.protocol) {
            return usageError(
                "log-level does not load the plug-in; --plugin and --protocol "
                "do not apply");
        }
        if (line.arguments.size() > 1) return usageError("log-level takes at most one level");
        LogLevelRequest request;
        request.unset = line.unset;
        if (line.arguments.empty()) return logLevelCommand(request);
        if (line.unset) return usageError("log-level takes a level or --unset, not both");
        uint32_t level = 0;
        if (!parseLevel(line.arguments[0], &level)) {
            return usageError("'" + line.arguments[0] +
                              "' is not a log level: the levels are 0 FATAL, 1 ERROR, 2 WARN, "
                              "3 INFO and 4 DEBUG ('log-level --unset' returns to the default)");
        }
        request.level = level;
        return logLevelCommand(request);
    }

    if (line.arguments.size() != 1) {
        return usageError(line.command +
                          (line.arguments.empty() ? " needs a LOCATION" : " takes one LOCATION"));
    }
    if (line.arguments[0].empty()) return usageError("LOCATION is empty");
    PlayOptions options;
    options.pluginPath = line.pluginPath;
    options.medium = parseMediumLocation(line.arguments[0]);
    if (line.protocol) options.medium.protocol = *line.protocol;

    return runInterruptibly([&] {
        if (line.command == "probe") return probeCommand(options, line.json);
        if (line.command == "frames") return framesCommand(options);
        return readCommand(options);
    });
}

}  // namespace cli
