#pragma once
// Internal to the Windows platform layer (and for Windows front ends): <windows.h> without the
// macros that would rename the portable headers' own names. Those headers give the same values
// under the same names (ERROR_SUCCESS, REG_SZ, NOPARITY, ...) as constants; this header is
// included before any other so that they are declared after the macros are gone.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#undef ERROR_SUCCESS
#undef ERROR_FILE_NOT_FOUND
#undef ERROR_MORE_DATA
#undef ERROR_NO_MORE_ITEMS
#undef REG_NONE
#undef REG_SZ
#undef REG_DWORD
#undef DTR_CONTROL_DISABLE
#undef DTR_CONTROL_ENABLE
#undef RTS_CONTROL_DISABLE
#undef RTS_CONTROL_ENABLE
#undef NOPARITY
#undef ONESTOPBIT
// The form host's and the terminal window's methods share these names.
#undef MessageBox
#undef TextOut

#include <string>

#include "platform/DeviceMap.h"
#include "platform/SerialPort.h"

namespace korv::win32 {

// UTF-8 (the program's text) to UTF-16 (the wide API's) and back. Invalid sequences become
// U+FFFD rather than losing the rest of the text.
std::wstring Widen(const std::string& text);
std::string Narrow(const wchar_t* text, size_t length);
inline std::string Narrow(const std::wstring& text) {
    return Narrow(text.data(), text.size());
}

// The console control handler that CInterrupt installs: Ctrl+C and Ctrl+Break raise the
// interrupt; closing the console raises it too and keeps the process alive until the
// interrupt's owner is gone (at most kEndHoldMs). Logoff and shutdown come through CInterrupt's
// hidden window instead. Tests call it as the system would.
BOOL WINAPI OnConsoleControl(DWORD type);

// Owns one kernel handle; INVALID_HANDLE_VALUE and null both mean none.
class UniqueHandle {
  public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : m_h(h) {}
    UniqueHandle(UniqueHandle&& o) noexcept : m_h(o.release()) {}
    UniqueHandle& operator=(UniqueHandle&& o) noexcept {
        if (this != &o)
            reset(o.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    HANDLE get() const { return m_h; }
    explicit operator bool() const { return m_h != nullptr && m_h != INVALID_HANDLE_VALUE; }
    HANDLE release() {
        HANDLE h = m_h;
        m_h = nullptr;
        return h;
    }
    void reset(HANDLE h = nullptr) {
        if (*this)
            ::CloseHandle(m_h);
        m_h = h;
    }

  private:
    HANDLE m_h = nullptr;
};

// Owns one open registry key.
class UniqueKey {
  public:
    UniqueKey() = default;
    ~UniqueKey() { reset(); }
    UniqueKey(const UniqueKey&) = delete;
    UniqueKey& operator=(const UniqueKey&) = delete;
    HKEY get() const { return m_key; }
    HKEY* put() {
        reset();
        return &m_key;
    }
    void reset() {
        if (m_key != nullptr)
            ::RegCloseKey(m_key);
        m_key = nullptr;
    }

  private:
    HKEY m_key = nullptr;
};

}  // namespace korv::win32
