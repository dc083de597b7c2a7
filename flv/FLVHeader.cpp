#include "flv/FLVHeader.h"

#include <cstring>

FLVHeader::FLVHeader()
    : signature{0, 0, 0, 0},
      reservedFlags(0),
      hasAudio(false),
      reservedBit(0),
      hasVideo(false),
      dataOffset(0) {}

FLVHeader* FLVHeader::decode(const uint8_t* bytes) {
    FLVHeader* const header = new FLVHeader();
    std::memcpy(header->signature, bytes, sizeof(header->signature));
    const uint8_t flags = bytes[4];
    header->reservedFlags = flags >> 3;
    header->hasAudio = (flags & flv::kFlagAudio) != 0;
    header->reservedBit = (flags >> 1) & 1;
    header->hasVideo = (flags & flv::kFlagVideo) != 0;
    header->dataOffset = flv::readBE32(bytes + 5);
    return header;
}

FLVHeader* FLVHeader::read(std::istream& in) {
    uint8_t bytes[flv::kFileHeaderSize];
    in.read(reinterpret_cast<char*>(bytes), sizeof(bytes));
    if (static_cast<size_t>(in.gcount()) != sizeof(bytes)) return nullptr;
    return decode(bytes);
}
