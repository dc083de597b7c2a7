#include "support/FlvWriter.h"

#include <map>
#include <sstream>

#include "flv/FLVPacket.h"

namespace testing_support {

std::unique_ptr<FLVPacket> packetFromBytes(uint32_t tagType, const std::string& bytes) {
    auto packet = std::make_unique<FLVPacket>();
    packet->tagType = tagType;
    packet->dataSize = uint32_t(bytes.size());
    uint8_t* const buffer = new uint8_t[bytes.size()];
    std::memcpy(buffer, bytes.data(), bytes.size());
    packet->setData(buffer);
    return packet;
}

std::string avcConfigurationRecord(const std::string& fields) {
    std::map<std::string, uint32_t> f = {
        {"profile", 66}, {"chroma", 1}, {"width", 40}, {"height", 23}};
    std::vector<uint32_t> crop;
    std::istringstream in(fields);
    for (std::string entry; in >> entry;) {
        const size_t equals = entry.find('=');
        const std::string name = entry.substr(0, equals);
        std::istringstream values(equals == std::string::npos ? "1" : entry.substr(equals + 1));
        for (uint32_t value; values >> value; values.ignore()) {
            if (name == "crop") crop.push_back(value);
            f[name] = value;
        }
    }
    BitWriter w;
    w.u(8, f["profile"]).u(16, 0x001F).ue(0);  // constraint flags, level 3.1, SPS id
    if (f["profile"] == 100 || f["profile"] == 122 || f["profile"] == 244) {
        w.ue(f["chroma"]);
        if (f["chroma"] == 3) w.u(1, f["planes"]);
        w.ue(0).ue(0).u(1, 0).u(1, f["lists"]);
        for (unsigned list = 0; f["lists"] && list < (f["chroma"] == 3 ? 12u : 8u); ++list) {
            w.u(1, 1);
            for (unsigned i = 0; i < (list < 6 ? 16u : 64u); ++i) w.se(i % 2 ? -3 : 5);
        }
    }
    w.ue(0).ue(f["poc"]);
    if (f["poc"] == 0) w.ue(2);
    if (f["poc"] == 1) w.u(1, 0).se(-1).se(2).ue(3).se(1).se(-1).se(4);
    w.ue(4).u(1, 0).ue(f["width"] - 1).ue(f["height"] - 1).u(1, !f["interlaced"]);
    if (f["interlaced"]) w.u(1, 1);
    w.u(1, 1).u(1, !crop.empty());
    for (uint32_t side : crop) w.ue(side);
    const bool timing = f["tick"] != 0 && f["scale"] != 0;
    w.u(1, timing);
    if (timing) {
        // Aspect ratio (extended), no overscan, video signal with colours, no chroma location.
        w.u(1, 1).u(8, 255).u(16, 1).u(16, 1).u(1, 0).u(1, 1).u(4, 5).u(1, 1).u(24, 0x010101);
        w.u(1, 0).u(1, 1).u(32, f["tick"]).u(32, f["scale"]).u(1, 1);
    }
    std::string nal = "\x67", rbsp = w.u(1, 1).bytes();  // with the stop bit
    unsigned zeros = 0;
    for (char c : rbsp) {  // emulation prevention: no 00 00 0x (x <= 3) inside a NAL unit
        if (zeros >= 2 && uint8_t(c) <= 3) nal.push_back(3), zeros = 0;
        zeros = c == 0 ? zeros + 1 : 0;
        nal.push_back(c);
    }
    std::string record = {1, char(f["profile"]), 0, 0x1F, char(0xFF), char(0xE1)};
    putBE(record, nal.size(), 2);
    return record + nal + std::string("\x01\x00\x04\x68\xEE\x3C\x80", 7);
}

}  // namespace testing_support
