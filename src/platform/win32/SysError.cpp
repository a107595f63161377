// Error texts on Windows: the system's own text for a GetLastError code, from FormatMessage.

#include "platform/win32/Win32.h"

#include "platform/OwnErrorText.h"
#include "platform/SysError.h"

namespace korv {

int LastSystemError() {
    return static_cast<int>(::GetLastError());
}

std::string SystemErrorText(int err) {
    if (err == 0)
        return {};
    if (const char* own = sys::OwnErrorText(err))
        return own;
    if (err >= ERR_OWN_BASE)
        return "Unknown error " + std::to_string(err);
    wchar_t* buffer = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(err), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text = n > 0 && buffer != nullptr ? win32::Narrow(buffer, n) : std::string();
    if (buffer != nullptr)
        ::LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text.empty() ? "Error " + std::to_string(err) : text;
}

}  // namespace korv
