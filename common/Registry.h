// Settings below HKEY_LOCAL_MACHINE: typed values (DWORD, string, binary) under "\"-separated
// keys, looked up without regard to case. Every operation opens the key, does one thing and
// closes it again, so the operations keep no state and may be called from any thread; a value
// written by one process is seen whole (old or new) by every other.
//
// Reads never write past the sizes the registry's callers have always used: a DWORD is exactly
// 4 bytes, a string at most 2048 bytes (1023 UTF-16 units and the terminating zero), binary data
// at most 2048 bytes. A longer (or, for a DWORD, shorter) value is not delivered: the read
// returns false and leaves its out-parameters as they were.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include <boost/shared_ptr.hpp>

class CRegistry {
  public:
    CRegistry() = default;
    virtual ~CRegistry() = default;

    CRegistry(const CRegistry&) = delete;
    CRegistry& operator=(const CRegistry&) = delete;

    // Creates the key (and its parents) when missing. True when the value was written.
    virtual bool SetDWORD(const std::wstring& key, const std::wstring& name, uint32_t value) = 0;
    // Stored as a string of (length + 1) * 2 bytes, the terminating zero included.
    virtual bool SetString(const std::wstring& key, const std::wstring& name,
                           const std::wstring& text) = 0;
    // True when the value exists and fits; |value| is untouched otherwise. The value's type is
    // not checked: the first 4 bytes of whatever is stored are read.
    virtual bool GetDWORD(const std::wstring& key, const std::wstring& name, uint32_t& value) = 0;
    // True when the value exists and fits; |text| is the stored text up to its first zero.
    virtual bool GetString(const std::wstring& key, const std::wstring& name,
                           std::wstring& text) = 0;
    // Sets values[name] for every string value (its text) and DWORD value (its signed decimal
    // text, so 4294967295 is "-1") of the key; other values are skipped and entries already in
    // |values| stay unless replaced. A missing key leaves |values| as it was.
    virtual void EnumValues(const std::wstring& key,
                            std::map<std::wstring, std::wstring>& values) = 0;
};

class CRegistryImpl : public CRegistry {
  public:
    bool SetDWORD(const std::wstring& key, const std::wstring& name, uint32_t value) override;
    bool SetString(const std::wstring& key, const std::wstring& name,
                   const std::wstring& text) override;
    bool GetDWORD(const std::wstring& key, const std::wstring& name, uint32_t& value) override;
    bool GetString(const std::wstring& key, const std::wstring& name, std::wstring& text) override;
    void EnumValues(const std::wstring& key, std::map<std::wstring, std::wstring>& values) override;

    // False, writing nothing, when |data| is null or |length| is 0 or less.
    virtual bool SetBinary(const std::wstring& key, const std::wstring& name, unsigned char*& data,
                           int& length);
    // On success |data| is a new array of |length| bytes that the caller frees with delete[].
    virtual bool GetBinary(const std::wstring& key, const std::wstring& name, unsigned char*& data,
                           int& length);
};

// The process-wide registry, created on the first call; it lives as long as the process, so it
// may be used from any thread at any time, even while static objects are being destroyed.
boost::shared_ptr<CRegistry> GetRegistry();
