// The library's exported entry point. The host destroys the object through its virtual
// destructor.
#include <new>

#include "plugin/ZOVOzudo.h"

extern "C" ZOVOZUDO_EXPORT vanto::streamer::InputPluginInterface* InputPluginFactory() {
    // No exception may cross into the host: a plug-in that cannot be made is a null result.
    try {
        return new ZOVOzudo();
    } catch (...) {
        return nullptr;
    }
}
