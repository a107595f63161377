// The host name on Windows: the DNS host name, which keeps the case and the length the
// administrator gave it (the NetBIOS name is upper case and cut to 15 characters).

#include "platform/win32/Win32.h"

#include <string>

#include "platform/HostName.h"

namespace korv {

std::string HostName() {
    DWORD size = 0;
    // The first call says how many characters the name needs, its terminator included.
    ::GetComputerNameExW(ComputerNameDnsHostname, nullptr, &size);
    if (size == 0) {
        return {};
    }
    std::wstring name(size, L'\0');
    if (!::GetComputerNameExW(ComputerNameDnsHostname, name.data(), &size)) {
        return {};
    }
    name.resize(size);  // without the terminator, once the name is in
    return win32::Narrow(name);
}

}  // namespace korv
