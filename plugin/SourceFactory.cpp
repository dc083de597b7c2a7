#include "plugin/SourceFactory.h"

#include <utility>

#include "sources/FLVNetworkClient.h"
#include "sources/HTTPClient.h"
#include "sources/LocalClient.h"
#include "sources/RTMPClient.h"

namespace {

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

SourceCreator& testingCreator() {
    static SourceCreator creator;
    return creator;
}

}  // namespace

void setSourceCreatorForTesting(SourceCreator creator) { testingCreator() = std::move(creator); }

std::unique_ptr<FLVNetworkClient> createSource(const std::string& scheme) {
    if (testingCreator()) return testingCreator()(scheme);
    if (startsWith(scheme, "file")) return std::make_unique<LocalClient>();
    if (startsWith(scheme, "rtmp")) return std::make_unique<RTMPClient>();
    return std::make_unique<HTTPClient>();
}
