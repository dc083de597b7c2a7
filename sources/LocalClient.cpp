#include "sources/LocalClient.h"

#include <algorithm>

#include <boost/filesystem.hpp>
#include <boost/format.hpp>

#include "common/Log.h"
#include "common/TextConversion.h"
#include "flv/FLVHeader.h"
#include "flv/FLVPacket.h"
#include "plugin/HostInterface.h"

namespace {

// Tags are read in small pieces; a larger buffer than the library's default keeps the number of
// reads from the disk low.
constexpr std::streamsize kStreamBufferSize = 256 * 1024;

void reportNotFound(vanto::streamer::Error* error) {
    if (error == nullptr) return;
    error->setCode(404);
    error->setMessage("File could not be found.");
}

}  // namespace

LocalClient::LocalClient() = default;

LocalClient::~LocalClient() { close(); }

bool LocalClient::open(std::wstring location, vanto::streamer::Error* error) {
    LogInfo(boost::wformat(L"LocalClient::open : %s") % location);

    std::string path = wideToUtf8(location);
    std::replace(path.begin(), path.end(), '\\', '/');

    // A path that cannot even be looked at (a folder on the way without access, say) is as
    // unplayable for the user as an absent one; the reason goes to the log.
    boost::system::error_code failure;
    const bool exists = boost::filesystem::exists(boost::filesystem::path(path), failure);
    if (!exists) {
        if (failure && failure != boost::system::errc::no_such_file_or_directory) {
            LogError(boost::wformat(L"LocalClient::open : %s : %s") % location %
                     utf8ToWide(failure.message()));
        }
        reportNotFound(error);
        return false;
    }

    close();
    streamBuffer_.reset(new char[kStreamBufferSize]);
    stream.reset(new std::ifstream());
    stream->rdbuf()->pubsetbuf(streamBuffer_.get(), kStreamBufferSize);
    stream->open(path, std::ios::in | std::ios::binary);
    return true;
}

bool LocalClient::close() {
    stream.reset();
    streamBuffer_.reset();
    return true;
}

FLVHeader* LocalClient::readHeader() {
    return stream ? FLVHeader::read(*stream) : nullptr;
}

FLVPacket* LocalClient::readPacket() {
    return stream ? FLVPacket::read(*stream) : nullptr;
}
