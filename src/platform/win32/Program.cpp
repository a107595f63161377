// The running program on Windows: its path from the module, its arguments from the wide command
// line, and standard streams that carry bytes unchanged.

#include "platform/win32/Win32.h"

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>

#include "platform/Program.h"

namespace korv {

std::string ProgramPath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            return {};
        if (n < path.size()) {
            path.resize(n);
            return win32::Narrow(path);
        }
        path.resize(path.size() * 2);  // cut short: a long path (\\?\ prefixed) needs more room
    }
}

std::string ProgramFolder() {
    const std::string path = ProgramPath();
    const size_t sep = path.find_last_of("\\/");
    return sep == std::string::npos ? std::string() : path.substr(0, sep + 1);
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::string> args;
    if (wide == nullptr) {
        for (int i = 1; i < argc; ++i)
            args.emplace_back(argv[i]);
        return args;
    }
    for (int i = 1; i < count; ++i)
        args.push_back(win32::Narrow(wide[i], std::wcslen(wide[i])));
    ::LocalFree(wide);
    return args;
}

void PrepareStandardStreams() {
    std::fflush(stdout);
    std::fflush(stderr);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // Buffered, each message (which its writer flushes) leaves in one write.
    static char errBuffer[4096];
    std::setvbuf(stderr, errBuffer, _IOFBF, sizeof errBuffer);
    // A process started in a new process group (CREATE_NEW_PROCESS_GROUP, "start /b" and some
    // service wrappers) inherits Ctrl+C as ignored.
    ::SetConsoleCtrlHandler(nullptr, FALSE);
}

}  // namespace korv
