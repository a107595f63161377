#include "platform/ConsoleIo.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <filesystem>

#include "platform/SysError.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace korv {

namespace {

HANDLE StreamHandle(std::FILE* stream) {
    return reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
}

}  // namespace

int TerminalColumns(std::FILE* stream) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    const HANDLE handle = StreamHandle(stream);
    if (handle == INVALID_HANDLE_VALUE || !::GetConsoleScreenBufferInfo(handle, &info)) {
        return 0;
    }
    return info.srWindow.Right - info.srWindow.Left + 1;
}

bool EnableTerminalControl(std::FILE* stream) {
    const HANDLE handle = StreamHandle(stream);
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || !::GetConsoleMode(handle, &mode)) {
        return false;
    }
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           ::SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

std::FILE* OpenForAppend(const std::string& path, int* err) {
    auto fail = [err](DWORD code) -> std::FILE* {
        if (err != nullptr) {
            *err = static_cast<int>(code);
        }
        return nullptr;
    };
    const std::filesystem::path wide(std::u8string(path.begin(), path.end()));
    // Append-only access: every write lands at the end; others may read the log meanwhile.
    const HANDLE handle = ::CreateFileW(wide.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return fail(::GetLastError());
    }
    // A device name ("NUL", "COM7.log") opens the device, not a file: only a file on a disk
    // is a log.
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        ::CloseHandle(handle);
        return fail(ERR_NOT_REGULAR_FILE);
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_APPEND | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(handle);
        return fail(ERROR_TOO_MANY_OPEN_FILES);
    }
    std::FILE* file = ::_fdopen(fd, "ab");
    if (file == nullptr) {
        ::_close(fd);  // closes the handle too
        return fail(ERROR_TOO_MANY_OPEN_FILES);
    }
    return file;
}

int TerminalRows(std::FILE* stream) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    const HANDLE handle = StreamHandle(stream);
    if (handle == INVALID_HANDLE_VALUE || !::GetConsoleScreenBufferInfo(handle, &info)) {
        return 0;
    }
    return info.srWindow.Bottom - info.srWindow.Top + 1;
}

// A console has no non-blocking writes; the stream is written as it is.
CErrWriter::CErrWriter(std::FILE* stream) : m_stream(stream) {}

CErrWriter::~CErrWriter() = default;

size_t CErrWriter::TryWrite(const char* data, size_t n) {
    const size_t put = std::fwrite(data, 1, n, m_stream);
    std::fflush(m_stream);
    return put;
}

bool CErrWriter::WaitWritable(int) {
    return true;
}

}  // namespace korv
