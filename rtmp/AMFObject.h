// AMF0 values as the RTMP library holds them: AMFObjectProperty is one value, optionally named;
// AMFObject is an ordered list of them (the members of an object or an array, or the values of
// a command or metadata message body, which carry no names).
//
// Decoding is meant for bytes from the server, which may be hostile: it never reads outside the
// bytes it is given, nests objects and arrays at most kAmfMaxNesting levels deep and makes at
// most kAmfMaxValues values per call, so neither the stack nor memory grows with what a length
// or count field claims. A value that cannot be decoded inside a list makes the list skip bytes
// until the next object end (00 00 09) and keep what it had.
//
// Not thread-safe: a value belongs to one thread at a time. The shared invalid property that the
// lookups return is immutable and may be read from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace RTMP_LIB {

// The kind of a value (the library's numbering, not the AMF0 markers).
enum AmfKind : int {
    AMF_KIND_INVALID = 0,
    AMF_KIND_NUMBER = 1,
    AMF_KIND_BOOLEAN = 2,
    AMF_KIND_STRING = 3,
    AMF_KIND_OBJECT = 4,  // also ECMA arrays and strict arrays
    AMF_KIND_NULL = 5,    // also undefined and unsupported
    AMF_KIND_DATE = 8,
};

// Objects and arrays inside objects and arrays: the 64th level decodes, the 65th does not.
constexpr int kAmfMaxNesting = 64;
// Values one Decode or DecodeItems call may make, nested ones included. Each costs about 130
// bytes while a null takes one byte on the wire, so this keeps a 16 MB message from asking for
// gigabytes; real command and metadata bodies hold a few thousand.
constexpr int kAmfMaxValues = 1 << 18;

class AMFObjectProperty;
struct AmfDecodeBudget;

class AMFObject {
public:
    AMFObject();
    virtual ~AMFObject();
    AMFObject(const AMFObject&) = default;
    AMFObject(AMFObject&&) = default;
    AMFObject& operator=(const AMFObject&) = default;
    AMFObject& operator=(AMFObject&&) = default;

    // Writes 03, every property (name and value) and 00 00 09 into the |size| bytes at
    // |buffer|. A property that cannot be encoded is logged and left out. Returns the bytes
    // written, or -1 when the object does not fit.
    int Encode(uint8_t* buffer, int size) const;

    // Appends the values found in the |size| bytes at |data|, each preceded by its name when
    // |decodeNames|, up to and including an object end. Returns the bytes consumed, or -1 when a
    // value failed and no object end followed it; the values decoded before a failure stay.
    // Without an object end the last one or two bytes are never looked at.
    int Decode(const uint8_t* data, int size, bool decodeNames);

    // Appends |count| unnamed values (the body of a strict array). Returns the bytes consumed,
    // or -1 at the first value that fails; the values before it stay. A count of 0 or less
    // decodes nothing.
    int DecodeItems(const uint8_t* data, int size, int64_t count);

    void AddProperty(const AMFObjectProperty& property);
    int GetCount() const;
    // The property at |index|, or the shared invalid property when there is none. The
    // reference lives until this object changes.
    const AMFObjectProperty& GetProperty(int index) const;
    // The first property named |name|, or the shared invalid property.
    const AMFObjectProperty& GetProperty(const std::string& name) const;

    // One DEBUG line per property, nested ones after their object's line.
    void LogContents() const;
    void Clear();

private:
    friend class AMFObjectProperty;

    int decode(const uint8_t* data, int size, bool decodeNames, int depth,
               AmfDecodeBudget* budget);
    int decodeItems(const uint8_t* data, int size, int64_t count, int depth,
                    AmfDecodeBudget* budget);

    std::vector<AMFObjectProperty> m_properties;
};

class AMFObjectProperty {
public:
    // An invalid value: kind 0, number 0.0, empty name, string and object.
    AMFObjectProperty();
    virtual ~AMFObjectProperty();
    AMFObjectProperty(const AMFObjectProperty&) = default;
    AMFObjectProperty(AMFObjectProperty&&) = default;
    AMFObjectProperty& operator=(const AMFObjectProperty&) = default;
    AMFObjectProperty& operator=(AMFObjectProperty&&) = default;

    const std::string& GetName() const { return m_name; }
    int GetType() const { return m_type; }
    double GetNumber() const { return m_number; }
    bool GetBoolean() const { return m_number != 0.0; }
    int16_t GetUTCOffset() const { return m_utcOffset; }
    const std::string& GetString() const { return m_string; }
    const AMFObject& GetObject() const { return m_object; }
    bool IsValid() const { return m_type != AMF_KIND_INVALID; }

    // Each setter replaces the value and its kind; the name stays.
    void SetName(const std::string& name) { m_name = name; }
    void SetNumber(double number);
    void SetBoolean(bool value);
    void SetString(const std::string& value);
    void SetObject(const AMFObject& object);
    void SetNull();
    void SetDate(double milliseconds, int16_t utcOffset);

    // Forgets the value (kind 0); the name stays.
    void Clear();

    // Writes the name (unless empty, and never for a null) and the value into the |size| bytes
    // at |buffer|. Returns the bytes written, or -1 when it does not fit or the kind (invalid,
    // date) cannot be encoded; an object's members that cannot be encoded are left out.
    int Encode(uint8_t* buffer, int size) const;

    // Reads one value, preceded by its name when |decodeName|, from the |size| bytes at |data|.
    // Returns the bytes consumed, name included, or -1; on failure the value is unchanged
    // except that a name already read stays.
    int Decode(const uint8_t* data, int size, bool decodeName);

    // One DEBUG line, and for an object one more per member.
    void LogContents() const;

private:
    friend class AMFObject;

    int decode(const uint8_t* data, int size, bool decodeName, int depth,
               AmfDecodeBudget* budget);
    void resetValue(int type);

    std::string m_name;
    int m_type;
    double m_number;  // number, 0.0 or 1.0 for a boolean, milliseconds of a date
    int16_t m_utcOffset;
    AMFObject m_object;
    std::string m_string;
};

}  // namespace RTMP_LIB
