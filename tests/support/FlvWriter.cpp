#include "support/FlvWriter.h"

#include <cstring>

#include "flv/FLVPacket.h"

namespace testing_support {

namespace {

void putBE(std::string& out, uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

}  // namespace

FlvWriter& FlvWriter::header(uint8_t flags, const std::string& signature, uint8_t version,
                             uint32_t dataOffset) {
    bytes_ += signature.substr(0, 3);
    bytes_.append(3 - std::min<size_t>(3, signature.size()), '\0');
    bytes_.push_back(static_cast<char>(version));
    bytes_.push_back(static_cast<char>(flags));
    putBE(bytes_, dataOffset, 4);
    return *this;
}

FlvWriter& FlvWriter::tag(const Tag& tag) {
    putBE(bytes_, tag.previousTagSize >= 0 ? uint64_t(tag.previousTagSize) : lastTagSize_, 4);
    bytes_.push_back(static_cast<char>(tag.type));
    putBE(bytes_, tag.data.size(), 3);
    putBE(bytes_, tag.timestamp & 0xFFFFFF, 3);
    bytes_.push_back(static_cast<char>(tag.timestamp >> 24));
    putBE(bytes_, tag.streamId, 3);
    bytes_ += tag.data;
    tagEnds_.push_back(bytes_.size());
    lastTagSize_ = static_cast<uint32_t>(11 + tag.data.size());
    return *this;
}

FlvWriter& FlvWriter::tag(uint8_t type, const std::string& data, uint32_t timestamp) {
    Tag t;
    t.type = type;
    t.data = data;
    t.timestamp = timestamp;
    return tag(t);
}

FlvWriter& FlvWriter::trailer() {
    putBE(bytes_, lastTagSize_, 4);
    return *this;
}

AmfWriter& AmfWriter::string(const std::string& text) {
    u8(2);
    u16(static_cast<uint16_t>(text.size()));
    return raw(text);
}

AmfWriter& AmfWriter::ecmaArray(uint32_t count) {
    u8(8);
    return u32(count);
}

AmfWriter& AmfWriter::key(const std::string& name) {
    u16(static_cast<uint16_t>(name.size()));
    return raw(name);
}

AmfWriter& AmfWriter::number(double value) {
    u8(0);
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof(bits));
    putBE(bytes_, bits, 8);
    return *this;
}

AmfWriter& AmfWriter::boolean(bool value) {
    u8(1);
    return u8(value ? 1 : 0);
}

AmfWriter& AmfWriter::date(double milliseconds, int16_t zone) {
    number(milliseconds);
    bytes_[bytes_.size() - 9] = 11;
    return u16(static_cast<uint16_t>(zone));
}

AmfWriter& AmfWriter::object() { return u8(3); }

AmfWriter& AmfWriter::strictArray(uint32_t count) {
    u8(10);
    return u32(count);
}

AmfWriter& AmfWriter::numberArray(const std::vector<double>& numbers) {
    strictArray(static_cast<uint32_t>(numbers.size()));
    for (double value : numbers) number(value);
    return *this;
}

AmfWriter& AmfWriter::end() {
    u16(0);
    return u8(9);
}

AmfWriter& AmfWriter::u8(uint8_t value) {
    bytes_.push_back(static_cast<char>(value));
    return *this;
}

AmfWriter& AmfWriter::u16(uint16_t value) {
    putBE(bytes_, value, 2);
    return *this;
}

AmfWriter& AmfWriter::u32(uint32_t value) {
    putBE(bytes_, value, 4);
    return *this;
}

AmfWriter& AmfWriter::raw(const std::string& bytes) {
    bytes_ += bytes;
    return *this;
}

AmfWriter& AmfWriter::keyframes(const std::vector<double>& times,
                                const std::vector<double>& positions) {
    key("keyframes").object();
    key("filepositions").numberArray(positions);
    key("times").numberArray(times);
    return end();
}

std::string onMetaData(const std::vector<std::pair<std::string, double>>& numbers) {
    AmfWriter amf;
    amf.string("onMetaData").ecmaArray(static_cast<uint32_t>(numbers.size()));
    for (const auto& entry : numbers) amf.key(entry.first).number(entry.second);
    return amf.end().bytes();
}

uint8_t audioHeaderByte(unsigned format, unsigned rate, unsigned size, unsigned type) {
    return static_cast<uint8_t>((format << 4) | ((rate & 3) << 2) | ((size & 1) << 1) |
                                (type & 1));
}

uint8_t videoHeaderByte(unsigned frameType, unsigned codec) {
    return static_cast<uint8_t>((frameType << 4) | (codec & 15));
}

std::unique_ptr<FLVPacket> packetFromBytes(uint32_t tagType, const std::string& bytes) {
    std::unique_ptr<FLVPacket> packet(new FLVPacket());
    packet->tagType = tagType;
    packet->dataSize = static_cast<uint32_t>(bytes.size());
    uint8_t* const buffer = new uint8_t[bytes.size()];
    std::memcpy(buffer, bytes.data(), bytes.size());
    packet->setData(buffer);
    return packet;
}

BitWriter& BitWriter::u(unsigned bits, uint64_t value) {
    for (unsigned i = bits; i > 0; --i) bits_.push_back(((value >> (i - 1)) & 1) != 0);
    return *this;
}

BitWriter& BitWriter::ue(uint32_t value) {
    const uint64_t code = uint64_t(value) + 1;
    unsigned length = 0;
    while ((code >> length) > 1) ++length;
    return u(length, 0).u(length + 1, code);
}

BitWriter& BitWriter::se(int32_t value) {
    return ue(value > 0 ? uint32_t(2 * int64_t(value) - 1) : uint32_t(-2 * int64_t(value)));
}

std::string BitWriter::bytes() const {
    std::string out((bits_.size() + 7) / 8, '\0');
    for (size_t i = 0; i < bits_.size(); ++i) {
        if (bits_[i]) out[i / 8] = static_cast<char>(out[i / 8] | (0x80 >> (i % 8)));
    }
    return out;
}

std::string avcConfigurationRecord(const SpsFields& f) {
    BitWriter w;
    w.u(8, f.profile).u(16, 0x001F).ue(0);  // constraint flags, level 3.1, SPS id
    if (f.profile == 100 || f.profile == 122 || f.profile == 244) {
        w.ue(f.chromaFormat);
        if (f.chromaFormat == 3) w.u(1, f.separateColourPlanes);
        w.ue(0).ue(0).u(1, 0).u(1, f.scalingLists);
        for (unsigned list = 0; f.scalingLists && list < (f.chromaFormat == 3 ? 12u : 8u); ++list) {
            w.u(1, 1);
            for (unsigned i = 0; i < (list < 6 ? 16u : 64u); ++i) w.se(i % 2 ? -3 : 5);
        }
    }
    w.ue(0).ue(f.pocType);
    if (f.pocType == 0) w.ue(2);
    if (f.pocType == 1) w.u(1, 0).se(-1).se(2).ue(3).se(1).se(-1).se(4);
    w.ue(4).u(1, 0).ue(f.widthMbs - 1).ue(f.heightUnits - 1).u(1, f.frameMbsOnly);
    if (!f.frameMbsOnly) w.u(1, 1);
    w.u(1, 1).u(1, !f.crop.empty());
    for (uint32_t side : f.crop) w.ue(side);
    const bool timing = f.unitsInTick != 0 && f.timeScale != 0;
    w.u(1, timing);
    if (timing) {
        // Aspect ratio (extended), no overscan, video signal with colours, no chroma location.
        w.u(1, 1).u(8, 255).u(16, 1).u(16, 1).u(1, 0).u(1, 1).u(4, 5).u(1, 1).u(24, 0x010101);
        w.u(1, 0).u(1, 1).u(32, f.unitsInTick).u(32, f.timeScale).u(1, 1);
    }
    w.u(1, 1);  // the stop bit of the RBSP trailing bits

    // Emulation prevention: no 0x000000..0x000003 inside a NAL unit.
    std::string nal = "\x67";
    unsigned zeros = 0;
    for (char c : w.bytes()) {
        if (zeros >= 2 && static_cast<uint8_t>(c) <= 3) {
            nal.push_back(3);
            zeros = 0;
        }
        zeros = c == 0 ? zeros + 1 : 0;
        nal.push_back(c);
    }
    std::string record = {1,    static_cast<char>(f.profile), 0,
                          0x1F, static_cast<char>(0xFF),      static_cast<char>(0xE1)};
    putBE(record, nal.size(), 2);
    record += nal;
    return record + std::string("\x01\x00\x04\x68\xEE\x3C\x80", 7);
}

std::string avcSequenceHeaderTag(const std::string& record) {
    return std::string("\x17\x00\x00\x00\x00", 5) + record;
}

}  // namespace testing_support
