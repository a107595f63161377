// The update file on Windows: opened for reading with read sharing, so that no other program can
// change it while it is being sent, while one that only reads it (a viewer, an editor showing it,
// a second session sending the same file) neither stops the transfer nor is stopped by it. A file
// another program holds open for writing is refused. Only files on a disk are update files.

#include "platform/win32/Win32.h"

#include "platform/SysError.h"
#include "platform/UpdateFile.h"

namespace korv {

namespace {

HANDLE AsHandle(intptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

}  // namespace

int CUpdateFile::Open(const std::string& path, bool /*shareWithReaders*/) {
    Close();
    const std::wstring wide = win32::Widen(path);
    win32::UniqueHandle file(::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const int err = static_cast<int>(::GetLastError());
        // A folder cannot be opened this way; say what it is rather than "access denied".
        const DWORD attributes = ::GetFileAttributesW(wide.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return ERR_NOT_REGULAR_FILE;
        return err;
    }
    // Devices (NUL, COM ports, consoles) and pipes open like files but are not files.
    if (::GetFileType(file.get()) != FILE_TYPE_DISK)
        return ERR_NOT_REGULAR_FILE;
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size))
        return static_cast<int>(::GetLastError());
    m_size = static_cast<uint64_t>(size.QuadPart);
    m_handle = reinterpret_cast<intptr_t>(file.release());
    return 0;
}

void CUpdateFile::Close() {
    if (m_handle != kNone)
        ::CloseHandle(AsHandle(m_handle));
    m_handle = kNone;
    m_size = 0;
}

int CUpdateFile::Read(void* buf, uint32_t n, uint32_t* got) {
    DWORD count = 0;
    const BOOL ok = ::ReadFile(AsHandle(m_handle), buf, n, &count, nullptr);
    *got = ok ? count : 0;
    return ok ? 0 : static_cast<int>(::GetLastError());
}

int CUpdateFile::Rewind() {
    LARGE_INTEGER zero{};
    return ::SetFilePointerEx(AsHandle(m_handle), zero, nullptr, FILE_BEGIN)
               ? 0
               : static_cast<int>(::GetLastError());
}

}  // namespace korv
