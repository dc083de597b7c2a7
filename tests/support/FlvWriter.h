// Exact bytes of FLV files and onMetaData payloads, well-formed or damaged on purpose, for tests
// that feed readers and parsers. Nothing here validates: what is asked for is written.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class FLVPacket;

namespace testing_support {

// An FLV file: the 9-byte header, then tags, each preceded by its 4-byte back-pointer.
class FlvWriter {
public:
    struct Tag {
        uint8_t type = 8;
        std::string data;              // the tag's data, audio/video header bytes included
        uint32_t timestamp = 0;        // the low 24 bits go to the timestamp, the top 8 bits
                                       // to the extension byte
        int64_t previousTagSize = -1;  // the back-pointer; -1: the size of the tag before
        uint32_t streamId = 0;
    };

    // flags: bit 2 audio, bit 0 video.
    FlvWriter& header(uint8_t flags = 0x05, const std::string& signature = "FLV",
                      uint8_t version = 1, uint32_t dataOffset = 9);
    FlvWriter& tag(const Tag& tag);
    FlvWriter& tag(uint8_t type, const std::string& data, uint32_t timestamp = 0);
    // The back-pointer after the last tag, as files end.
    FlvWriter& trailer();

    const std::string& bytes() const { return bytes_; }
    // Offset just past each tag written so far (its data included).
    const std::vector<size_t>& tagEnds() const { return tagEnds_; }

private:
    std::string bytes_;
    std::vector<size_t> tagEnds_;
    uint32_t lastTagSize_ = 0;
};

// AMF0 in the forms the onMetaData tag uses. Values carry their type byte; keys do not.
class AmfWriter {
public:
    AmfWriter& string(const std::string& text);    // type 2, 16-bit length, bytes
    AmfWriter& ecmaArray(uint32_t count);          // type 8, count; entries follow
    AmfWriter& key(const std::string& name);       // 16-bit length, bytes
    AmfWriter& number(double value);               // type 0, big-endian double
    AmfWriter& boolean(bool value);                // type 1, one byte
    AmfWriter& date(double milliseconds, int16_t zone = 0);  // type 11, double, zone
    AmfWriter& object();                           // type 3; properties follow
    AmfWriter& strictArray(uint32_t count);        // type 10, count; elements follow
    AmfWriter& numberArray(const std::vector<double>& numbers);  // a strict array of numbers
    AmfWriter& end();                              // the end marker: empty key, type 9
    AmfWriter& u8(uint8_t value);
    AmfWriter& u16(uint16_t value);
    AmfWriter& u32(uint32_t value);
    AmfWriter& raw(const std::string& bytes);

    // A "keyframes" entry: an object with "filepositions" and "times" strict arrays, as ffmpeg
    // writes it, and the object's end marker.
    AmfWriter& keyframes(const std::vector<double>& times, const std::vector<double>& positions);

    size_t size() const { return bytes_.size(); }
    const std::string& bytes() const { return bytes_; }

private:
    std::string bytes_;
};

// Bits, most significant first, as codec configurations are written; the last byte is padded
// with zeros.
class BitWriter {
  public:
    BitWriter& u(unsigned bits, uint64_t value);
    BitWriter& ue(uint32_t value);  // unsigned Exp-Golomb
    BitWriter& se(int32_t value);   // signed Exp-Golomb
    std::string bytes() const;

  private:
    std::vector<bool> bits_;
};

// The fields of an H.264 sequence parameter set that decide the picture size and rate.
struct SpsFields {
    uint32_t profile = 66;      // 100, 122, 244, ... also carry chroma format and scaling lists
    uint32_t chromaFormat = 1;  // written for those profiles only
    bool separateColourPlanes = false;
    bool scalingLists = false;  // every list present, with non-zero deltas
    uint32_t pocType = 0;
    uint32_t widthMbs = 40;     // pic_width_in_mbs_minus1 + 1
    uint32_t heightUnits = 23;  // pic_height_in_map_units_minus1 + 1
    bool frameMbsOnly = true;
    std::vector<uint32_t> crop;  // left, right, top, bottom; empty: no cropping
    uint32_t unitsInTick = 0;    // VUI timing when both are set
    uint32_t timeScale = 0;
};

// An AVC decoder configuration record holding one SPS with |sps| (emulation prevention
// applied) and one small PPS.
std::string avcConfigurationRecord(const SpsFields& sps);
// The data of an H.264 sequence header video tag: header byte, AVC packet type 0, composition
// time and |record|.
std::string avcSequenceHeaderTag(const std::string& record);

// The usual onMetaData payload: the name, an ECMA array of |numbers| and the end marker.
std::string onMetaData(const std::vector<std::pair<std::string, double>>& numbers);

// The first byte of audio data.
uint8_t audioHeaderByte(unsigned format, unsigned rate, unsigned size, unsigned type);
// The first byte of video data.
uint8_t videoHeaderByte(unsigned frameType, unsigned codec);

// A packet of |tagType| whose payload is a new[] buffer of exactly bytes.size() bytes (so a
// sanitizer sees any read past it), with the header bytes applied by setData.
std::unique_ptr<FLVPacket> packetFromBytes(uint32_t tagType, const std::string& bytes);

}  // namespace testing_support
