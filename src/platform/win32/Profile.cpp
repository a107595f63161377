// The profile on Windows: HKEY_CURRENT_USER\Software\<company>\<application>, a subkey per
// section holding REG_SZ values, where the desktop program writes it and the console reads it.

#include "platform/win32/Win32.h"

#include "platform/Profile.h"

namespace korv {

CUserProfile::CUserProfile(const std::string& company, const std::string& application)
    : m_location("Software\\" + company + "\\" + application) {}

CUserProfile CUserProfile::At(std::string location) {
    return CUserProfile(std::move(location));
}

std::string CUserProfile::GetString(const std::string& section, const std::string& entry,
                                    const std::string& defaultValue) const {
    win32::UniqueKey key;
    const std::wstring path = win32::Widen(m_location + "\\" + section);
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_QUERY_VALUE, key.put()) !=
        ERROR_SUCCESS) {
        return defaultValue;
    }
    const std::wstring name = win32::Widen(entry);
    // The value may change size between the two calls; ask again until it fits.
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD type = 0;
        DWORD bytes = 0;
        if (::RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, &bytes) !=
                ERROR_SUCCESS ||
            (type != REG_SZ && type != REG_EXPAND_SZ)) {
            return defaultValue;
        }
        std::wstring data(bytes / sizeof(wchar_t) + 1, L'\0');
        DWORD size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
        const LONG r = ::RegQueryValueExW(key.get(), name.c_str(), nullptr, &type,
                                          reinterpret_cast<BYTE*>(data.data()), &size);
        if (r == ERROR_MORE_DATA)
            continue;
        if (r != ERROR_SUCCESS)
            return defaultValue;
        // Stored strings need not end in a terminator; take what is there, up to the first one.
        data.resize(size / sizeof(wchar_t));
        const size_t end = data.find(L'\0');
        if (end != std::wstring::npos)
            data.resize(end);
        return win32::Narrow(data);
    }
    return defaultValue;
}

int CUserProfile::WriteString(const std::string& section, const std::string& entry,
                              const std::string& value) {
    win32::UniqueKey key;
    const std::wstring path = win32::Widen(m_location + "\\" + section);
    LONG r = ::RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                               KEY_SET_VALUE, nullptr, key.put(), nullptr);
    if (r != ERROR_SUCCESS)
        return static_cast<int>(r);
    const std::wstring name = win32::Widen(entry);
    const std::wstring data = win32::Widen(value);
    r = ::RegSetValueExW(key.get(), name.c_str(), 0, REG_SZ,
                         reinterpret_cast<const BYTE*>(data.c_str()),
                         static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    return static_cast<int>(r);
}

}  // namespace korv
