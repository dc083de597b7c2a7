// The machine-wide settings store that stands in for the registry's HKEY_LOCAL_MACHINE.
//
// Values are what the registry holds: a name, a type and a byte image (a REG_DWORD is 4 bytes,
// little-endian; a REG_SZ is UTF-16LE text ending in one zero unit; a REG_BINARY is any bytes).
// Key paths are "\"-separated and relative to the store's root; key path components and value
// names compare without regard to case, and a value keeps the spelling of its name from when it
// was first written. Every operation opens what it needs and closes it again.
//
// A write is atomic: a reader (in this or another process) sees the old value or the new one,
// never part of one, and a crash during a write leaves the old value. Safe on any thread.
//
// The stored form, meant to be read by an administrator, is described in platform/README.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

enum class RegistryType { kDword, kString, kBinary };

struct RegistryValue {
    std::wstring name;
    RegistryType type;
    std::vector<unsigned char> data;  // the byte image
};

// The largest byte image that the store holds.
constexpr size_t kMaxRegistryValueBytes = 1 << 20;

// The root folder: $ZOVOZUDO_REGISTRY_DIR when it is set and not empty, else
// kDefaultRegistryFolder.
std::string RegistryRootFolder();
extern const char kDefaultRegistryFolder[];

// Creates the key and its parents when missing, then replaces the value. False when the key
// cannot be created, when the image does not fit its type (a REG_DWORD of other than 4 bytes, a
// REG_SZ of odd length or without its final zero unit) or is larger than kMaxRegistryValueBytes,
// or when the write fails.
bool RegistrySetValue(const std::wstring& key, const std::wstring& name, RegistryType type,
                      const unsigned char* data, size_t size);

// False, leaving |value| as it was, when the key or the value does not exist or cannot be read.
bool RegistryQueryValue(const std::wstring& key, const std::wstring& name, RegistryValue* value);

// The REG_SZ image of |text|: UTF-16LE, a wchar_t above 0xFFFF as its surrogate pair, and the
// terminating zero unit. False for a wchar_t beyond U+10FFFF, which UTF-16 cannot hold.
bool RegistryStringImage(const std::wstring& text, std::vector<unsigned char>* image);

// The file that holds the value, whether or not it exists.
std::string RegistryValueFile(const std::wstring& key, const std::wstring& name);

// Why RegistryQueryValue finds no value, for a person. False when there is nothing to tell: the
// value reads, or neither its file nor anything spelled like it exists. Else |file| is the file
// or folder that was found and |reason| what keeps the value from being read: a folder that
// cannot be searched, a key folder or value file spelled with capitals, a file that is not a
// value file of the stored form.
bool RegistryExplainValue(const std::wstring& key, const std::wstring& name, std::string* file,
                          std::string* reason);

// Removes the value. True when it is absent afterwards, also when it never existed.
bool RegistryDeleteValue(const std::wstring& key, const std::wstring& name);

// Appends every readable value of the key to |values|, in no particular order. False when the
// key does not exist.
bool RegistryEnumValues(const std::wstring& key, std::vector<RegistryValue>* values);

}  // namespace platform
