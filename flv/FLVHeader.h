// The decoded 9-byte FLV file header. Readers return a new record that the caller deletes.
#pragma once

#include <cstdint>
#include <istream>

#include "flv/FLVFormat.h"

class NetworkBuffer;
class PEvent;

class FLVHeader {
public:
    FLVHeader();

    // Decodes the 9 header bytes at |bytes|.
    static FLVHeader* decode(const uint8_t* bytes);
    // Reads 9 bytes from |in|; null when fewer arrive.
    static FLVHeader* read(std::istream& in);
    // Reads 9 bytes from |buffer|, waiting in 150 ms steps while they have not arrived; null
    // when the buffer ends first or |stop| is signalled. Defined in FLVNetworkRead.cpp.
    static FLVHeader* read(NetworkBuffer& buffer, PEvent& stop);

    uint8_t signature[4];     // the signature and the version byte, as they stand
    uint32_t reservedFlags;   // flags >> 3
    bool hasAudio;            // flags bit 2
    uint32_t reservedBit;     // flags bit 1
    bool hasVideo;            // flags bit 0
    uint32_t dataOffset;
};
