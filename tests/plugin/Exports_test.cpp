// The shared library as a host sees it: what it exports, and the factory behind dlopen.
#include <dlfcn.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/RecordingHost.h"
#include "plugin/HostInterface.h"

namespace {

std::vector<std::string> exportedSymbols() {
    std::vector<std::string> symbols;
    const std::string command = std::string("nm -D --defined-only -C ") + ZOVOZUDO_PLUGIN_PATH;
    FILE* const pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return symbols;
    char line[4096];
    while (std::fgets(line, sizeof(line), pipe) != nullptr) {
        std::string text(line);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        // "<address> <kind> <name>"
        const size_t kind = text.find(' ');
        if (kind == std::string::npos || kind + 3 > text.size()) continue;
        symbols.push_back(text.substr(kind + 3));
    }
    pclose(pipe);
    return symbols;
}

TEST(PluginLibrary, ExportsOnlyTheFactoryAndThePluginClass) {
    const std::vector<std::string> symbols = exportedSymbols();
    ASSERT_FALSE(symbols.empty()) << "nm found nothing in " << ZOVOZUDO_PLUGIN_PATH;
    bool factory = false;
    for (const std::string& symbol : symbols) {
        if (symbol == "InputPluginFactory") {
            factory = true;
            continue;
        }
        EXPECT_NE(std::string::npos, symbol.find("ZOVOzudo")) << "leaked symbol: " << symbol;
    }
    EXPECT_TRUE(factory);
}

TEST(PluginLibrary, FactoryMakesAWorkingPlugin) {
    // A host keeps the library loaded; unloading it would also hide what it allocated from the
    // leak checker, which then reports its process-wide services as leaks.
    void* const library = dlopen(ZOVOZUDO_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    ASSERT_NE(nullptr, library) << dlerror();
    auto factory = reinterpret_cast<InputPluginFactoryFunction>(dlsym(library, "InputPluginFactory"));
    ASSERT_NE(nullptr, factory);

    std::unique_ptr<vanto::streamer::InputPluginInterface> plugin(factory());
    ASSERT_NE(nullptr, plugin);
    host::RecordingMedium medium("/nonexistent/zovozudo/missing.flv", "file");
    host::RecordingError error;
    EXPECT_FALSE(plugin->open(&medium, &error));
    EXPECT_EQ(404, error.code.value_or(0));
    EXPECT_EQ("File could not be found.", error.message.value_or(""));
    EXPECT_FALSE(plugin->isSingleInstance());
    plugin.reset();
    dlclose(library);
}

}  // namespace
