#include "tools/Cli.h"

#include <cstdint>
#include <cstdio>

#include "tools/Commands.h"

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
    {"log-level", "log-level [N]", "show or set the plug-in's log level",
     "Prints the plug-in's log level (the DWORD \"LogLevel\" under Software\\Dessaro\\Vanto), or\n"
     "sets it to N: 0 FATAL, 1 ERROR (the default), 2 WARN, 3 INFO, 4 DEBUG.",
     false},
};

constexpr char kUsage[] =
    "usage: zovozudo [--plugin PATH] [--protocol P] COMMAND [ARGS]\n"
    "       zovozudo probe [--json] LOCATION | frames LOCATION | read LOCATION | log-level [N]\n";

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

void printHelp() {
    std::printf("%s\nPlays a medium through the ZOVOzudo plug-in as the host application does.\n\n",
                kUsage);
    std::printf("commands:\n");
    for (const CommandInfo& command : kCommands) {
        std::printf("  %-25s %s\n", command.synopsis, command.summary);
    }
    std::printf("\n%s\n%s\nzovozudo COMMAND --help tells more about one command.\n", kLocationHelp,
                kOptionsHelp);
}

void printCommandHelp(const CommandInfo& command) {
    if (!command.takesLocation) {
        std::printf("usage: zovozudo %s\n\n%s\n", command.synopsis, command.description);
        return;
    }
    std::printf("usage: zovozudo [--plugin PATH] [--protocol P] %s\n\n%s\n\n%s\n%s",
                command.synopsis, command.description, kLocationHelp, kOptionsHelp);
}

int usageError(const std::string& problem) {
    std::fprintf(stderr, "zovozudo: %s\n%sTry 'zovozudo --help'.\n", problem.c_str(), kUsage);
    return kExitUsage;
}

// Matches "--name VALUE" and "--name=VALUE"; advances |index| past what it used.
bool takeValue(const std::vector<std::string>& args, size_t* index, const std::string& name,
               std::string* value, std::string* error, bool* matched) {
    const std::string& arg = args[*index];
    *matched = false;
    if (arg == name) {
        *matched = true;
        if (*index + 1 >= args.size()) {
            *error = "option " + name + " needs a value";
            return false;
        }
        *value = args[++*index];
        return true;
    }
    if (arg.compare(0, name.size() + 1, name + "=") == 0) {
        *matched = true;
        *value = arg.substr(name.size() + 1);
        return true;
    }
    return true;
}

bool parseLevel(const std::string& text, uint32_t* level) {
    if (text.empty() || text.size() > 1 || text[0] < '0' || text[0] > '4') return false;
    *level = static_cast<uint32_t>(text[0] - '0');
    return true;
}

}  // namespace

bool parseCommandLine(const std::vector<std::string>& args, CommandLine* out, std::string* error) {
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool isOption = !optionsEnded && arg.size() > 1 && arg[0] == '-';
        if (!isOption) {
            if (out->command.empty()) {
                out->command = arg;
            } else {
                out->arguments.push_back(arg);
            }
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            out->help = true;
            continue;
        }
        if (arg == "--json") {
            out->json = true;
            continue;
        }
        bool matched = false;
        if (!takeValue(args, &i, "--plugin", &out->pluginPath, error, &matched)) return false;
        if (matched) continue;
        std::string protocol;
        if (!takeValue(args, &i, "--protocol", &protocol, error, &matched)) return false;
        if (matched) {
            out->protocol = protocol;
            continue;
        }
        *error = "unknown option " + arg;
        return false;
    }
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
        if (line.arguments.empty()) return logLevelCommand(std::nullopt);
        uint32_t level = 0;
        if (!parseLevel(line.arguments[0], &level)) {
            return usageError("log level must be 0 to 4, not '" + line.arguments[0] + "'");
        }
        return logLevelCommand(level);
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

    if (line.command == "probe") return probeCommand(options, line.json);
    if (line.command == "frames") return framesCommand(options);
    return readCommand(options);
}

}  // namespace cli
