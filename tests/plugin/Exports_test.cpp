// The shared library as a host sees it: what it exports, and the factory behind dlopen.
#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "host/RecordingHost.h"
#include "plugin/HostInterface.h"

namespace {

TEST(PluginLibrary, ExportsOnlyTheFactoryAndThePluginClass) {
    const std::string command = std::string("nm -D --defined-only -C ") + ZOVOZUDO_PLUGIN_PATH;
    FILE* const pipe = popen(command.c_str(), "r");
    ASSERT_NE(nullptr, pipe);
    int symbols = 0, factories = 0;
    for (char line[4096]; std::fgets(line, sizeof(line), pipe) != nullptr; ++symbols) {
        const std::string text(line, std::strlen(line) - 1);  // "<address> <kind> <name>\n"
        const std::string name = text.substr(std::min(text.size(), text.find(' ') + 3));
        factories += name == "InputPluginFactory";
        EXPECT_TRUE(name == "InputPluginFactory" || name.find("ZOVOzudo") != std::string::npos)
            << "leaked symbol: " << name;
    }
    pclose(pipe);
    EXPECT_GT(symbols, 0) << "nm found nothing in " << ZOVOZUDO_PLUGIN_PATH;
    EXPECT_EQ(1, factories);
}

// A null location or scheme reads as empty: the HTTP source, which refuses the empty URL.
struct NullMedium : host::RecordingMedium {
    NullMedium() : host::RecordingMedium("", "") {}
    const char* getLocation() const override { return nullptr; }
    const char* getProtocol() const override { return nullptr; }
};

TEST(PluginLibrary, FactoryMakesAWorkingPlugin) {
    // A host keeps the library loaded; unloading it would also hide what it allocated from the
    // leak checker, which then reports its process-wide services as leaks.
    void* const library = dlopen(ZOVOZUDO_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    ASSERT_NE(nullptr, library) << dlerror();
    auto factory =
        reinterpret_cast<InputPluginFactoryFunction>(dlsym(library, "InputPluginFactory"));
    ASSERT_NE(nullptr, factory);
    std::unique_ptr<vanto::streamer::InputPluginInterface> plugin(factory());
    ASSERT_NE(nullptr, plugin);
    EXPECT_FALSE(plugin->isSingleInstance());
    const host::RecordingMedium missing("/nonexistent/zovozudo/missing.flv", "file");
    const NullMedium null;
    for (const host::RecordingMedium* medium :
         {&missing, static_cast<const host::RecordingMedium*>(&null)}) {
        host::RecordingError error;
        EXPECT_FALSE(plugin->open(medium, &error));
        EXPECT_EQ(404, error.code.value_or(0));
        EXPECT_EQ(medium == &missing ? "File could not be found." : "HTTP input: Server error.",
                  error.message.value_or(""));
        plugin->close();
    }
    plugin.reset();
    dlclose(library);
}

}  // namespace
