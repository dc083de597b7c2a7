#include "support/FakeSource.h"

#include <cstring>

#include "flv/FLVHeader.h"
#include "flv/FLVPacket.h"
#include "plugin/HostInterface.h"

namespace testing_support {

bool FakeSource::open(std::wstring location, vanto::streamer::Error* error) {
    script_->openedLocation = location;
    if (script_->openSucceeds) return true;
    error->setCode(script_->errorCode);
    error->setMessage(script_->errorMessage.c_str());
    return false;
}

bool FakeSource::close() {
    ++script_->closes;
    return true;
}

FLVHeader* FakeSource::readHeader() {
    if (!script_->headerFlags) return nullptr;
    const uint8_t bytes[9] = {'F', 'L', 'V', 1, *script_->headerFlags, 0, 0, 0, 9};
    return FLVHeader::decode(bytes);
}

FLVPacket* FakeSource::readPacket() {
    if (next_ >= script_->tags.size()) return nullptr;
    const FakeTag& tag = script_->tags[next_++];
    const uint32_t size = static_cast<uint32_t>(tag.payload.size());
    const uint8_t prefix[15] = {0,
                                0,
                                0,
                                0,
                                static_cast<uint8_t>(tag.type),
                                static_cast<uint8_t>(size >> 16),
                                static_cast<uint8_t>(size >> 8),
                                static_cast<uint8_t>(size),
                                static_cast<uint8_t>(tag.timestamp >> 16),
                                static_cast<uint8_t>(tag.timestamp >> 8),
                                static_cast<uint8_t>(tag.timestamp),
                                static_cast<uint8_t>(tag.timestamp >> 24),
                                0,
                                0,
                                0};
    FLVPacket* const packet = FLVPacket::fromTagPrefix(prefix);
    uint8_t* const buffer = new uint8_t[size == 0 ? 1 : size];
    if (size != 0) std::memcpy(buffer, tag.payload.data(), size);
    packet->setData(buffer);
    ++script_->packetsRead;
    return packet;
}

FakeTag metadataTag(const std::vector<std::pair<std::string, double>>& numbers) {
    std::vector<uint8_t> out = {0x02, 0x00, 0x0A};
    const char name[] = "onMetaData";
    out.insert(out.end(), name, name + 10);
    const uint32_t count = static_cast<uint32_t>(numbers.size());
    out.insert(out.end(), {0x08, uint8_t(count >> 24), uint8_t(count >> 16), uint8_t(count >> 8),
                           uint8_t(count)});
    for (const auto& [key, value] : numbers) {
        out.push_back(static_cast<uint8_t>(key.size() >> 8));
        out.push_back(static_cast<uint8_t>(key.size()));
        out.insert(out.end(), key.begin(), key.end());
        out.push_back(0x00);
        uint64_t bits;
        std::memcpy(&bits, &value, sizeof(bits));
        for (int shift = 56; shift >= 0; shift -= 8) out.push_back(uint8_t(bits >> shift));
    }
    out.insert(out.end(), {0x00, 0x00, 0x09});
    return FakeTag{18, 0, out};
}

FakeTag audioTag(uint32_t timestamp, uint8_t headerByte, size_t bodyBytes) {
    std::vector<uint8_t> payload(1 + bodyBytes, static_cast<uint8_t>(timestamp));
    payload[0] = headerByte;
    return FakeTag{8, timestamp, payload};
}

FakeTag videoTag(uint32_t timestamp, bool key, size_t bodyBytes) {
    std::vector<uint8_t> payload(1 + bodyBytes, static_cast<uint8_t>(timestamp));
    payload[0] = static_cast<uint8_t>((key ? 0x10 : 0x20) | 0x07);
    return FakeTag{9, timestamp, payload};
}

}  // namespace testing_support
