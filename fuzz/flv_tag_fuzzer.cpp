// Feeds the input as a local FLV file: the file header, then tags until the reader gives up.
// Every tag's buffer is then handed to setData again under each tag type and at every short
// length, so that the header-byte rules are checked against a buffer of exactly that size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>

#include "flv/FLVHeader.h"
#include "flv/FLVPacket.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

// Attaches a fresh copy of the first |size| bytes of |whole| to a packet of |tagType|.
void reapply(uint32_t tagType, const uint8_t* whole, uint32_t size) {
    FLVPacket packet;
    packet.tagType = tagType;
    packet.dataSize = size;
    // A zero-size allocation has no readable byte, so the sanitizer catches a read of it.
    uint8_t* const buffer = new uint8_t[size];
    if (size > 0) std::memcpy(buffer, whole, size);
    packet.setData(buffer);
    check(packet.headerLength <= 2);
    check(packet.data == buffer + packet.headerLength);
    check(packet.headerLength + packet.dataSize == size);
    if (packet.dataSize > 0) check(packet.data[packet.dataSize - 1] == whole[size - 1]);
    packet.release();
    check(packet.data == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    std::unique_ptr<FLVHeader> header(FLVHeader::read(in));
    if (!header) return 0;

    while (FLVPacket* packet = FLVPacket::read(in)) {
        const uint32_t whole = packet->dataSize + packet->headerLength;
        check(whole > 0);
        const uint8_t* const start = packet->data - packet->headerLength;
        for (uint32_t tagType : {8u, 9u, 18u, packet->tagType}) {
            for (uint32_t length = 0; length <= 3 && length <= whole; ++length) {
                reapply(tagType, start, length);
            }
            reapply(tagType, start, whole);
        }
        packet->release();
        packet->release();
        delete packet;
    }
    return 0;
}
