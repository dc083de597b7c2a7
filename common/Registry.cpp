#include "common/Registry.h"

#include <cstring>
#include <vector>

#include "platform/RegistryStore.h"

namespace {

// What the registry's readers have always read into.
const size_t kStringBufferBytes = 2048;
const size_t kBinaryBufferBytes = 2048;

// The text of an image read into a zero-filled buffer: up to the first zero unit, a UTF-16 pair
// as one wchar_t (where wchar_t has 32 bits), so text round-trips.
std::wstring fromUtf16(const std::vector<unsigned char>& image) {
    std::vector<uint32_t> units((image.size() + 1) / 2, 0);
    for (size_t i = 0; i < image.size(); ++i)
        units[i / 2] |= static_cast<uint32_t>(image[i]) << (8 * (i % 2));
    std::wstring text;
    for (size_t i = 0; i < units.size() && units[i] != 0; ++i) {
        const uint32_t unit = units[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            text.push_back(
                static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00)));
            ++i;
        } else {
            text.push_back(static_cast<wchar_t>(unit));
        }
    }
    return text;
}

uint32_t fromLittleEndian(const unsigned char* bytes) {
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

}  // namespace

bool CRegistryImpl::SetDWORD(const std::wstring& key, const std::wstring& name, uint32_t value) {
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
        static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    return platform::RegistrySetValue(key, name, platform::RegistryType::kDword, bytes,
                                      sizeof(bytes));
}

bool CRegistryImpl::SetString(const std::wstring& key, const std::wstring& name,
                              const std::wstring& text) {
    std::vector<unsigned char> image;
    if (!platform::RegistryStringImage(text, &image)) return false;
    return platform::RegistrySetValue(key, name, platform::RegistryType::kString, image.data(),
                                      image.size());
}

bool CRegistryImpl::SetBinary(const std::wstring& key, const std::wstring& name,
                              unsigned char*& data, int& length) {
    if (data == nullptr || length <= 0) return false;
    return platform::RegistrySetValue(key, name, platform::RegistryType::kBinary, data,
                                      static_cast<size_t>(length));
}

bool CRegistryImpl::GetDWORD(const std::wstring& key, const std::wstring& name, uint32_t& value) {
    platform::RegistryValue stored;
    if (!platform::RegistryQueryValue(key, name, &stored) || stored.data.size() != 4) return false;
    value = fromLittleEndian(stored.data.data());
    return true;
}

bool CRegistryImpl::GetString(const std::wstring& key, const std::wstring& name,
                              std::wstring& text) {
    platform::RegistryValue stored;
    if (!platform::RegistryQueryValue(key, name, &stored) ||
        stored.data.size() > kStringBufferBytes) {
        return false;
    }
    text = fromUtf16(stored.data);
    return true;
}

bool CRegistryImpl::GetBinary(const std::wstring& key, const std::wstring& name,
                              unsigned char*& data, int& length) {
    platform::RegistryValue stored;
    if (!platform::RegistryQueryValue(key, name, &stored) ||
        stored.data.size() > kBinaryBufferBytes) {
        return false;
    }
    unsigned char* const copy = new unsigned char[stored.data.size()];
    if (!stored.data.empty()) std::memcpy(copy, stored.data.data(), stored.data.size());
    data = copy;
    length = static_cast<int>(stored.data.size());
    return true;
}

void CRegistryImpl::EnumValues(const std::wstring& key,
                               std::map<std::wstring, std::wstring>& values) {
    std::vector<platform::RegistryValue> stored;
    if (!platform::RegistryEnumValues(key, &stored)) return;
    for (const platform::RegistryValue& value : stored) {
        switch (value.type) {
            case platform::RegistryType::kString:
                values[value.name] = fromUtf16(value.data);
                break;
            case platform::RegistryType::kDword:
                if (value.data.size() == 4) {
                    values[value.name] =
                        std::to_wstring(static_cast<int32_t>(fromLittleEndian(value.data.data())));
                }
                break;
            case platform::RegistryType::kBinary:
                break;
        }
    }
}

boost::shared_ptr<CRegistry> GetRegistry() {
    // Never destroyed: threads that log during the process's exit may still read settings.
    static boost::shared_ptr<CRegistry>* const instance =
        new boost::shared_ptr<CRegistry>(new CRegistryImpl());
    return *instance;
}
