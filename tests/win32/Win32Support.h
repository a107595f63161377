#pragma once
// Support for the Windows platform tests: a registry key of the test's own below
// HKEY_CURRENT_USER, removed with everything in it.

#include "platform/win32/Win32.h"

#include <string>

namespace korv::test {

class TestKey {
  public:
    explicit TestKey(const std::string& name)
        : m_path("Software\\KORVALIN-test-" + std::to_string(::GetCurrentProcessId()) + "-" +
                 name) {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, win32::Widen(m_path).c_str());
    }
    ~TestKey() { ::RegDeleteTreeW(HKEY_CURRENT_USER, win32::Widen(m_path).c_str()); }
    TestKey(const TestKey&) = delete;
    TestKey& operator=(const TestKey&) = delete;

    const std::string& Path() const { return m_path; }

    // Adds a value of any type with raw data, in enumeration order.
    bool SetValue(const std::string& name, DWORD type, const void* data, DWORD bytes) const {
        HKEY key = nullptr;
        if (::RegCreateKeyExW(HKEY_CURRENT_USER, win32::Widen(m_path).c_str(), 0, nullptr, 0,
                              KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
            return false;
        }
        const bool ok = ::RegSetValueExW(key, win32::Widen(name).c_str(), 0, type,
                                         static_cast<const BYTE*>(data), bytes) == ERROR_SUCCESS;
        ::RegCloseKey(key);
        return ok;
    }
    bool SetString(const std::string& name, const std::string& value) const {
        const std::wstring wide = win32::Widen(value);
        return SetValue(name, REG_SZ, wide.c_str(),
                        static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
    }

  private:
    std::string m_path;
};

}  // namespace korv::test
