#include "platform/ConsoleIo.h"

#include <io.h>
#include <windows.h>

#include <cstdlib>
#include <filesystem>

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
    const std::filesystem::path wide(std::u8string(path.begin(), path.end()));
    std::FILE* file = ::_wfopen(wide.c_str(), L"ab");
    if (file == nullptr && err != nullptr) {
        unsigned long code = 0;
        *err =
            ::_get_doserrno(&code) == 0 && code != 0 ? static_cast<int>(code) : ERROR_OPEN_FAILED;
    }
    return file;
}

}  // namespace korv
