#include "rtmp/AMFObject.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

#include "common/Log.h"
#include "rtmp/AMFCodec.h"

namespace RTMP_LIB {

// Limits of one public Decode or DecodeItems call, shared by every level it descends into.
struct AmfDecodeBudget {
    int valuesLeft = kAmfMaxValues;
    // Every nested list ends where the outermost one ends, so once a list in recovery has
    // scanned to that end without meeting an object end, no list needs to scan those bytes
    // again: null until that happens, then the earliest byte known to start no object end.
    const uint8_t* noObjectEndFrom = nullptr;
};

namespace {

const char kDecodeName[] = "RTMP_LIB::AMFObjectProperty::Decode";
const char kEncodeName[] = "RTMP_LIB::AMFObjectProperty::Encode";

// Each part of a dump line is at most 254 bytes.
constexpr size_t kDumpPartSize = 255;

// Length of the UTF-8 sequence that |lead| starts, or 0 when it starts none.
size_t utf8SequenceLength(uint8_t lead) {
    if (lead >= 0xC0 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF7) return 4;
    return 0;
}

// Formats into |part|, cutting the text to fit. The log decodes a line only up to its first
// broken UTF-8 sequence, so a cut is moved back to the start of a sequence it would split;
// otherwise a long name would take the value part of its line with it.
__attribute__((format(printf, 2, 3))) void formatPart(char (&part)[kDumpPartSize],
                                                       const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int wanted = std::vsnprintf(part, kDumpPartSize, format, args);
    va_end(args);
    if (wanted < 0) {
        part[0] = '\0';
        return;
    }
    if (static_cast<size_t>(wanted) < kDumpPartSize) return;

    const size_t length = kDumpPartSize - 1;
    for (size_t back = 1; back <= 3 && back <= length; ++back) {
        const auto byte = static_cast<uint8_t>(part[length - back]);
        if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: look further back
        const size_t needed = utf8SequenceLength(byte);
        if (needed > back) part[length - back] = '\0';
        break;
    }
}

}  // namespace

// ---- AMFObject ---------------------------------------------------------------------------

AMFObject::AMFObject() = default;
AMFObject::~AMFObject() = default;

int AMFObject::Encode(uint8_t* buffer, int size) const {
    if (buffer == nullptr || size < 4) return -1;
    buffer[0] = AMF0_OBJECT;
    int used = 1;
    for (size_t i = 0; i < m_properties.size(); ++i) {
        const int written = m_properties[i].Encode(buffer + used, size - used);
        if (written < 0) {
            RtmpLog(1, "AMFObject::Encode - failed to encode property in index %d",
                    static_cast<int>(i));
            continue;
        }
        used += written;
    }
    if (size - used < 3) return -1;
    std::memcpy(buffer + used, kAmfObjectEnd, sizeof(kAmfObjectEnd));
    return used + 3;
}

int AMFObject::Decode(const uint8_t* data, int size, bool decodeNames) {
    AmfDecodeBudget budget;
    return decode(data, size, decodeNames, 0, &budget);
}

int AMFObject::DecodeItems(const uint8_t* data, int size, int64_t count) {
    AmfDecodeBudget budget;
    return decodeItems(data, size, count, 0, &budget);
}

int AMFObject::decode(const uint8_t* data, int size, bool decodeNames, int depth,
                      AmfDecodeBudget* budget) {
    if (data == nullptr || size < 0) size = 0;
    int position = 0;
    const uint8_t* failedAt = nullptr;  // where the first value that failed began
    while (size - position >= 3) {
        const uint8_t* const at = data + position;
        if (std::memcmp(at, kAmfObjectEnd, sizeof(kAmfObjectEnd)) == 0) return position + 3;
        if (failedAt != nullptr) {
            if (budget->noObjectEndFrom != nullptr && at >= budget->noObjectEndFrom) break;
            RtmpLog(0, "DECODING ERROR, IGNORING BYTES UNTIL NEXT KNOWN PATTERN!");
            ++position;
            continue;
        }
        AMFObjectProperty property;
        const int used = property.decode(at, size - position, decodeNames, depth, budget);
        if (used < 0) {
            failedAt = at;
            continue;
        }
        position += used;
        m_properties.push_back(std::move(property));
    }
    if (failedAt == nullptr) return position;
    // Every byte from failedAt on has been seen not to start an object end: the enclosing lists,
    // which scan the same tail, can stop when they reach it instead of scanning it again.
    if (budget->noObjectEndFrom == nullptr || failedAt < budget->noObjectEndFrom)
        budget->noObjectEndFrom = failedAt;
    return -1;
}

int AMFObject::decodeItems(const uint8_t* data, int size, int64_t count, int depth,
                           AmfDecodeBudget* budget) {
    if (data == nullptr || size < 0) size = 0;
    int position = 0;
    // Nothing is reserved for |count|: it comes from the wire, and every value that really
    // follows takes at least one byte.
    for (int64_t i = 0; i < count; ++i) {
        AMFObjectProperty property;
        const int used = property.decode(data + position, size - position, false, depth, budget);
        if (used < 0) return -1;
        position += used;
        m_properties.push_back(std::move(property));
    }
    return position;
}

void AMFObject::AddProperty(const AMFObjectProperty& property) {
    m_properties.push_back(property);
}

int AMFObject::GetCount() const { return static_cast<int>(m_properties.size()); }

const AMFObjectProperty& AMFObject::GetProperty(int index) const {
    // Never destroyed, so that a lookup made while the process exits still finds it.
    static const AMFObjectProperty* const invalid = new AMFObjectProperty();
    if (index < 0 || static_cast<size_t>(index) >= m_properties.size()) return *invalid;
    return m_properties[static_cast<size_t>(index)];
}

const AMFObjectProperty& AMFObject::GetProperty(const std::string& name) const {
    for (const AMFObjectProperty& property : m_properties) {
        if (property.GetName() == name) return property;
    }
    return GetProperty(-1);
}

void AMFObject::LogContents() const {
    // Metadata may hold a million properties: below the level the dump costs no formatting.
    if (!RtmpLogEnabled(0)) return;
    for (const AMFObjectProperty& property : m_properties) property.LogContents();
}

void AMFObject::Clear() { m_properties.clear(); }

// ---- AMFObjectProperty -------------------------------------------------------------------

AMFObjectProperty::AMFObjectProperty()
    : m_type(AMF_KIND_INVALID), m_number(0.0), m_utcOffset(0) {}

AMFObjectProperty::~AMFObjectProperty() = default;

void AMFObjectProperty::resetValue(int type) {
    m_type = type;
    m_number = 0.0;
    m_utcOffset = 0;
    m_object.Clear();
    m_string.clear();
}

void AMFObjectProperty::SetNumber(double number) {
    resetValue(AMF_KIND_NUMBER);
    m_number = number;
}

void AMFObjectProperty::SetBoolean(bool value) {
    resetValue(AMF_KIND_BOOLEAN);
    m_number = value ? 1.0 : 0.0;
}

void AMFObjectProperty::SetString(const std::string& value) {
    resetValue(AMF_KIND_STRING);
    m_string = value;
}

void AMFObjectProperty::SetObject(const AMFObject& object) {
    resetValue(AMF_KIND_OBJECT);
    m_object = object;
}

void AMFObjectProperty::SetNull() { resetValue(AMF_KIND_NULL); }

void AMFObjectProperty::SetDate(double milliseconds, int16_t utcOffset) {
    resetValue(AMF_KIND_DATE);
    m_number = milliseconds;
    m_utcOffset = utcOffset;
}

void AMFObjectProperty::Clear() { resetValue(AMF_KIND_INVALID); }

int AMFObjectProperty::Encode(uint8_t* buffer, int size) const {
    if (m_type == AMF_KIND_INVALID || buffer == nullptr || size < 0) return -1;
    uint8_t* out = buffer;
    size_t room = static_cast<size_t>(size);
    if (m_type != AMF_KIND_NULL) {
        if (room < m_name.size() + 3) return -1;
        if (!m_name.empty()) {
            const size_t written = WriteAmfName(out, room, m_name);
            out += written;
            room -= written;
        }
    }

    size_t written = 0;
    switch (m_type) {
        case AMF_KIND_NUMBER:
            written = WriteAmfNumber(out, room, m_number);
            break;
        case AMF_KIND_BOOLEAN:
            written = WriteAmfBoolean(out, room, m_number != 0.0);
            break;
        case AMF_KIND_STRING:
            written = WriteAmfString(out, room, m_string);
            break;
        case AMF_KIND_NULL:
            if (room >= 1) {
                out[0] = AMF0_NULL;
                written = 1;
            }
            break;
        case AMF_KIND_OBJECT: {
            const int used = m_object.Encode(out, static_cast<int>(room));
            if (used > 0) written = static_cast<size_t>(used);
            break;
        }
        default:
            RtmpLog(1, "%s, invalid type. %d", kEncodeName, m_type);
            return -1;
    }
    if (written == 0) return -1;
    return static_cast<int>(out - buffer) + static_cast<int>(written);
}

int AMFObjectProperty::Decode(const uint8_t* data, int size, bool decodeName) {
    AmfDecodeBudget budget;
    return decode(data, size, decodeName, 0, &budget);
}

int AMFObjectProperty::decode(const uint8_t* data, int size, bool decodeName, int depth,
                              AmfDecodeBudget* budget) {
    if (size <= 0 || data == nullptr) {
        RtmpLog(0, "empty buffer/no buffer pointer!");
        return -1;
    }
    const uint8_t* at = data;
    size_t left = static_cast<size_t>(size);

    if (decodeName) {
        if (left < 4) {
            RtmpLog(0, "Not enough data for decoding with name, less then 4 bytes!");
            return -1;
        }
        uint16_t nameLength = 0;
        ReadUInt16BE(at, left, &nameLength);
        if (nameLength > left - 2) {
            RtmpLog(0, "Name size out of range: namesize (%d) > len (%d) - 2", nameLength, size);
            return -1;
        }
        ReadAmfString(at, left, &m_name);
        at += 2 + nameLength;
        left -= 2 + nameLength;
    }

    if (left == 0 || budget->valuesLeft <= 0) return -1;
    --budget->valuesLeft;
    const uint8_t marker = *at++;
    --left;

    // Each case decodes into locals, so that a failure leaves the value as it was.
    int type = AMF_KIND_INVALID;
    size_t used = 0;
    double number = 0.0;
    int16_t utcOffset = 0;
    std::string text;
    AMFObject object;
    switch (marker) {
        case AMF0_NUMBER:
            if (!ReadAmfNumber(at, left, &number)) return -1;
            type = AMF_KIND_NUMBER;
            used = 8;
            break;
        case AMF0_BOOLEAN:
            if (left < 1) return -1;
            number = at[0] == 1 ? 1.0 : 0.0;
            type = AMF_KIND_BOOLEAN;
            used = 1;
            break;
        case AMF0_STRING: {
            uint16_t length = 0;
            if (!ReadUInt16BE(at, left, &length) || !ReadAmfString(at, left, &text)) return -1;
            type = AMF_KIND_STRING;
            used = 2 + size_t{length};
            break;
        }
        case AMF0_OBJECT: {
            if (depth >= kAmfMaxNesting) return -1;
            const int members =
                object.decode(at, static_cast<int>(left), true, depth + 1, budget);
            if (members < 0) return -1;
            type = AMF_KIND_OBJECT;
            used = static_cast<size_t>(members);
            break;
        }
        case AMF0_ECMA_ARRAY: {
            // The count is not trusted: the members run up to the object end.
            if (left < 4 || depth >= kAmfMaxNesting) return -1;
            const int members =
                object.decode(at + 4, static_cast<int>(left - 4), true, depth + 1, budget);
            if (members < 0) return -1;
            type = AMF_KIND_OBJECT;
            used = 4 + static_cast<size_t>(members);
            break;
        }
        case AMF0_STRICT_ARRAY: {
            uint32_t count = 0;
            if (!ReadUInt32BE(at, left, &count) || depth >= kAmfMaxNesting) return -1;
            const int items =
                object.decodeItems(at + 4, static_cast<int>(left - 4), count, depth + 1, budget);
            if (items < 0) return -1;
            type = AMF_KIND_OBJECT;
            used = 4 + static_cast<size_t>(items);
            break;
        }
        case AMF0_NULL:
        case AMF0_UNDEFINED:
        case AMF0_UNSUPPORTED:
            type = AMF_KIND_NULL;
            break;
        case AMF0_DATE: {
            uint16_t offset = 0;
            if (left < 10 || !ReadAmfNumber(at, left, &number) ||
                !ReadUInt16BE(at + 8, left - 8, &offset))
                return -1;
            utcOffset = static_cast<int16_t>(offset);
            type = AMF_KIND_DATE;
            used = 10;
            break;
        }
        default:
            RtmpLog(0, "%s - unknown datatype 0x%02x, @0x%08X", kDecodeName, marker,
                    static_cast<unsigned int>(reinterpret_cast<uintptr_t>(data)));
            return -1;
    }

    resetValue(type);
    m_number = number;
    m_utcOffset = utcOffset;
    m_string = std::move(text);
    m_object = std::move(object);
    return static_cast<int>(at - data) + static_cast<int>(used);
}

void AMFObjectProperty::LogContents() const {
    if (!RtmpLogEnabled(0)) return;
    if (m_type == AMF_KIND_INVALID) {
        RtmpLog(0, "Property: INVALID");
        return;
    }
    if (m_type == AMF_KIND_NULL) {
        RtmpLog(0, "Property: NULL");
        return;
    }

    char namePart[kDumpPartSize];
    formatPart(namePart, "Name: %25s, ", m_name.empty() ? "no-name." : m_name.c_str());
    if (m_type == AMF_KIND_OBJECT) {
        RtmpLog(0, "Property: <%sOBJECT>", namePart);
        m_object.LogContents();
        return;
    }

    char valuePart[kDumpPartSize];
    switch (m_type) {
        case AMF_KIND_NUMBER:
            formatPart(valuePart, "NUMBER:\t%.2f", m_number);
            break;
        case AMF_KIND_BOOLEAN:
            formatPart(valuePart, "BOOLEAN:\t%s", m_number == 1.0 ? "TRUE" : "FALSE");
            break;
        case AMF_KIND_STRING:
            formatPart(valuePart, "STRING:\t%s", m_string.c_str());
            break;
        case AMF_KIND_DATE:
            formatPart(valuePart, "DATE:\ttimestamp: %.2f, UTC offset: %d", m_number,
                       m_utcOffset);
            break;
        default:
            formatPart(valuePart, "INVALID TYPE 0x%02x", m_type & 0xFF);
            break;
    }
    RtmpLog(0, "Property: <%s%s>", namePart, valuePart);
}

}  // namespace RTMP_LIB
