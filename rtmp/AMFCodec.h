// Byte-level pieces of AMF0 and of the RTMP chunk stream: the AMF0 type markers and bounded
// readers and writers of the fixed-width integers, doubles and strings that both carry.
//
// Wire integers are big-endian, except the message stream id of a 12-byte chunk header, which is
// little-endian. An AMF0 number is an IEEE 754 double, big-endian.
//
//   string value    02 | length (2 bytes) | bytes
//   number value    00 | double (8 bytes)
//   boolean value   01 | 00 or 01
//   name            length (2 bytes) | bytes          (in front of the value of a named member)
//   object end      00 00 09
//
// Every reader takes the number of bytes that remain behind its pointer and reads nothing when
// they are too few; every writer takes the room left behind its pointer and writes nothing when
// it is too small. All functions are pure and safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace RTMP_LIB {

// AMF0 type markers, the first byte of every value.
enum AmfMarker : uint8_t {
    AMF0_NUMBER = 0x00,
    AMF0_BOOLEAN = 0x01,
    AMF0_STRING = 0x02,
    AMF0_OBJECT = 0x03,
    AMF0_MOVIE_CLIP = 0x04,
    AMF0_NULL = 0x05,
    AMF0_UNDEFINED = 0x06,
    AMF0_REFERENCE = 0x07,
    AMF0_ECMA_ARRAY = 0x08,
    AMF0_OBJECT_END = 0x09,
    AMF0_STRICT_ARRAY = 0x0A,
    AMF0_DATE = 0x0B,
    AMF0_LONG_STRING = 0x0C,
    AMF0_UNSUPPORTED = 0x0D,
};

// The three bytes that close an object or an ECMA array: an empty name, then the end marker.
constexpr uint8_t kAmfObjectEnd[3] = {0x00, 0x00, AMF0_OBJECT_END};

// Readers: true when |size| bytes behind |data| hold the whole value, which is then stored in
// *value; false (and *value untouched) otherwise.
bool ReadUInt16BE(const uint8_t* data, size_t size, uint16_t* value);
bool ReadUInt24BE(const uint8_t* data, size_t size, uint32_t* value);
bool ReadUInt32BE(const uint8_t* data, size_t size, uint32_t* value);
bool ReadUInt32LE(const uint8_t* data, size_t size, uint32_t* value);
// The 8-byte double of a number value (no marker).
bool ReadAmfNumber(const uint8_t* data, size_t size, double* value);
// A 16-bit length and that many bytes (no marker). The text ends at the first zero byte inside
// it; the declared length must still fit.
bool ReadAmfString(const uint8_t* data, size_t size, std::string* value);

// Writers: the number of bytes written, or 0 (nothing written) when |room| is too small.
size_t WriteUInt16BE(uint8_t* out, size_t room, uint16_t value);
size_t WriteUInt24BE(uint8_t* out, size_t room, uint32_t value);  // the low 24 bits
size_t WriteUInt32BE(uint8_t* out, size_t room, uint32_t value);
size_t WriteUInt32LE(uint8_t* out, size_t room, uint32_t value);
// Marker 00 and the double: 9 bytes.
size_t WriteAmfNumber(uint8_t* out, size_t room, double value);
// Marker 01 and 1 for true, 0 for false: 2 bytes.
size_t WriteAmfBoolean(uint8_t* out, size_t room, bool value);
// Marker 02, the length and the bytes: 3 + length. The length field carries the low 16 bits of
// the text's length and exactly that many bytes follow, so a text longer than 65535 bytes is
// cut rather than leaving bytes behind that a reader would take for the next value.
size_t WriteAmfString(uint8_t* out, size_t room, const std::string& value);
// The length and the bytes, no marker: 2 + length, cut like WriteAmfString.
size_t WriteAmfName(uint8_t* out, size_t room, const std::string& name);

}  // namespace RTMP_LIB
