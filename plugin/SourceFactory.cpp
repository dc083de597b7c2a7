#include "plugin/SourceFactory.h"

#include <utility>

#include "common/Log.h"
#include "plugin/HostInterface.h"
#include "sources/FLVNetworkClient.h"
#include "sources/LocalClient.h"

namespace {

// Stands in for the network sources until they are built: opening fails with a clear error.
class UnavailableSource : public FLVNetworkClient {
public:
    explicit UnavailableSource(std::string scheme) : scheme_(std::move(scheme)) {}

    bool open(std::wstring /*location*/, vanto::streamer::Error* error) override {
        LogError(boost::wformat(L"ZOVOzudo::open : no source for the protocol %s") %
                 std::wstring(scheme_.begin(), scheme_.end()));
        if (error != nullptr) {
            error->setCode(404);
            error->setMessage("Protocol not supported.");
        }
        return false;
    }
    bool close() override { return true; }
    FLVHeader* readHeader() override { return nullptr; }
    FLVPacket* readPacket() override { return nullptr; }

private:
    std::string scheme_;
};

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
    return std::make_unique<UnavailableSource>(scheme);
}
