#include "tools/PluginLoader.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace cli {

namespace {

constexpr char kFactoryName[] = "InputPluginFactory";
constexpr char kPluginFileName[] = "libZOVOzudo.so";

std::string lastDlError() {
    const char* text = dlerror();
    return text != nullptr ? text : "unknown error";
}

}  // namespace

std::unique_ptr<PluginLibrary> PluginLibrary::load(const std::string& path, std::string* error) {
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    // RTLD_NOW: an unresolved symbol in the plug-in shows up here, not in the middle of a read.
    // RTLD_NODELETE: the plug-in's process-wide services (its registry, the log reference) are
    // meant to live until the process ends, as they do in the host application; unloading the
    // code under them would also hide them from leak checkers, which then report them as lost.
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle == nullptr) {
        *error = "cannot load plug-in: " + lastDlError();
        return nullptr;
    }
    dlerror();
    void* symbol = dlsym(handle, kFactoryName);
    if (symbol == nullptr) {
        *error = "plug-in " + file + " does not export " + kFactoryName;
        dlclose(handle);
        return nullptr;
    }
    auto factory = reinterpret_cast<InputPluginFactoryFunction>(symbol);
    return std::unique_ptr<PluginLibrary>(new PluginLibrary(handle, factory));
}

PluginLibrary::~PluginLibrary() {
    dlclose(handle_);
}

PluginObject PluginLibrary::create() const {
    return PluginObject(factory_());
}

std::string defaultPluginPath() {
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (length <= 0) return kPluginFileName;
    std::string directory(self, static_cast<size_t>(length));
    directory.erase(directory.rfind('/') + 1);
    return directory + kPluginFileName;
}

}  // namespace cli
