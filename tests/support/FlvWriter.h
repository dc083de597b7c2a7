// Exact bytes of FLV files, AMF0 metadata and codec configurations; nothing here validates.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

class FLVPacket;

namespace testing_support {

inline void putBE(std::string& out, uint64_t value, int bytes) {
    while (bytes-- > 0) out.push_back(static_cast<char>(value >> (8 * bytes)));
}

// An FLV file: the header (flags: bit 2 audio, bit 0 video), tags behind back-pointers.
class FlvWriter {
  public:
    FlvWriter& header(uint8_t flags = 0x05) { return raw("FLV\x01", flags, 1).raw("", 9, 4); }
    FlvWriter& tag(uint8_t type, const std::string& data, uint32_t timestamp = 0) {
        raw("", last_, 4).raw(std::string(1, char(type)), data.size(), 3);
        raw("", timestamp & 0xFFFFFF, 3).raw("", timestamp >> 24, 1).raw("", 0, 3).raw(data, 0, 0);
        last_ = 11 + data.size();
        ends_.push_back(bytes_.size());
        return *this;
    }
    FlvWriter& trailer() { return raw("", last_, 4); }
    const std::string& bytes() const { return bytes_; }
    const std::vector<size_t>& tagEnds() const { return ends_; }  // offsets just past each tag

  private:
    FlvWriter& raw(const std::string& text, uint64_t value, int bytes) {
        bytes_ += text;
        putBE(bytes_, value, bytes);
        return *this;
    }
    std::string bytes_;
    std::vector<size_t> ends_;
    uint64_t last_ = 0;
};

// AMF0 as onMetaData uses it. Values carry their type byte; keys do not.
class AmfWriter {
  public:
    AmfWriter& u8(uint8_t value) { return raw(std::string(1, char(value))); }
    AmfWriter& u16(uint16_t value) { return be(value, 2); }
    AmfWriter& raw(const std::string& bytes) { return bytes_ += bytes, *this; }
    AmfWriter& key(const std::string& name) { return u16(uint16_t(name.size())).raw(name); }
    AmfWriter& string(const std::string& text) { return u8(2).key(text); }
    AmfWriter& number(double value) {
        uint64_t bits;
        std::memcpy(&bits, &value, 8);
        return u8(0).be(bits, 8);
    }
    AmfWriter& boolean(bool value) { return u8(1).u8(value); }
    AmfWriter& date(double ms) { return number(ms), bytes_[bytes_.size() - 9] = 11, u16(0); }
    AmfWriter& object() { return u8(3); }
    AmfWriter& ecmaArray(uint32_t count) { return u8(8).be(count, 4); }
    AmfWriter& strictArray(uint32_t count) { return u8(10).be(count, 4); }
    AmfWriter& numberArray(const std::vector<double>& numbers) {
        strictArray(uint32_t(numbers.size()));
        for (double value : numbers) number(value);
        return *this;
    }
    AmfWriter& end() { return u16(0).u8(9); }
    size_t size() const { return bytes_.size(); }
    const std::string& bytes() const { return bytes_; }

  private:
    AmfWriter& be(uint64_t value, int bytes) { return putBE(bytes_, value, bytes), *this; }
    std::string bytes_;
};

// An onMetaData payload: the name and an ECMA array of |numbers|.
inline std::string onMetaData(const std::vector<std::pair<std::string, double>>& numbers) {
    AmfWriter amf;
    amf.string("onMetaData").ecmaArray(uint32_t(numbers.size()));
    for (const auto& [name, value] : numbers) amf.key(name).number(value);
    return amf.end().bytes();
}
// The same from "key=number key=number ...".
inline std::string metadata(const std::string& entries) {
    std::vector<std::pair<std::string, double>> numbers;
    std::istringstream in(entries);
    for (std::string e; in >> e;)
        numbers.push_back({e.substr(0, e.find('=')), std::stod(e.substr(e.find('=') + 1))});
    return onMetaData(numbers);
}

// Bits, most significant first; the last byte is padded with zeros.
class BitWriter {
  public:
    BitWriter& u(unsigned bits, uint64_t value) {
        while (bits-- > 0) bits_.push_back((value >> bits) & 1);
        return *this;
    }
    BitWriter& ue(uint32_t value) {  // unsigned Exp-Golomb
        unsigned length = 0;
        while (((uint64_t(value) + 1) >> length) > 1) ++length;
        return u(length, 0).u(length + 1, uint64_t(value) + 1);
    }
    BitWriter& se(int32_t value) { return ue(value > 0 ? 2 * value - 1 : -2 * value); }
    std::string bytes() const {
        std::string out((bits_.size() + 7) / 8, '\0');
        for (size_t i = 0; i < bits_.size(); ++i) out[i / 8] |= char(bits_[i] << (7 - i % 8));
        return out;
    }

  private:
    std::vector<bool> bits_;
};

// An AVC decoder configuration record with one SPS, baseline 640x368 unless |fields| says
// otherwise, e.g. "profile=100 chroma=3 lists planes poc=1 width=40 height=23 interlaced
// crop=0,0,0,4 tick=1 scale=60" (size in macroblocks and map units, crop left right top bottom).
std::string avcConfigurationRecord(const std::string& fields = "");

// A packet of |tagType| on a new[] buffer of exactly bytes.size() bytes, header bytes applied.
std::unique_ptr<FLVPacket> packetFromBytes(uint32_t tagType, const std::string& bytes);

}  // namespace testing_support
