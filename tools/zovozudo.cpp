// zovozudo: the command-line host of the ZOVOzudo plug-in. See tools/Cli.h.
#include <string>
#include <vector>

#include "tools/Cli.h"
#include "tools/Signals.h"

int main(int argc, char** argv) {
    cli::installSignalHandlers();
    return cli::run(std::vector<std::string>(argv + 1, argv + argc));
}
