#include "flv/CodecConfiguration.h"

#include <vector>

namespace flv {

namespace {

// Reads bits, most significant first, from a view that it never leaves. Once a read has run
// past the end every later read fails too, so a parser may read a whole group of fields and
// check ok() once.
class BitReader {
  public:
    BitReader(const uint8_t* data, size_t size) : data_(data), bits_(size * 8), at_(0) {}

    bool ok() const { return at_ <= bits_; }

    uint32_t bits(unsigned count) {
        uint32_t value = 0;
        for (unsigned i = 0; i < count; ++i) value = (value << 1) | bit();
        return value;
    }
    uint32_t bit() {
        if (at_ >= bits_) {
            at_ = bits_ + 1;
            return 0;
        }
        const uint32_t value = (data_[at_ / 8] >> (7 - at_ % 8)) & 1;
        ++at_;
        return value;
    }
    // Unsigned Exp-Golomb. Codes longer than 32 bits hold no value an SPS may carry: they fail.
    uint32_t ue() {
        unsigned zeros = 0;
        while (bit() == 0) {
            if (!ok() || ++zeros > 31) {
                at_ = bits_ + 1;
                return 0;
            }
        }
        return static_cast<uint32_t>((uint64_t(1) << zeros) - 1 + bits(zeros));
    }
    int32_t se() {
        const uint32_t code = ue();
        return (code & 1) ? static_cast<int32_t>((code + 1) / 2) : -static_cast<int32_t>(code / 2);
    }

  private:
    const uint8_t* const data_;
    const size_t bits_;
    size_t at_;  // past bits_ once a read has failed
};

// The SPS's payload without its emulation-prevention bytes (0x000003 becomes 0x0000).
std::vector<uint8_t> unescape(const uint8_t* nal, size_t size) {
    std::vector<uint8_t> out;
    out.reserve(size);
    unsigned zeros = 0;
    for (size_t i = 0; i < size; ++i) {
        if (zeros >= 2 && nal[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = nal[i] == 0 ? zeros + 1 : 0;
        out.push_back(nal[i]);
    }
    return out;
}

void skipScalingList(BitReader& reader, unsigned size) {
    int64_t last = 8;
    int64_t next = 8;
    for (unsigned i = 0; i < size && reader.ok(); ++i) {
        // A hostile delta may be far outside -128..127: kept in 0..255 all the same.
        if (next != 0) next = ((last + reader.se()) % 256 + 256) % 256;
        if (next != 0) last = next;
    }
}

// The profiles whose SPS carries chroma format, bit depths and scaling matrices.
bool hasChromaInfo(uint32_t profile) {
    switch (profile) {
        case 44:
        case 83:
        case 86:
        case 100:
        case 110:
        case 118:
        case 122:
        case 128:
        case 134:
        case 135:
        case 138:
        case 139:
        case 144:
        case 244:
            return true;
        default:
            return false;
    }
}

// Largest picture side accepted, in macroblocks: far beyond any level, small enough that the
// arithmetic below cannot overflow.
constexpr uint32_t kMaxMacroblocks = 4096;

bool readSps(const std::vector<uint8_t>& sps, VideoConfiguration* out) {
    // One NAL header byte, type 7.
    if (sps.empty() || (sps[0] & 0x1F) != 7) return false;
    BitReader r(sps.data() + 1, sps.size() - 1);
    const uint32_t profile = r.bits(8);
    r.bits(16);  // constraint flags, level
    r.ue();      // seq_parameter_set_id
    uint32_t chromaFormat = 1;
    bool separateColourPlanes = false;
    if (hasChromaInfo(profile)) {
        chromaFormat = r.ue();
        if (chromaFormat > 3) return false;
        if (chromaFormat == 3) separateColourPlanes = r.bit() != 0;
        r.ue();   // bit depth luma
        r.ue();   // bit depth chroma
        r.bit();  // transform bypass
        if (r.bit() != 0) {
            const unsigned lists = chromaFormat == 3 ? 12 : 8;
            for (unsigned i = 0; i < lists && r.ok(); ++i) {
                if (r.bit() != 0) skipScalingList(r, i < 6 ? 16 : 64);
            }
        }
    }
    r.ue();  // log2_max_frame_num_minus4
    const uint32_t pocType = r.ue();
    if (pocType == 0) {
        r.ue();
    } else if (pocType == 1) {
        r.bit();
        r.se();
        r.se();
        const uint32_t cycle = r.ue();
        if (cycle > 255) return false;
        for (uint32_t i = 0; i < cycle && r.ok(); ++i) r.se();
    } else if (pocType != 2) {
        return false;
    }
    r.ue();   // max_num_ref_frames
    r.bit();  // gaps_in_frame_num_value_allowed_flag
    const uint32_t widthMbs = r.ue() + 1;
    const uint32_t heightMapUnits = r.ue() + 1;
    const uint32_t frameMbsOnly = r.bit();
    if (frameMbsOnly == 0) r.bit();   // mb_adaptive_frame_field_flag
    r.bit();                          // direct_8x8_inference_flag
    uint32_t crop[4] = {0, 0, 0, 0};  // left, right, top, bottom
    if (r.bit() != 0) {
        for (uint32_t& side : crop) side = r.ue();
    }
    if (!r.ok() || widthMbs > kMaxMacroblocks || heightMapUnits > kMaxMacroblocks) return false;

    // Cropping counts in chroma samples (and in field pairs for interlaced pictures).
    const uint32_t chromaArrayType = separateColourPlanes ? 0 : chromaFormat;
    const uint32_t cropUnitX = (chromaArrayType == 1 || chromaArrayType == 2) ? 2 : 1;
    const uint32_t cropUnitY = (chromaArrayType == 1 ? 2 : 1) * (2 - frameMbsOnly);
    const uint64_t width = uint64_t(widthMbs) * 16;
    const uint64_t height = uint64_t(heightMapUnits) * 16 * (2 - frameMbsOnly);
    const uint64_t cropX = (uint64_t(crop[0]) + crop[1]) * cropUnitX;
    const uint64_t cropY = (uint64_t(crop[2]) + crop[3]) * cropUnitY;
    if (cropX >= width || cropY >= height) return false;

    VideoConfiguration result;
    result.width = static_cast<uint32_t>(width - cropX);
    result.height = static_cast<uint32_t>(height - cropY);

    // The frame rate, when the VUI carries timing: a frame is two ticks.
    if (r.bit() != 0) {
        if (r.bit() != 0 && r.bits(8) == 255) r.bits(32);  // aspect ratio, extended SAR
        if (r.bit() != 0) r.bit();                         // overscan
        if (r.bit() != 0) {                                // video signal type
            r.bits(4);
            if (r.bit() != 0) r.bits(24);  // colour description
        }
        if (r.bit() != 0) {  // chroma sample location
            r.ue();
            r.ue();
        }
        if (r.bit() != 0) {
            const uint32_t unitsInTick = r.bits(32);
            const uint32_t timeScale = r.bits(32);
            if (r.ok() && unitsInTick != 0 && timeScale != 0) {
                result.frameRate = double(timeScale) / (2.0 * unitsInTick);
            }
        }
    }
    *out = result;
    return true;
}

}  // namespace

bool readAvcConfiguration(const uint8_t* data, size_t size, VideoConfiguration* out) {
    if (data == nullptr || size < 8 || data[0] != 1) return false;
    const size_t spsCount = data[5] & 0x1F;
    const size_t spsLength = (size_t(data[6]) << 8) | data[7];
    if (spsCount == 0 || spsLength > size - 8) return false;
    return readSps(unescape(data + 8, spsLength), out);
}

bool readAudioSpecificConfig(const uint8_t* data, size_t size, AudioConfiguration* out) {
    static const uint32_t kRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                        22050, 16000, 12000, 11025, 8000,  7350};
    if (data == nullptr) return false;
    BitReader r(data, size);
    const auto objectType = [&r]() {
        const uint32_t type = r.bits(5);
        return type == 31 ? 32 + r.bits(6) : type;
    };
    const auto sampleRate = [&r]() -> uint32_t {
        const uint32_t index = r.bits(4);
        if (index == 15) return r.bits(24);
        return index < 13 ? kRates[index] : 0;
    };
    const uint32_t type = objectType();
    uint32_t rate = sampleRate();
    const uint32_t channelConfiguration = r.bits(4);
    // HE-AAC signalled explicitly: the decoder plays at the SBR rate that follows.
    if (type == 5 || type == 29) rate = sampleRate();
    if (!r.ok() || rate == 0) return false;

    AudioConfiguration result;
    result.sampleRate = rate;
    if (channelConfiguration >= 1 && channelConfiguration <= 6) {
        result.channels = channelConfiguration;
    } else if (channelConfiguration == 7) {
        result.channels = 8;
    }
    *out = result;
    return true;
}

}  // namespace flv
