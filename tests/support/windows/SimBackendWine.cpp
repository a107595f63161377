// The simulated tester for a Windows test program under Wine: the Linux simulator started through
// Wine's launcher for Unix programs, behind a COM port of the prefix.
//
// Wine starts a Unix program without the standard handles it was given, so the simulator talks
// through files in a folder of its own under /tmp (reached as Z:\tmp): its commands come from a
// named pipe that it holds open for reading and writing (so opening it never blocks, here or in
// the Wine server), its events go to a file that this side reads as it grows. A coreutils
// `timeout` bounds its life in case this process dies without telling it to quit.

#include <windows.h>

#include <chrono>
#include <string>
#include <thread>

#include "CpuTime.h"
#include "SimLine.h"

namespace korv::test {
namespace {

// How often the events file is looked at while nothing new has arrived.
constexpr std::chrono::milliseconds kEventPoll{5};
// An upper bound on one simulator's life, far beyond any test.
constexpr int kSimLifeSeconds = 1800;

std::wstring Wide(const std::string& s) {
    std::wstring w;
    for (const unsigned char c : s) {
        w += static_cast<wchar_t>(c);
    }
    return w;
}

// The Windows path of a Unix path (Wine's drive Z: is the Unix root).
std::wstring DosPath(const std::string& unixPath) {
    std::wstring w = L"Z:";
    for (const unsigned char c : unixPath) {
        w += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    }
    return w;
}

std::string ShellQuote(const std::string& s) {
    std::string q = "'";
    for (const char c : s) {
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return q + "'";
}

std::string EnvOr(const char* name, const std::string& fallback) {
    char buf[512];
    const DWORD n = ::GetEnvironmentVariableA(name, buf, sizeof buf);
    return n > 0 && n < sizeof buf ? std::string(buf, n) : fallback;
}

// The link the prefix maps port to (scripts/wine-com), from Wine's port table.
std::string PortLink(const std::string& port) {
    wchar_t value[1024];
    DWORD size = sizeof value;
    const LSTATUS rc = ::RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Wine\\Ports",
                                      Wide(port).c_str(), RRF_RT_REG_SZ, nullptr, value, &size);
    if (rc != ERROR_SUCCESS) {
        return {};
    }
    std::string link;
    for (const wchar_t* p = value; *p != 0; ++p) {
        link += static_cast<char>(*p);
    }
    return link;
}

class WineSim final : public SimBackend {
  public:
    ~WineSim() override {
        if (m_commands != INVALID_HANDLE_VALUE) {
            ::CloseHandle(m_commands);
        }
        if (m_events != INVALID_HANDLE_VALUE) {
            ::CloseHandle(m_events);
        }
        if (!m_dir.empty()) {
            WIN32_FIND_DATAW found;
            const std::wstring dir = DosPath(m_dir);
            HANDLE find = ::FindFirstFileW((dir + L"\\*").c_str(), &found);
            if (find != INVALID_HANDLE_VALUE) {
                do {
                    ::DeleteFileW((dir + L"\\" + found.cFileName).c_str());
                } while (::FindNextFileW(find, &found));
                ::FindClose(find);
            }
            ::RemoveDirectoryW(dir.c_str());
        }
    }

    bool Start(const std::vector<std::string>& options, std::string* problem) {
        if (::GetFileAttributesW(DosPath(KORV_TESTER_SIM).c_str()) == INVALID_FILE_ATTRIBUTES) {
            *problem = std::string("the Linux build's simulator is missing: ") + KORV_TESTER_SIM +
                       " (build korvalin-tester-sim in the Linux build, KORV_NATIVE_BUILD_DIR)";
            return false;
        }
        m_port = EnvOr("KORV_WINE_COM", "COM5");
        const std::string link = PortLink(m_port);
        if (link.empty()) {
            *problem = m_port + " is not mapped in this Wine prefix (run scripts/wine-com)";
            return false;
        }
        for (unsigned i = 0; m_dir.empty() && i < 1000; ++i) {
            const std::string dir = "/tmp/korv-winesim-" + std::to_string(::GetCurrentProcessId()) +
                                    "-" + std::to_string(i);
            if (::CreateDirectoryW(DosPath(dir).c_str(), nullptr)) {
                m_dir = dir;
            }
        }
        if (m_dir.empty()) {
            *problem = "no working folder under /tmp";
            return false;
        }
        // The shell stays to remove the pipe afterwards (Wine cannot delete one) and then the
        // folder, unless this side still has files in it; this side removes it in that case.
        const std::string commands = ShellQuote(SimPath("commands"));
        std::string script = "mkfifo " + commands + " && { timeout " +
                             std::to_string(kSimLifeSeconds) + " " + ShellQuote(KORV_TESTER_SIM);
        for (const std::string& o : options) {
            script += " " + ShellQuote(ExpandDir(o, m_dir));
        }
        script += " --link " + ShellQuote(link) + " <>" + commands + " >" +
                  ShellQuote(SimPath("events")) + " 2>" + ShellQuote(SimPath("errors")) +
                  "; rm -f " + commands + "; rmdir " + ShellQuote(m_dir) + " 2>/dev/null; }";
        // Double quotes are the only character the command line's own quoting gives a meaning
        // to inside the quoted script; the script uses single quotes only.
        if (script.find('"') != std::string::npos) {
            *problem = "a simulator option holds a double quote";
            return false;
        }
        std::wstring command = L"/bin/sh -c \"" + Wide(script) + L"\"";
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &si, &pi)) {
            *problem =
                "cannot start /bin/sh through Wine: error " + std::to_string(::GetLastError());
            return false;
        }
        // Wine gives a Unix program a handle that tracks nothing; its life is followed through
        // its events instead.
        ::CloseHandle(pi.hThread);
        ::CloseHandle(pi.hProcess);
        return true;
    }

    const std::string& Port() const override { return m_port; }

    std::optional<std::string> NextLine(std::chrono::steady_clock::time_point deadline) override {
        for (;;) {
            const auto nl = m_buffer.find('\n');
            if (nl != std::string::npos) {
                std::string line = m_buffer.substr(0, nl);
                m_buffer.erase(0, nl + 1);
                if (line.starts_with("EXIT")) {
                    m_ended = true;
                }
                return line;
            }
            if (m_ended || std::chrono::steady_clock::now() >= deadline) {
                return std::nullopt;
            }
            if (!ReadMore()) {
                std::this_thread::sleep_for(kEventPoll);
            }
        }
    }

    void Send(const std::string& line) override {
        if (m_commands == INVALID_HANDLE_VALUE) {
            // The simulator opens the pipe before it runs, so it exists once the first event
            // (its line) has been read.
            m_commands = ::CreateFileW(DosPath(SimPath("commands")).c_str(), GENERIC_WRITE, 0,
                                       nullptr, OPEN_EXISTING, 0, nullptr);
        }
        const std::string text = line + "\n";
        DWORD written = 0;
        ::WriteFile(m_commands, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }

    std::string SimPath(const std::string& name) const { return m_dir + "/" + name; }

    std::string ReadBack(const std::string& name) const override {
        HANDLE f = ::CreateFileW(DosPath(SimPath(name)).c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
        std::string content;
        if (f == INVALID_HANDLE_VALUE) {
            return content;
        }
        char buf[65536];
        DWORD n = 0;
        while (::ReadFile(f, buf, sizeof buf, &n, nullptr) && n > 0) {
            content.append(buf, n);
        }
        ::CloseHandle(f);
        return content;
    }

  private:
    // Appends what the events file has gained; false when it has not grown.
    bool ReadMore() {
        if (m_events == INVALID_HANDLE_VALUE) {
            m_events = ::CreateFileW(DosPath(SimPath("events")).c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
            if (m_events == INVALID_HANDLE_VALUE) {
                return false;
            }
        }
        char buf[4096];
        DWORD n = 0;
        if (!::ReadFile(m_events, buf, sizeof buf, &n, nullptr) || n == 0) {
            return false;
        }
        m_buffer.append(buf, n);
        return true;
    }

    std::string m_port;
    std::string m_dir;
    HANDLE m_commands = INVALID_HANDLE_VALUE;
    HANDLE m_events = INVALID_HANDLE_VALUE;
    std::string m_buffer;
    bool m_ended = false;
};

}  // namespace

std::unique_ptr<SimBackend> StartSimBackend(const std::vector<std::string>& options,
                                            std::string* problem) {
    auto sim = std::make_unique<WineSim>();
    if (!sim->Start(options, problem)) {
        return nullptr;
    }
    return sim;
}

}  // namespace korv::test

namespace korv::test {

bool SecondOpenerRefused() {
    return false;
}

double ProcessCpuMs() {
    FILETIME created, exited, kernel, user;
    if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) {
        return 0.0;
    }
    auto ticks = [](const FILETIME& f) {
        return (static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
    };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 1e4;  // 100 ns units
}

}  // namespace korv::test
