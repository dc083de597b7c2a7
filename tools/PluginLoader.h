// Loads the plug-in library with dlopen and creates plug-in objects through its exported
// InputPluginFactory, the one way in that the host application has.
#pragma once

#include <memory>
#include <string>

#include "plugin/HostInterface.h"

namespace cli {

// Destroyed through the object's virtual destructor (slot 0), so the plug-in's own delete runs.
using PluginObject = std::unique_ptr<vanto::streamer::InputPluginInterface>;

class PluginLibrary {
  public:
    // The library, or null with the reason in |error|. A |path| without a slash names a file in
    // the working directory, not one for the dynamic linker to search for.
    static std::unique_ptr<PluginLibrary> load(const std::string& path, std::string* error);

    // Every object created from the library must be destroyed before the library is.
    ~PluginLibrary();

    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    // A new plug-in object, or null if the factory returned none.
    PluginObject create() const;

  private:
    PluginLibrary(void* handle, InputPluginFactoryFunction factory)
        : handle_(handle), factory_(factory) {}

    void* const handle_;
    const InputPluginFactoryFunction factory_;
};

// The plug-in library that lies beside the running executable.
std::string defaultPluginPath();

}  // namespace cli
