// Decodes the input every way the RTMP library does (a command or metadata body without names,
// object members with names, one value, the items of a strict array), with a live log so that
// the recovery lines and the dump are formatted, walks and dumps what decoded, and checks that
// whatever the encoder can represent faithfully decodes back to the same values.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>


#include "fuzz/FuzzSupport.h"
#include "rtmp/AMFCodec.h"
#include "rtmp/AMFObject.h"

namespace {

using fuzz_support::check;

using RTMP_LIB::AMFObject;
using RTMP_LIB::AMFObjectProperty;

// A live log costs a wide format per line and the recovery writes one per skipped byte, so
// only short inputs, where that stays cheap, are decoded with one.
void installLog(size_t size) { fuzz_support::installDiscardingLog(size <= 128); }

bool same(const AMFObjectProperty& a, const AMFObjectProperty& b) {
    const double x = a.GetNumber();
    const double y = b.GetNumber();
    if (a.GetName() != b.GetName() || a.GetType() != b.GetType() ||
        a.GetString() != b.GetString() || std::memcmp(&x, &y, sizeof(x)) != 0 ||
        a.GetObject().GetCount() != b.GetObject().GetCount())
        return false;
    for (int i = 0; i < a.GetObject().GetCount(); ++i)
        if (!same(a.GetObject().GetProperty(i), b.GetObject().GetProperty(i))) return false;
    return true;
}

// True when encoding |value| loses nothing. Inside an object (|named|) a member needs a name
// and cannot be a null, which the encoder writes without its name; dates are not encoded.
bool faithful(const AMFObjectProperty& value, bool named) {
    switch (value.GetType()) {
        case RTMP_LIB::AMF_KIND_NUMBER:
        case RTMP_LIB::AMF_KIND_BOOLEAN:
        case RTMP_LIB::AMF_KIND_STRING:
            break;
        case RTMP_LIB::AMF_KIND_NULL:
            if (named) return false;
            break;
        case RTMP_LIB::AMF_KIND_OBJECT:
            for (int i = 0; i < value.GetObject().GetCount(); ++i)
                if (!faithful(value.GetObject().GetProperty(i), true)) return false;
            break;
        default:
            return false;
    }
    return named ? !value.GetName().empty() : value.GetName().empty();
}

// Encodes into a buffer of exactly |room| bytes; returns the bytes.
std::vector<uint8_t> encode(const AMFObjectProperty& value, size_t room) {
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[room]);
    const int used = value.Encode(buffer.get(), static_cast<int>(room));
    check(used <= static_cast<int>(room));
    if (used <= 0) return {};
    return std::vector<uint8_t>(buffer.get(), buffer.get() + used);
}

// Levels of objects in |value|: 0 for a scalar.
int nesting(const AMFObjectProperty& value) {
    if (value.GetType() != RTMP_LIB::AMF_KIND_OBJECT) return 0;
    int deepest = 0;
    for (int i = 0; i < value.GetObject().GetCount(); ++i)
        deepest = std::max(deepest, nesting(value.GetObject().GetProperty(i)));
    return 1 + deepest;
}

// Wrapping decoded members in one more object can pass the nesting limit of decoding, so such
// values are not expected to come back.
void roundTrip(const AMFObjectProperty& value, size_t room) {
    if (!faithful(value, false) || nesting(value) > RTMP_LIB::kAmfMaxNesting) return;
    const std::vector<uint8_t> bytes = encode(value, room);
    check(!bytes.empty());
    AMFObjectProperty decoded;
    check(decoded.Decode(bytes.data(), static_cast<int>(bytes.size()), false) ==
          static_cast<int>(bytes.size()));
    check(same(value, decoded));
}

// Reads every part of every value, as the command layer's lookups would.
size_t walk(const AMFObject& object, int depth) {
    check(depth <= RTMP_LIB::kAmfMaxNesting);
    size_t total = 0;
    for (int i = -1; i <= object.GetCount(); ++i) {
        const AMFObjectProperty& value = object.GetProperty(i);
        check(value.IsValid() == (i >= 0 && i < object.GetCount()));
        // Lookups by name are linear; a few of them show that they find what is there.
        if (i < 4 && value.IsValid())
            check(object.GetProperty(value.GetName()).GetName() == value.GetName());
        total += value.GetString().size() + value.GetName().size() + (value.GetBoolean() ? 1 : 0);
        if (value.GetType() == RTMP_LIB::AMF_KIND_OBJECT)
            total += walk(value.GetObject(), depth + 1);
    }
    return total;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    installLog(size);
    const int length = static_cast<int>(size);
    // Every level of nesting may gain an object end that the input lacked.
    const size_t room = 2 * size + 3 * (RTMP_LIB::kAmfMaxNesting + 2) + 16;

    for (bool names : {false, true}) {
        AMFObject body;
        const int used = body.Decode(data, length, names);
        check(used <= length && body.GetCount() <= length);
        walk(body, 0);
        body.LogContents();
        for (int i = 0; i < body.GetCount(); ++i) {
            AMFObjectProperty value = body.GetProperty(i);
            value.SetName("");
            roundTrip(value, room);
        }
        if (names) {
            // The members as one object: 03, members, 00 00 09.
            AMFObjectProperty whole;
            whole.SetObject(body);
            roundTrip(whole, room);
        }

        AMFObjectProperty value;
        check(value.Decode(data, length, names) <= length);
        walk(value.GetObject(), 1);
        value.LogContents();
    }

    uint32_t count = 0;
    if (RTMP_LIB::ReadUInt32BE(data, size, &count)) {
        AMFObject items;
        check(items.DecodeItems(data + 4, length - 4, count) <= length - 4);
        check(items.GetCount() <= length - 4);
        walk(items, 0);
    }
    return 0;
}
