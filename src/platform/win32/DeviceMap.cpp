// The serial device map on Windows: the values of HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM,
// one per port (the value's name is the driver's device, its data the port name), enumerated
// with the wide API and handed on in UTF-8 under the caller's capacities.

#include "platform/win32/RegistryDeviceMap.h"

#include <cstring>

namespace korv {

namespace {

constexpr char kSerialComm[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

class RegistryDeviceMap final : public ISerialDeviceMap {
  public:
    RegistryDeviceMap(HKEY root, std::string subkey) : m_root(root), m_subkey(std::move(subkey)) {}

    long Open() override {
        return ::RegOpenKeyExW(m_root, win32::Widen(m_subkey).c_str(), 0, KEY_QUERY_VALUE,
                               m_key.put());
    }

    // The capacities are the caller's, in UTF-8 bytes with the terminator; the wide call gets
    // room for as many characters, and whatever does not fit once in UTF-8 is ERROR_MORE_DATA,
    // as the registry reports a value too large for the buffers it was given.
    long EnumValue(uint32_t index, char* name, uint32_t* nameCap, uint32_t* type, uint8_t* data,
                   uint32_t* dataCap) override {
        if (m_key.get() == nullptr)
            return ERROR_INVALID_HANDLE;
        if (name == nullptr || nameCap == nullptr || (data != nullptr && dataCap == nullptr))
            return ERROR_INVALID_PARAMETER;
        std::wstring wideName(*nameCap + 1, L'\0');
        DWORD wideNameLen = *nameCap;
        const uint32_t dataChars = data != nullptr ? *dataCap : 0;
        std::wstring wideData(dataChars + 1, L'\0');
        DWORD wideDataBytes = dataChars * sizeof(wchar_t);
        DWORD valueType = 0;
        const LONG r =
            ::RegEnumValueW(m_key.get(), index, wideName.data(), &wideNameLen, nullptr, &valueType,
                            data != nullptr ? reinterpret_cast<BYTE*>(wideData.data()) : nullptr,
                            data != nullptr ? &wideDataBytes : nullptr);
        if (r != ERROR_SUCCESS)
            return r;

        const std::string utf8Name = win32::Narrow(wideName.data(), wideNameLen);
        if (utf8Name.size() + 1 > *nameCap)
            return ERROR_MORE_DATA;
        std::string bytes;
        if (data != nullptr) {
            if (valueType == REG_SZ || valueType == REG_EXPAND_SZ) {
                std::wstring text(wideData.data(), wideDataBytes / sizeof(wchar_t));
                const size_t end = text.find(L'\0');
                if (end != std::wstring::npos)
                    text.resize(end);
                bytes = win32::Narrow(text);
                bytes.push_back('\0');
            } else {
                bytes.assign(reinterpret_cast<const char*>(wideData.data()), wideDataBytes);
            }
            if (bytes.size() > *dataCap) {
                *dataCap = static_cast<uint32_t>(bytes.size());
                return ERROR_MORE_DATA;
            }
        }
        std::memcpy(name, utf8Name.c_str(), utf8Name.size() + 1);
        *nameCap = static_cast<uint32_t>(utf8Name.size());
        if (type != nullptr)
            *type = valueType;
        if (data != nullptr) {
            std::memcpy(data, bytes.data(), bytes.size());
            *dataCap = static_cast<uint32_t>(bytes.size());
        }
        return ERROR_SUCCESS;
    }

    void Close() override { m_key.reset(); }

  private:
    HKEY m_root;
    std::string m_subkey;
    win32::UniqueKey m_key;
};

}  // namespace

std::unique_ptr<ISerialDeviceMap> MakeRegistryDeviceMap(HKEY root, const std::string& subkey) {
    return std::make_unique<RegistryDeviceMap>(root, subkey);
}

std::unique_ptr<ISerialDeviceMap> MakeSystemDeviceMap() {
    return MakeRegistryDeviceMap(HKEY_LOCAL_MACHINE, kSerialComm);
}

PortDescription DescribePort(const std::string& name) {
    PortDescription d;
    d.devicePath = DevicePathForPort(name);
    return d;
}

}  // namespace korv
